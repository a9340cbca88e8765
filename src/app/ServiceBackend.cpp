#include "app/ServiceBackend.h"

#include "agent/AgentListener.h"
#include "bus/BusContract.h"
#include "bus/SettingsSchema.h"
#include "platform/MessageBoxes.h"
#include "settings/SettingsRules.h"
#include "ui/SettingsPages.h"

#include <utility>

namespace norva {

namespace {

QString Name(const bus::Setting& setting) {
    return QString::fromLatin1(setting.name.data(), static_cast<qsizetype>(setting.name.size()));
}

} // namespace

ServiceBackend::ServiceBackend(ServiceClient& client, AgentListener& window, SettingsPages& pages,
                               MessageBoxes& boxes, QObject* parent)
    : QObject(parent), client_(client), window_(window), pages_(pages), boxes_(boxes),
      status_(pages) {
    // The service's state drawn by the rules the agent in this process draws with.
    connect(&status_, &HeartbeatStatus::iconShown, this,
            [this](tAppIcons icon) { window_.iconShown(icon); });
    connect(&status_, &HeartbeatStatus::statusTextShown, this,
            [this](const QString& text) { window_.statusTextShown(text); });
    connect(&status_, &HeartbeatStatus::trayShown, this,
            [this](const TrayLook& look) { window_.trayShown(look); });
    connect(&status_, &HeartbeatStatus::noResponse, this,
            [this](const QString& text) { window_.noResponse(text); });

    connect(&client_, &ServiceClient::serviceAppeared, this, [this] { appeared(); });
    connect(&client_, &ServiceClient::serviceVanished, this, [this] { vanished(); });
    connect(&client_, &ServiceClient::serviceAbsent, this, [this] { vanished(); });
    // A mode or address stored by someone else (another window, a bus call) reaches the pages
    // and the details panel, as the service's own state does.
    connect(&client_, &ServiceClient::modeChanged, this, [this] { reloadPages(); });
    connect(&client_, &ServiceClient::deviceAddressChanged, this, [this] { reloadPages(); });
    connect(&client_, &ServiceClient::stateChanged, this,
            [this](const QString& state) { drawState(state); });
    // Every answer redraws, as the heartbeat does in a window of its own; the alert follows
    // this desktop's balloon rules through the window.
    connect(&client_, &ServiceClient::answered, this, [this] { showAnswered(); });
    connect(&client_, &ServiceClient::noResponse, this,
            [this](const QString& text) { status_.showFailure(text.toStdString()); });
    connect(&client_, &ServiceClient::networkCountersChanged, this,
            [this](uint sent, uint rcvd, uint nak, uint missed) {
                window_.countersChanged(Link::Network, {sent, rcvd, nak, missed});
                received(networkReceived_, rcvd);
            });
    connect(&client_, &ServiceClient::usbCountersChanged, this,
            [this](uint sent, uint rcvd, uint missed) {
                window_.countersChanged(Link::Usb, {sent, rcvd, 0, missed});
                received(usbReceived_, rcvd);
            });
    connect(&client_, &ServiceClient::caption, this,
            [this](const QString& text) { window_.captionShown(text); });
    connect(&client_, &ServiceClient::statusLine, this,
            [this](const QString& text) { window_.statusLine(text); });
    connect(&client_, &ServiceClient::logLine, this,
            [this](const QString& text) { window_.logLine(text); });
    connect(&client_, &ServiceClient::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                window_.powerRequestFailed(action, error);
            });
    // The service's errors in the box the window of its own shows them in; the text comes as
    // that box shows it.
    connect(&client_, &ServiceClient::error, this,
            [this](const QString& text) { boxes_.showError(text.toStdString()); });
    // The warning counts in the service; the window shows its count.
    connect(&client_, &ServiceClient::warningShown, this, [this](uchar mode) {
        // The test warning asked for here is modal, as a window of its own shows it; a
        // command's warning is not.
        window_.warningShown(mode, std::exchange(testWarningAsked_, false));
    });
    connect(&client_, &ServiceClient::warningTicked, this,
            [this](int countdown) { window_.warningTicked(countdown); });
    connect(&client_, &ServiceClient::warningEnded, this, [this] { window_.warningEnded(); });
}

