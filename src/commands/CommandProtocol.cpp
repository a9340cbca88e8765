#include "commands/CommandProtocol.h"

#include "commands/CommandPacket.h"
#include "commands/PendingAction.h"
#include "heartbeat/PageValues.h"
#include "settings/SettingsHandle.h"
#include "transport/CommandConnection.h"
#include "transport/HandOverQueue.h"

#include <optional>

namespace norva {

namespace {

// The page's text in the 8-bit form the packet carries. A character that has no 8-bit form
// cannot have come from the device, so such a text matches no packet (a plain conversion
// would turn it into '?' and let a packet holding '?' pass).
std::optional<std::string> eightBit(const QString& text) {
    for (const QChar c : text)
        if (c.unicode() > 0xFF)
            return std::nullopt;
    return text.toLatin1().toStdString();
}

} // namespace

CommandProtocol::CommandProtocol(HandOverQueue& ui, SettingsHandle& MyIni, PageValues& pages,
                                 PendingAction& warning)
    : ui_(ui), MyIni_(MyIni), pages_(pages), warning_(warning) {}

void CommandProtocol::onUi(const std::function<void()>& step) {
    if (!ui_.call(step))
        throw Error("The program is closing");
}

void CommandProtocol::theServerExecute(CommandConnection& AContext) {
    AContext.setReadTimeout(100);
    std::vector<std::uint8_t> message;
    AContext.ReadBytes(message, -1, true);
    if (message.empty())
        throw Error("The device sent nothing in time"); // ends the connection

    if (!IsHello(message)) {
        handleCommand(AContext, message);
        return;
    }
    if (HelloText(message) != "hello-000")
        return;
    onUi([&] { emit captionRequested("Got Hello"); });
    AContext.Write(
        {static_cast<std::uint8_t>(localSeq & 0xFF), static_cast<std::uint8_t>(localSeq >> 8)});
}

void CommandProtocol::handleCommand(CommandConnection& AContext,
                                    const std::vector<std::uint8_t>& message) {
    const CommandPacket packet = DecodeCommandPacket(message);

    bool accepted = false;
    onUi([&] {
        const std::optional<std::string> user = eightBit(pages_.userName());
        if (!user || !SameUserName(packet.userName, *user)) {
            emit label4Requested("Bad Username");
            return;
        }
        const std::optional<std::string> password = eightBit(pages_.password());
        if (!password || packet.password != *password) {
            emit label4Requested("Bad Password");
            return;
        }
        if (packet.type != eCmnd_get)
            return;
        emit memoLineRequested("Recived eCmnd_get");
        accepted = true;
    });
    if (!accepted || (packet.command != kCommandRestart && packet.command != kCommandShutdown))
        return;

    // The device hears of an accepted command before anything is done for it.
    AContext.Write({0x01});

    const std::string peer = AContext.PeerIP();
    const QString source = QString::fromStdString(peer);
    if (packet.command == kCommandRestart) {
        onUi([&] {
            // Stored first, so the device is told after the restart; a failed write stops
            // here and no restart follows.
            MyIni_.file().WriteString(keys::SourceIP, peer);
            if (restartStored)
                restartStored();
            if (pages_.alertPendingAction()) {
                emit commandAccepted(source, "restart after warning");
                warning_.ShowPending(0);
            } else {
                emit commandAccepted(source, "restart");
                if (doRestart)
                    doRestart();
                emit label4Requested("RESTART");
            }
        });
    } else {
        onUi([&] {
            if (pages_.alertPendingAction()) {
                emit commandAccepted(source, "shutdown after warning");
                warning_.ShowPending(1);
            } else {
                emit commandAccepted(source, "shutdown");
                if (doShutdown)
                    doShutdown();
                emit label4Requested("SHUTDOWN");
            }
        });
    }
}

} // namespace norva
