#pragma once

#include <memory>

namespace norva {

class SettingsFile;
class UdpEndpoint;

// After a restart that the device asked for, tell it once that the computer is back:
// GracefulRestart/SourceIP is read, cleared, and "NorvaRB" goes to that address.
class RestartNotice {
public:
    RestartNotice(const std::unique_ptr<SettingsFile>& MyIni, UdpEndpoint& UDPServer)
        : MyIni_(MyIni), UDPServer_(UDPServer) {}

    // A start-up step; its errors end the start-up sequence.
    void Run();

private:
    const std::unique_ptr<SettingsFile>& MyIni_;
    UdpEndpoint& UDPServer_;
};

} // namespace norva
