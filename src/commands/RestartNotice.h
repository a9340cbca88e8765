#pragma once

namespace norva {

class SettingsHandle;
class UdpEndpoint;

// After a restart that the device asked for, tell it once that the computer is back:
// GracefulRestart/SourceIP is read, cleared, and "NorvaRB" goes to that address.
class RestartNotice {
public:
    RestartNotice(SettingsHandle& MyIni, UdpEndpoint& UDPServer)
        : MyIni_(MyIni), UDPServer_(UDPServer) {}

    // A start-up step; its errors end the start-up sequence. It does nothing when a restart
    // was accepted earlier in this run (a command served under a start-up box): that address
    // waits for the restart itself, and the device hears "NorvaRB" after it, not before.
    void Run();

    // The command port stored GracefulRestart/SourceIP for a restart of this run.
    void RestartAccepted() { restartAccepted_ = true; }

private:
    SettingsHandle& MyIni_;
    UdpEndpoint& UDPServer_;
    bool restartAccepted_ = false;
};

} // namespace norva
