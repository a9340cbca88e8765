#include "ctl/TextAuthAgent.h"

#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

namespace norva {
namespace {

using namespace std::chrono_literals;

// A stand-in for pkttyagent: writes its arguments to a file, then does what `then` says with
// the descriptor --notify-fd names. No polkit is involved.
std::string Agent(const test::TempDir& dir, const std::string& then) {
    const std::string script = "#!/bin/sh\n"
                               "echo \"$@\" > '" +
                               (dir / "args").string() +
                               "'\n"
                               "fd=$4\n" +
                               then + "\n";
    dir.write("agent", script);
    std::filesystem::permissions(dir / "agent", std::filesystem::perms::owner_all);
    return (dir / "agent").string();
}

TEST(TextAuthAgentTest, WaitsUntilTheAgentSaysItIsRegistered) {
    test::TempDir dir;
    // Registered: the notify descriptor closed, the agent keeps running until ended.
    TextAuthAgent agent(Agent(dir, "eval \"exec $fd>&-\"\nexec sleep 30"));
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_TRUE(agent.start(":1.42", 5s, &error)) << error;
    EXPECT_LT(std::chrono::steady_clock::now() - began, 4s);
    const std::string args = dir.read("args");
    EXPECT_TRUE(args.starts_with("--system-bus-name :1.42 --notify-fd ")) << args;
    EXPECT_TRUE(args.ends_with(" --fallback\n")) << args;
}

TEST(TextAuthAgentTest, AnAgentThatFailsOrHangsIsReported) {
    test::TempDir dir;
    std::string error;
    TextAuthAgent failing(Agent(dir, "exit 127"));
    EXPECT_FALSE(failing.start(":1.1", 5s, &error));
    EXPECT_EQ(error,
              (dir / "agent").string() + " could not register with polkit (exit status 127)");

    TextAuthAgent hanging(Agent(dir, "exec sleep 30"));
    EXPECT_FALSE(hanging.start(":1.1", 200ms, &error));
    EXPECT_EQ(error, (dir / "agent").string() + " did not register with polkit in time");

    TextAuthAgent missing((dir / "no-such-agent").string());
    EXPECT_FALSE(missing.start(":1.1", 200ms, &error));
    EXPECT_NE(error.find("cannot start"), std::string::npos) << error;
}

} // namespace
} // namespace norva
