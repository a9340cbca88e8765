#include "commands/RestartNotice.h"

#include "heartbeat/Tokens.h"
#include "platform/StrToInt.h"
#include "settings/SettingsHandle.h"
#include "transport/UdpEndpoint.h"

namespace norva {

void RestartNotice::Run() {
    SettingsFile& ini = MyIni_.file();
    if (restartAccepted_)
        return;
    const std::string device = ini.ReadString(keys::SourceIP);
    if (device.empty())
        return;
    // Cleared before sending, so the notice goes out at most once.
    ini.WriteString(keys::SourceIP, "");
    UDPServer_.setActive(false);
    UDPServer_.setDefaultPort(Low16(StrToInt(ini.ReadString(keys::Port))));
    const auto port = Low16(StrToInt(ini.ReadString(keys::Port)));
    UDPServer_.Send(device, port, std::string(Tokens::RestartNotice));
}

} // namespace norva
