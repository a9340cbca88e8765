#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>

namespace norva {

// polkit's text authentication agent (pkttyagent) for this program, as pkexec starts one: when
// the service asks polkit whether this program may do something that needs a password, polkit
// has the agent ask for it on the terminal. Without an agent of its own a program run over
// ssh or on a console has nobody to ask, and polkit refuses.
//
// The agent talks to polkit on the system bus DBUS_SYSTEM_BUS_ADDRESS names, as this program
// does. main() starts one only when standard input is a terminal; nothing else in norvactl
// starts it, so tests (which have no terminal) never do.
class TextAuthAgent {
public:
    // `program`: the agent's program, looked up in PATH.
    explicit TextAuthAgent(std::string program = "pkttyagent");
    // Ends the agent, if one was started.
    ~TextAuthAgent();
    TextAuthAgent(const TextAuthAgent&) = delete;
    TextAuthAgent& operator=(const TextAuthAgent&) = delete;

    // Starts the agent for the bus connection `busName` (its unique name): the service asks
    // polkit about that name, so the agent is registered for it exactly, and replaces no agent
    // of the desktop session (--fallback). Waits until the agent says it is registered, or
    // `timeout`. False, with one line in `error`, when it could not be started or registered;
    // the calls then go on without a prompt.
    bool start(const std::string& busName, std::chrono::milliseconds timeout, std::string* error);

private:
    void end();

    std::string program_;
    pid_t pid_ = -1;
};

} // namespace norva
