#include "ctl/CtlSession.h"

#include "bus/ServiceClient.h"
#include "bus/SettingsSchema.h"
#include "ctl/StatusReport.h"

#include <QMap>
#include <QTimer>
#include <utility>

namespace norva {

namespace {

QString Q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

CtlSession::CtlSession(ServiceClient& client, CtlCommand command, Print out, Print err,
                       std::function<void()> beforePrompt, Clock clock, QObject* parent)
    : QObject(parent), client_(client), command_(std::move(command)), out_(std::move(out)),
      err_(std::move(err)), beforePrompt_(std::move(beforePrompt)), clock_(std::move(clock)) {}

QString CtlSession::stamp(const QDateTime& when) {
    return when.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}

void CtlSession::finish(int status) {
    if (finished_)
        return;
    finished_ = true;
    emit finished(status);
}

void CtlSession::interrupt() {
    if (command_.verb == CtlCommand::Verb::Watch) {
        finish(0);
        return;
    }
    err_(QStringLiteral("norvactl: interrupted"));
    finish(1);
}

std::function<void(const QString&)> CtlSession::ending() {
    return [this](const QString& error) {
        if (!error.isEmpty())
            err_(QStringLiteral("norvactl: ") + error);
        finish(error.isEmpty() ? 0 : 1);
    };
}

void CtlSession::prompting() {
    if (beforePrompt_) {
        beforePrompt_();
        beforePrompt_ = nullptr;
    }
}

void CtlSession::run() {
    using Verb = CtlCommand::Verb;
    switch (command_.verb) {
    case Verb::Help:
        out_(QString::fromStdString(CtlCommandLine::helpText()));
        finish(0);
        return;
    case Verb::Status:
        status();
        return;
    case Verb::Watch:
        watch();
        return;
    case Verb::Start:
        prompting();
        client_.start(ending());
        return;
    case Verb::Stop:
        prompting();
        client_.stop(ending());
        return;
    case Verb::Clear:
        prompting();
        client_.clear(ending());
        return;
    case Verb::TestWarning:
        prompting();
        client_.testWarning(ending());
        return;
    case Verb::Get:
        get();
        return;
    case Verb::Set:
        set();
        return;
    }
}

void CtlSession::status() {
    auto report = [this] {
        const StatusReport r = StatusReport::of(client_);
        out_(command_.json ? QString::fromUtf8(r.json()) : r.text());
        finish(r.exitStatus());
    };
    // The values are complete once the service has appeared; until the client knows whether it
    // runs, there is nothing to say yet.
    if (client_.serviceRunning() || client_.serviceKnown()) {
        report();
        return;
    }
    connect(&client_, &ServiceClient::serviceAppeared, this, report);
    connect(&client_, &ServiceClient::serviceAbsent, this, report);
    statusWait_ = new QTimer(this);
    statusWait_->setSingleShot(true);
    connect(statusWait_, &QTimer::timeout, this, [this] {
        err_(QStringLiteral("norvactl: The NorvaHB service did not answer in time."));
        finish(1);
    });
    statusWait_->start(StatusWaitMs);
}

void CtlSession::event(const QString& text) {
    out_(stamp(clock_()) + QStringLiteral("  ") + text + QLatin1Char('\n'));
}

void CtlSession::watch() {
    ServiceClient* c = &client_;
    auto appeared = [this] {
        event(QStringLiteral("service running: %1, mode %2").arg(client_.state(), client_.mode()));
    };
    if (c->serviceRunning())
        appeared();
    connect(c, &ServiceClient::serviceAppeared, this, appeared);
    connect(c, &ServiceClient::serviceAbsent, this,
            [this] { event(QStringLiteral("service not running; waiting for it")); });
    connect(c, &ServiceClient::serviceVanished, this,
            [this] { event(QStringLiteral("service stopped; waiting for it")); });
    // Only a caller allowed to control the heartbeat gets the service's status and log lines;
    // everyone else sees every other event, and hears once why the lines are missing.
    connect(c, &ServiceClient::linesFollowed, this, [this](const QString& error) {
        if (!error.isEmpty())
            err_(QStringLiteral("norvactl: the service's status and log lines are not shown "
                                "(they are for users who may control the heartbeat)"));
    });
    connect(c, &ServiceClient::stateChanged, this,
            [this](const QString& state) { event(QStringLiteral("state: ") + state); });
    connect(c, &ServiceClient::modeChanged, this,
            [this](const QString& mode) { event(QStringLiteral("mode: ") + mode); });
    connect(c, &ServiceClient::deviceAddressChanged, this, [this](const QString& address) {
        event(QStringLiteral("device address: ") + address);
    });
    connect(c, &ServiceClient::noResponse, this,
            [this](const QString& text) { event(QStringLiteral("alert: ") + text); });
    connect(c, &ServiceClient::answered, this,
            [this] { event(QStringLiteral("answered: the device responds")); });
    connect(c, &ServiceClient::deviceMessage, this,
            [this](const QString& text) { event(QStringLiteral("device message: ") + text); });
    connect(c, &ServiceClient::commandAccepted, this,
            [this](const QString& source, const QString& action) {
                event(QStringLiteral("command accepted: %1 from %2").arg(action, source));
            });
    connect(c, &ServiceClient::warningShown, this, [this](uchar mode) {
        event(QStringLiteral("warning: %1 pending").arg(StatusReport::actionName(mode)));
    });
    connect(c, &ServiceClient::warningTicked, this,
            [this](int countdown) { event(QStringLiteral("warning: %1 s left").arg(countdown)); });
    connect(c, &ServiceClient::warningEnded, this,
            [this] { event(QStringLiteral("warning: ended")); });
    connect(c, &ServiceClient::caption, this,
            [this](const QString& text) { event(QStringLiteral("caption: ") + text); });
    connect(c, &ServiceClient::statusLine, this,
            [this](const QString& text) { event(QStringLiteral("status: ") + text); });
    connect(c, &ServiceClient::logLine, this,
            [this](const QString& text) { event(QStringLiteral("log: ") + text); });
    connect(c, &ServiceClient::powerRequestFailed, this,
            [this](const QString& action, const QString& error) {
                event(QStringLiteral("power request refused: %1: %2").arg(action, error));
            });
    connect(c, &ServiceClient::error, this,
            [this](const QString& text) { event(QStringLiteral("error: ") + text); });
}

void CtlSession::get() {
    client_.readSettings([this](const QMap<QString, QString>& values, const QString& error) {
        if (!error.isEmpty()) {
            err_(QStringLiteral("norvactl: ") + error);
            finish(1);
            return;
        }
        std::vector<QString> names;
        if (command_.keys.empty()) {
            for (const bus::Setting& s : bus::SettingsSchema::all())
                if (values.contains(Q(s.name)))
                    names.push_back(Q(s.name));
        } else {
            for (const std::string& key : command_.keys)
                names.push_back(QString::fromStdString(key));
        }
        int status = 0;
        for (const QString& name : names) {
            const auto it = values.constFind(name);
            if (it == values.cend()) {
                // The command user name is given only to whoever may change the settings.
                err_(QStringLiteral("norvactl: the service did not give %1 (it is shown only "
                                    "to users who may change the settings)")
                         .arg(name));
                status = 1;
                continue;
            }
            out_(name + QLatin1Char('=') + *it + QLatin1Char('\n'));
        }
        finish(status);
    });
}

void CtlSession::set() {
    QMap<QString, QString> values;
    for (const auto& [key, value] : command_.values)
        values.insert(QString::fromStdString(key), QString::fromStdString(value));
    prompting();
    client_.applySettings(values, ending());
}

} // namespace norva
