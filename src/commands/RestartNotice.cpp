#include "commands/RestartNotice.h"

#include "app/SettingsFile.h"
#include "heartbeat/Tokens.h"
#include "platform/StrToInt.h"
#include "transport/UdpEndpoint.h"

namespace norva {

void RestartNotice::Run() {
    if (!MyIni_)
        throw Error("The settings file is not open");
    if (restartAccepted_)
        return;
    SettingsFile& ini = *MyIni_;
    const std::string device = ini.ReadString("GracefulRestart", "SourceIP", "");
    if (device.empty())
        return;
    // Cleared before sending, so the notice goes out at most once.
    ini.WriteString("GracefulRestart", "SourceIP", "");
    UDPServer_.setActive(false);
    UDPServer_.setDefaultPort(Low16(StrToInt(ini.ReadString("Setup", "Port", "9100"))));
    const auto port = Low16(StrToInt(ini.ReadString("Setup", "Port", "9100")));
    UDPServer_.Send(device, port, std::string(Tokens::RestartNotice));
}

} // namespace norva
