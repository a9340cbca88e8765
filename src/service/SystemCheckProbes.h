#pragma once

#include "service/CheckProbes.h"

#include <QDBusConnection>
#include <utility>

namespace norva {

// CheckProbes on the real system: the service's name and the login manager asked on `bus`
// (the system bus), each call waiting at most a few seconds; the ports bound with the options
// the command listener and the heartbeat's UDP endpoint use, so a port the service could bind
// is reported free and no other.
class SystemCheckProbes : public CheckProbes {
public:
    explicit SystemCheckProbes(QDBusConnection bus) : bus_(std::move(bus)) {}

    bool serviceRunning() override;
    std::string askLoginManager(const std::string& method, std::string& error) override;
    int bindTcp(std::uint16_t port) override;
    int bindUdp(std::uint16_t port) override;
    bool commandSocketHeld() override;

private:
    QDBusConnection bus_;
};

} // namespace norva
