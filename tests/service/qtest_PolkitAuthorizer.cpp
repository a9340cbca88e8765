// The service's polkit checks against the fake authority on a private bus (ServiceBed, no
// service started): polkit may prompt only when the caller allowed it, one check per caller is
// under way at a time, and none waits longer than the limit, after which polkit is told to drop
// it.
#include "bus/BusContract.h"
#include "bus/ServiceBed.h"
#include "service/PolkitAuthorizer.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <memory>
#include <string>

namespace norva {
using test::ServiceBed;
using test::WaitFor;
namespace {

using Answer = PolkitAuthorizer::Answer;

struct Got {
    bool done = false;
    Answer answer = Answer::Failed;
    QString why;
};

std::shared_ptr<Got> Ask(PolkitAuthorizer& polkit, const QString& caller, const char* action,
                         bool interactive) {
    auto got = std::make_shared<Got>();
    polkit.check(caller, action, interactive, [got](Answer answer, const QString& why) {
        EXPECT_FALSE(got->done) << "answered twice";
        got->done = true;
        got->answer = answer;
        got->why = why;
    });
    return got;
}

bool Answered(const std::shared_ptr<Got>& got) {
    return WaitFor([&] { return got->done; }, 10000);
}

class PolkitAuthorizerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(bed_.startBus()); }
    ServiceBed bed_;
};

// A caller that did not allow interaction gets no prompt: "authenticate" (the user would be
// asked, and would say yes) is a refusal for it, and polkit is asked without the flag.
TEST_F(PolkitAuthorizerTest, PromptsOnlyWhenTheCallerAllowsIt) {
    PolkitAuthorizer polkit(bed_.bus());
    bed_.setPolkit("* authenticate\n");
    const auto quiet = Ask(polkit, ":1.500", bus::action::Control, false);
    ASSERT_TRUE(Answered(quiet));
    EXPECT_EQ(quiet->answer, Answer::Refused);
    const auto prompted = Ask(polkit, ":1.500", bus::action::Control, true);
    ASSERT_TRUE(Answered(prompted));
    EXPECT_EQ(prompted->answer, Answer::Allowed);
    const std::string calls = bed_.polkitCalls();
    const auto first = calls.find("\"flags\":0");
    const auto second = calls.find("\"flags\":1");
    EXPECT_NE(first, std::string::npos) << calls;
    EXPECT_NE(second, std::string::npos) << calls;
    EXPECT_LT(first, second) << calls;
}

// A prompt nobody answers holds its caller's turn only until the limit; meanwhile a second
// check of the same caller is Busy at once (polkit not asked), others go on.
TEST_F(PolkitAuthorizerTest, OneCheckPerCallerAndNoneLongerThanTheLimit) {
    PolkitAuthorizer polkit(bed_.bus(), nullptr, /*timeoutMs=*/500);
    bed_.setPolkit(std::string(bus::action::Control) + " hang\n" + bus::action::Configure +
                   " allow\n");
    const auto hanging = Ask(polkit, ":1.600", bus::action::Control, true);
    const auto second = Ask(polkit, ":1.600", bus::action::Configure, true);
    EXPECT_TRUE(second->done) << "a second check of the same caller was sent to polkit";
    EXPECT_EQ(second->answer, Answer::Busy);
    const auto other = Ask(polkit, ":1.601", bus::action::Configure, true);
    ASSERT_TRUE(Answered(other));
    EXPECT_EQ(other->answer, Answer::Allowed);
    EXPECT_FALSE(hanging->done);

    ASSERT_TRUE(Answered(hanging));
    EXPECT_EQ(hanging->answer, Answer::Failed);
    EXPECT_EQ(hanging->why, QString(bus::refusal::Unchecked) + ": timed out");
    // polkit is told to drop the check it was left with (the same cancellation id).
    EXPECT_TRUE(WaitFor(
        [&] { return bed_.polkitCalls().find("CancelCheckAuthorization") != std::string::npos; },
        5000))
        << bed_.polkitCalls();
    const QStringList lines = QString::fromStdString(bed_.polkitCalls()).split('\n');
    const QString checked = lines.value(0);
    const int idAt = checked.indexOf("\"cancellation_id\":\"");
    ASSERT_GE(idAt, 0) << checked.toStdString();
    const QString id = checked.mid(idAt, checked.indexOf('"', idAt + 19) - idAt + 1);
    EXPECT_FALSE(id.endsWith(":\"\"")) << "no cancellation id was given";
    bool cancelled = false;
    for (const QString& line : lines)
        cancelled = cancelled || (line.contains("CancelCheckAuthorization") && line.contains(id));
    EXPECT_TRUE(cancelled) << bed_.polkitCalls();

    // The turn is free again.
    const auto again = Ask(polkit, ":1.600", bus::action::Configure, true);
    ASSERT_TRUE(Answered(again));
    EXPECT_EQ(again->answer, Answer::Allowed);
}

} // namespace
} // namespace norva
