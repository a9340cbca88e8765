#include "app/FrontEnd.h"

#include "agent/Agent.h"
#include "bus/BusContract.h"
#include "bus/ServiceClient.h"
#include "bus/SettingsSchema.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsRules.h"
#include "ui/SettingsPages.h"
#include "ui/StatusView.h"
#include "ui/Twarning.h"

#include <utility>

namespace norva {

namespace {

std::pair<std::string, std::string> split(const QString& name) {
    const int slash = name.indexOf('/');
    return {name.left(slash).toStdString(), name.mid(slash + 1).toStdString()};
}

QString Name(const bus::Setting& setting) {
    return QString::fromLatin1(setting.name.data(), static_cast<qsizetype>(setting.name.size()));
}

// A page's values from the copy, as the service names them; the password is left out (the
// caller adds it when one was typed).
QMap<QString, QString> PageValuesOf(const SettingsFile& copy, bus::Setting::Page page) {
    QMap<QString, QString> values;
    for (const bus::Setting& setting : bus::SettingsSchema::all()) {
        if (setting.page != page || setting.kind == bus::Setting::Kind::Secret)
            continue;
        values.insert(Name(setting), QString::fromStdString(copy.ReadString(setting.key, "")));
    }
    return values;
}

} // namespace

FrontEnd::FrontEnd(ServiceClient& client, Agent& agent, SettingsPages& pages, StatusView& view,
                   Twarning& warning, MessageBoxes& boxes, QObject* parent)
    : QObject(parent), client_(client), agent_(agent), pages_(pages), view_(view),
      warning_(warning), boxes_(boxes) {
    connect(&client_, &ServiceClient::serviceAppeared, this, [this] { appeared(); });
    connect(&client_, &ServiceClient::serviceVanished, this, [this] { vanished(); });
    connect(&client_, &ServiceClient::serviceAbsent, this, [this] { vanished(); });
    // A mode or address stored by someone else (another window, a bus call) reaches the pages
    // and the details panel, as the service's own state does.
    connect(&client_, &ServiceClient::modeChanged, this, [this] { loadSettings(); });
    connect(&client_, &ServiceClient::deviceAddressChanged, this, [this] { loadSettings(); });
    connect(&client_, &ServiceClient::stateChanged, this,
            [this](const QString& state) { drawState(state); });
    // Every answer redraws, as the heartbeat does in this window; the alert follows this
    // desktop's balloon rules through the view.
    connect(&client_, &ServiceClient::answered, this, [this] { showAnswered(); });
    connect(&client_, &ServiceClient::noResponse, this,
            [this](const QString& text) { agent_.status.showFailure(text.toStdString()); });
    connect(&client_, &ServiceClient::networkCountersChanged, this,
            [this](uint sent, uint rcvd, uint nak, uint missed) {
                view_.showNetworkCounters(sent, rcvd, nak, missed);
                received(networkReceived_, rcvd);
            });
    connect(&client_, &ServiceClient::usbCountersChanged, this,
            [this](uint sent, uint rcvd, uint missed) {
                view_.showSerialCounters(sent, rcvd, missed);
                received(usbReceived_, rcvd);
            });
    connect(&client_, &ServiceClient::caption, this,
            [this](const QString& text) { view_.setCaption(text); });
    connect(&client_, &ServiceClient::statusLine, this,
            [this](const QString& text) { view_.setLabel4(text); });
    connect(&client_, &ServiceClient::logLine, this,
            [this](const QString& text) { view_.appendMemo(text); });
    connect(&client_, &ServiceClient::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                view_.powerRequestRefused(action, error);
            });
    // The service's errors in the box the standalone window shows them in; the text comes as
    // that box shows it.
    connect(&client_, &ServiceClient::error, this,
            [this](const QString& text) { boxes_.showError(text.toStdString()); });
    // The warning counts in the service; the window shows its count, and closing the window
    // only hides it there.
    connect(&client_, &ServiceClient::warningShown, this, [this](uchar mode) {
        // The test warning asked for here is modal, as the standalone Button9 shows
        // it; a command's warning is not.
        warning_.showPending(mode, std::exchange(testWarningAsked_, false));
    });
    connect(&client_, &ServiceClient::warningTicked, this,
            [this](int countdown) { warning_.showCount(countdown); });
    connect(&client_, &ServiceClient::warningEnded, this, [this] { warning_.endShowing(); });
}

bool FrontEnd::following() const {
    return client_.serviceRunning();
}

void FrontEnd::Begin() {
    // While the client still asks the bus whether the service runs, nothing is drawn: a
    // running service would otherwise flash "service not running" first.
    if (client_.serviceRunning())
        appeared();
    else if (client_.serviceKnown())
        vanished();
}

void FrontEnd::appeared() {
    // The hint no longer says the service is away; a stopped heartbeat sets no hint, so it
    // goes back to none, as the window is built with.
    view_.showTray({TrayPicture::NotRunning, QString(), true});
    view_.showNetworkCounters(client_.networkSent(), client_.networkReceived(),
                              client_.networkNak(), client_.networkMissed());
    view_.showSerialCounters(client_.usbSent(), client_.usbReceived(), client_.usbMissed());
    networkReceived_ = client_.networkReceived();
    usbReceived_ = client_.usbReceived();
    drawState(client_.state());
    if (client_.warningOnScreen()) {
        warning_.showPending(client_.warningMode(), false);
        warning_.showCount(client_.warningCountdown());
    }
    loadSettings();
}