void ServiceBackend::begin() {
    // While the client still asks the bus whether the service runs, nothing is drawn: a
    // running service would otherwise flash "service not running" first.
    if (client_.serviceRunning())
        appeared();
    else if (client_.serviceKnown())
        vanished();
}

void ServiceBackend::appeared() {
    // The hint no longer says the service is away; a stopped heartbeat sets no hint, so it
    // goes back to none, as the window is built with.
    window_.trayShown({TrayPicture::NotRunning, QString(), true});
    window_.countersChanged(Link::Network, {client_.networkSent(), client_.networkReceived(),
                                            client_.networkNak(), client_.networkMissed()});
    window_.countersChanged(Link::Usb,
                            {client_.usbSent(), client_.usbReceived(), 0, client_.usbMissed()});
    networkReceived_ = client_.networkReceived();
    usbReceived_ = client_.usbReceived();
    drawState(client_.state());
    if (client_.warningOnScreen()) {
        window_.warningShown(client_.warningMode(), false);
        window_.warningTicked(client_.warningCountdown());
    }
    reloadPages();
    // Once per window: the service runs without a command password of its own.
    if (!client_.commandPasswordProblem().isEmpty() && !passwordProblemShown_) {
        passwordProblemShown_ = true;
        window_.logLine("The NorvaHB service: " + client_.commandPasswordProblem());
    }
}

void ServiceBackend::vanished() {
    starting_ = awaitingAnswer_ = false;
    status_.showIcon(stoppedIcon);
    status_.setStatusText("service not running");
    status_.showTray(TrayFor(TrayState::ServiceAway, true));
    // The hint too: its last text (say "Norva is responding") would claim a protection that
    // nothing gives while the service is away.
    window_.trayShown(TrayFor(TrayState::ServiceAway, true, true));
    // A warning on screen is gone with the service.
    window_.warningEnded();
}

void ServiceBackend::drawState(const QString& state) {
    switch (StateFromName(state)) {
    case HeartbeatState::Responding:
        showAnswered();
        break;
    case HeartbeatState::NotResponding:
        awaitingAnswer_ = false;
        status_.showFailureState();
        break;
    case HeartbeatState::WaitingForSerialDevice:
    case HeartbeatState::Stopped:
        awaitingAnswer_ = false;
        status_.showStopped(pages_.statusInTray());
        // The service waits for its serial device: the stopped picture, and the reason as
        // the status text.
        if (StateFromName(state) == HeartbeatState::WaitingForSerialDevice)
            status_.setStatusText(state);
        break;
    case HeartbeatState::Sleeping:
        // Paused for the PC's sleep: the picture stays, the text says why nothing is sent.
        awaitingAnswer_ = false;
        status_.showSleeping();
        break;
    }
}

void ServiceBackend::showAnswered() {
    // The service says "answered" for the start of its heartbeat too; a start draws what a
    // window of its own draws at a start, the good picture and "OK", and leaves the tray to
    // the first answer or failure.
    if (starting_) {
        status_.showIcon(goodIcon);
        status_.setStatusText("OK");
        awaitingAnswer_ = true;
        return;
    }
    awaitingAnswer_ = false;
    status_.showAnswered();
}

void ServiceBackend::received(uint& last, uint now) {
    const bool more = now > last;
    last = now;
    // The first reply the device gives after a start is what brings the tray's "responding";
    // the service only says so for an answer after a failure.
    if (more && awaitingAnswer_ && !starting_ &&
        StateFromName(client_.state()) == HeartbeatState::Responding) {
        awaitingAnswer_ = false;
        status_.showAnswered();
    }
}

void ServiceBackend::read(ValuesDone then) {
    client_.readSettings(
        [this, then = std::move(then)](const QMap<QString, QString>& values, const QString& error) {
            if (!error.isEmpty()) {
                window_.logLine("The service's settings could not be read: " + error);
                return;
            }
            SettingsValues shown = values;
            // A service with no address stored (a USB or None user) gives it as empty; the
            // pages (LoadVars included) show the page's own default then, as for a file
            // without the key, and an Apply stores that default instead of an empty address
            // the service refuses.
            if (shown.value(Name(bus::setting::IPAddr)).isEmpty())
                shown.insert(Name(bus::setting::IPAddr), QString::fromLatin1(PageAddressFallback));
            // Empty, not the file's default: the page shows no password, and an Apply that
            // leaves it empty keeps the service's.
            shown.insert(Name(bus::setting::Password), QString());
            // The service gives the command user name only to who may change the settings
            // without a prompt; to others the field shows empty, and an Apply that leaves it
            // empty keeps the service's (as the password).
            userNameHidden_ = !values.contains(Name(bus::setting::Username));
            if (userNameHidden_)
                shown.insert(Name(bus::setting::Username), QString());
            stored_ = shown;
            then(shown);
        });
}

void ServiceBackend::reloadPages() {
    read([this](const SettingsValues& values) {
        if (settingsChanged)
            settingsChanged(values);
        // The tray's picture follows "Show Status In Tray" as the page shows it, and the page
        // has only now got the service's value: drawn again, or a stopped service with the box
        // ticked would keep the plain picture until its state next changes.
        drawState(client_.state());
    });
}

void ServiceBackend::readSettings(ValuesDone done) {
    read(std::move(done));
}

ServiceClient::Done ServiceBackend::reportRefusal() {
    return [this](const QString& error) {
        if (!error.isEmpty())
            boxes_.showError(error.toStdString());
    };
}

void ServiceBackend::start() {
    // As the Start button of a window of its own: the heartbeat page shows the stored values
    // again, unapplied edits gone.
    pages_.loadSetup(stored_);
    // The service announces its start before it replies to the call, so what comes in between
    // is the start's, not an answer of the device's.
    starting_ = true;
    client_.start([this, refused = reportRefusal()](const QString& error) {
        starting_ = false;
        refused(error);
        // A window of its own says "OK" once it has started with every field filled, whatever
        // picture the start left (grey when the stored address is missing, say).
        if (error.isEmpty() && !pages_.noneMode() && pages_.heartbeatFieldsFilled())
            status_.setStatusText("OK");
    });
}

void ServiceBackend::stop() {
    client_.stop(reportRefusal());
}

void ServiceBackend::clearCounters() {
    client_.clear(reportRefusal());
}

void ServiceBackend::testWarning() {
    testWarningAsked_ = true;
    client_.testWarning([this, refused = reportRefusal()](const QString& error) {
        if (!error.isEmpty())
            testWarningAsked_ = false;
        refused(error);
    });
}

void ServiceBackend::warningClosed() {
    // The service's warning is off screen too: the next command's warning counts from 10.
    client_.closeWarning(reportRefusal());
}

void ServiceBackend::applySettings(const SettingsValues& values, ApplyDone done) {
    SettingsValues sent = values;
    const QString password = Name(bus::setting::Password);
    if (sent.contains(password)) {
        // The service never gives its password out, so the field starts empty: an empty
        // field keeps the service's password, a typed one replaces it and leaves the field
        // once it is on its way.
        if (sent.value(password).isEmpty())
            sent.remove(password);
        pages_.clearPassword();
    }
    const QString userName = Name(bus::setting::Username);
    if (userNameHidden_ && sent.contains(userName) && sent.value(userName).isEmpty())
        sent.remove(userName);
    const bool heartbeatPage = values.contains(Name(bus::setting::ShowStatusInTray));
    // What the service will store, as a Start shows it again (its password aside): taken now,
    // not at the reply, so a Start clicked before the reply comes does not put the old values
    // back on the page. A refusal reads the service's values again below.
    for (auto it = sent.begin(); it != sent.end(); ++it)
        if (it.key() != Name(bus::setting::Password))
            stored_.insert(it.key(), it.value());
    client_.applySettings(sent,
                          [this, heartbeatPage, done = std::move(done)](const QString& error) {
                              if (!error.isEmpty()) {
                                  boxes_.showError(error.toStdString());
                                  // Nothing changed in the service: the pages show its values
                                  // again.
                                  reloadPages();
                                  if (done)
                                      done(false);
                                  return;
                              }
                              // As a window of its own after Apply, the tray shows the new "Show
                              // Status In Tray" at once: the service's state may not change, so
                              // nothing else would redraw it.
                              if (heartbeatPage)
                                  drawState(client_.state());
                              if (done)
                                  done(true);
                          });
}

HeartbeatMode ServiceBackend::storedMode() const {
    return ModeFromName(client_.mode());
}

} // namespace norva