void FrontEnd::vanished() {
    starting_ = awaitingAnswer_ = false;
    agent_.status.showIcon(stoppedIcon);
    agent_.status.setStatusText("service not running");
    agent_.status.showTray(TrayFor(TrayState::ServiceAway, true));
    // The hint too: its last text (say "Norva is responding") would claim a protection that
    // nothing gives while the service is away.
    view_.showTray(TrayFor(TrayState::ServiceAway, true, true));
    if (warning_.isVisible())
        warning_.endShowing();
}

void FrontEnd::drawState(const QString& state) {
    if (state == QLatin1String(bus::state::Responding))
        showAnswered();
    else if (state == QLatin1String(bus::state::NotResponding)) {
        awaitingAnswer_ = false;
        agent_.status.showFailureState();
    } else {
        awaitingAnswer_ = false;
        agent_.status.showStopped(pages_.statusInTray());
        // The service waits for its serial device: the stopped picture, and the reason as
        // the status text.
        if (state == QLatin1String(bus::state::WaitingForSerialDevice))
            agent_.status.setStatusText(state);
    }
}

void FrontEnd::showAnswered() {
    // The service says "answered" for the start of its heartbeat too; a start draws what the
    // standalone start draws, the good picture and "OK", and leaves the tray to the first
    // answer or failure.
    if (starting_) {
        agent_.status.showIcon(goodIcon);
        agent_.status.setStatusText("OK");
        awaitingAnswer_ = true;
        return;
    }
    awaitingAnswer_ = false;
    agent_.status.showAnswered();
}

void FrontEnd::received(uint& last, uint now) {
    const bool more = now > last;
    last = now;
    // The first reply the device gives after a start is what brings the tray's "responding";
    // the service only says so for an answer after a failure.
    if (more && awaitingAnswer_ && !starting_ &&
        client_.state() == QLatin1String(bus::state::Responding)) {
        awaitingAnswer_ = false;
        agent_.status.showAnswered();
    }
}

void FrontEnd::loadSettings() {
    client_.readSettings([this](const QMap<QString, QString>& values, const QString& error) {
        if (!error.isEmpty()) {
            view_.appendMemo("The service's settings could not be read: " + error);
            return;
        }
        SettingsFile& copy = agent_.MyIni.file();
        for (auto it = values.begin(); it != values.end(); ++it) {
            const auto [section, key] = split(it.key());
            copy.WriteString(section, key, it.value().toStdString());
        }
        // A service with no address stored (a USB or None user) gives it as empty; the page
        // shows its own default then, as it does for a file without the key, and an Apply
        // stores that default instead of an empty address the service refuses.
        if (values.value(Name(bus::setting::IPAddr)).isEmpty())
            copy.WriteString(bus::setting::IPAddr.key, std::string(PageAddressFallback));
        // Empty, not the file's default: the page shows no password, and an Apply that
        // leaves it empty keeps the service's.
        copy.WriteString(keys::Password, "");
        pages_.loadSetup();
        pages_.loadGSD();
        // The tray's picture follows "Show Status In Tray" as the page shows it, and the page
        // has only now got the service's value: drawn again, or a stopped service with the box
        // ticked would keep the plain picture until its state next changes.
        drawState(client_.state());
        if (settingsLoaded)
            settingsLoaded();
    });
}

void FrontEnd::Reload() {
    loadSettings();
}

std::function<void(const QString&)> FrontEnd::reportRefusal() {
    return [this](const QString& error) {
        if (error.isEmpty())
            return;
        boxes_.showError(error.toStdString());
    };
}

void FrontEnd::Start() {
    // As the Start button of a window of its own: the heartbeat page shows the stored values
    // again, unapplied edits gone.
    pages_.loadSetup();
    // The service announces its start before it replies to the call, so what comes in between
    // is the start's, not an answer of the device's.
    starting_ = true;
    client_.start([this, refused = reportRefusal()](const QString& error) {
        starting_ = false;
        refused(error);
    });
}

void FrontEnd::Stop() {
    client_.stop(reportRefusal());
}

void FrontEnd::Clear() {
    client_.clear(reportRefusal());
}

void FrontEnd::TestWarning() {
    testWarningAsked_ = true;
    client_.testWarning([this, refused = reportRefusal()](const QString& error) {
        if (!error.isEmpty())
            testWarningAsked_ = false;
        refused(error);
    });
}

void FrontEnd::send(const QMap<QString, QString>& values, std::function<void()> applied) {
    client_.applySettings(values, [this, applied = std::move(applied)](const QString& error) {
        if (error.isEmpty()) {
            if (applied)
                applied();
            return;
        }
        boxes_.showError(error.toStdString());
        // Nothing changed in the service: the pages show its values again.
        loadSettings();
    });
}

void FrontEnd::ApplyHeartbeatPage() {
    QMap<QString, QString> values =
        PageValuesOf(agent_.MyIni.file(), bus::Setting::Page::Heartbeat);
    // As a desktop copy's Apply, the tray shows the new "Show Status In Tray" at once: the
    // service's state may not change, so nothing else would redraw it.
    send(values, [this] { drawState(client_.state()); });
}

void FrontEnd::ApplyShutdownPage() {
    const SettingsFile& copy = agent_.MyIni.file();
    QMap<QString, QString> values = PageValuesOf(copy, bus::Setting::Page::Shutdown);
    // The service never gives its password out, so the page starts empty: an empty field
    // keeps the service's password, a typed one replaces it.
    const std::string password = copy.ReadString(bus::setting::Password.key, "");
    if (!password.empty())
        values.insert(Name(bus::setting::Password), QString::fromStdString(password));
    send(values);
}

} // namespace norva
