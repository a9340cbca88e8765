#pragma once

#include "agent/Agent.h"
#include "platform/ErrorBox.h"
#include "settings/SettingsKeys.h"
#include "support/FakePageValues.h"
#include "support/RecordingPowerBackend.h"
#include "support/ScriptedMessageBoxes.h"
#include "support/TempDir.h"

#include <QCoreApplication>
#include <QString>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace norva::test {

// Everything the agent announced, as the plain values a user would have been shown, in the
// order they came: "icon 1", "status OK", "counters 1 0 0 0", "label4 Bad Password", "warning
// tick 9", ... Error boxes and power requests go into the same sequence ("error <text>",
// "power reboot"), so a test reads one story. A refused command and applied settings make no
// entry (the window shows nothing for them).
//
// The agent announces on the user-interface thread only (the thread that built the agent, and
// this log). An entry that comes from any other thread is recorded all the same and counted in
// `offThread`, which the fixture checks at its end.
class AnnouncementLog : public AgentListener {
public:
    void add(std::string entry) {
        if (QThread::currentThread() != home_)
            ++offThread;
        const std::lock_guard lock(mutex_);
        entries_.push_back(std::move(entry));
    }

    std::vector<std::string> entries() const {
        const std::lock_guard lock(mutex_);
        return entries_;
    }
    // The entries so far, which the log then forgets.
    std::vector<std::string> take() {
        const std::lock_guard lock(mutex_);
        return std::exchange(entries_, {});
    }
    bool contains(const std::string& entry) const {
        const std::lock_guard lock(mutex_);
        return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    }
    // The latest entry that starts with `prefix` ("status ", "tray ", "counters "), or "" when
    // none did: what a window drawing these announcements would show now.
    std::string last(const std::string& prefix) const {
        const std::lock_guard lock(mutex_);
        for (auto it = entries_.rbegin(); it != entries_.rend(); ++it)
            if (it->rfind(prefix, 0) == 0)
                return *it;
        return "";
    }
    // How many entries so far start with `prefix`.
    std::size_t count(const std::string& prefix) const {
        const std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(entries_.begin(), entries_.end(),
                          [&](const std::string& e) { return e.rfind(prefix, 0) == 0; }));
    }

    // The announcements, each as its entry.
    void iconShown(tAppIcons icon) override { add("icon " + n(static_cast<int>(icon))); }
    void statusTextShown(const QString& s) override { add("status " + s.toStdString()); }
    void trayShown(const TrayLook& look) override {
        add("tray " + n(static_cast<int>(look.picture)) + (look.hint ? " hint " : " ") +
            look.text.toStdString());
    }
    void noResponse(const QString& balloon) override { add("alert " + balloon.toStdString()); }
    void countersChanged(Link link, const LinkCounters& c) override {
        if (link == Link::Network)
            add("counters " + n(c.sent) + " " + n(c.received) + " " + n(c.nak) + " " + n(c.missed));
        else
            add("usb counters " + n(c.sent) + " " + n(c.received) + " " + n(c.missed));
    }
    void serialPortLost() override { add("usb port lost"); }
    void settingsApplied() override {}
    void deviceMessage(const QString& s) override { add("caption " + s.toStdString()); }
    void foreignDatagrams(const QString& source, std::uint64_t count) override {
        add("foreign " + source.toStdString() + " " + n(count));
    }
    void captionShown(const QString& s) override { add("caption " + s.toStdString()); }
    void statusLine(const QString& s) override { add("label4 " + s.toStdString()); }
    void logLine(const QString& s) override { add("memo " + s.toStdString()); }
    void commandAccepted(const QString& source, const QString& action) override {
        add("accepted " + source.toStdString() + " " + action.toStdString());
    }
    void commandRejected() override {}
    void powerRequestFailed(const QString& action, const QString& error) override {
        add("power refused " + action.toStdString() + ": " + error.toStdString());
    }
    void warningShown(std::uint8_t mode, bool modal) override {
        add("warning shown " + n(mode) + (modal ? " modal" : ""));
    }
    void warningTicked(std::int32_t countdown) override { add("warning tick " + n(countdown)); }
    void warningEnded() override { add("warning ended"); }
    void sleepChanged(norva::SleepNote note, const QString& detail) override {
        static const char* const names[] = {"sleeping",   "woke",          "woke unannounced",
                                            "lock taken", "lock released", "lock refused"};
        add(std::string("sleep ") + names[static_cast<int>(note)] +
            (detail.isEmpty() ? "" : " " + detail.toStdString()));
    }

    std::atomic<int> offThread{0};

private:
    template <typename Number> static std::string n(Number v) { return std::to_string(v); }

    QThread* home_ = QThread::currentThread();
    mutable std::mutex mutex_;
    std::vector<std::string> entries_;
};

// The power backend of the fixture: records like RecordingPowerBackend, and puts each request
// into the announcement log, where its order against the captions shows.
class LoggedPowerBackend : public RecordingPowerBackend {
public:
    explicit LoggedPowerBackend(AnnouncementLog& log) : log_(log) {}
    void reboot(Done done) override {
        RecordingPowerBackend::reboot(std::move(done));
        log_.add("power reboot");
    }
    void powerOff(Done done) override {
        RecordingPowerBackend::powerOff(std::move(done));
        log_.add("power powerOff");
    }

private:
    AnnouncementLog& log_;
};

// The heartbeat and the command port without any window: an Agent on a settings folder of the
// test's own (opened, as the start-up sequence opens it), the page's current values as plain
// fields, scripted message boxes, a recording power backend, and the command port listening on
// any free port. Nothing here can reach the user's files or the real power controls, and
// nothing links a widget.
//
// The timers of the monitors and the warning are lengthened to an hour: the tests call their
// handlers (Timer1Timer, comRespTimer, ...) themselves. The test's thread is the agent's
// user-interface thread; serveUntil stands in for the event loop while other threads work.
class AgentFixture {
public:
    explicit AgentFixture(const std::string& settings = "") {
        if (!settings.empty())
            dir.write("NorvaHB", settings);
        build();
    }
    ~AgentFixture() { stop(); }
    AgentFixture(const AgentFixture&) = delete;
    AgentFixture& operator=(const AgentFixture&) = delete;

    // The next program start on the same settings folder: the agent is stopped and built
    // again, with a log of its own (the old one is dropped).
    void rebuild() {
        stop();
        log.take();
        build();
    }

    // The program's start-up steps after the settings file is open, as the window and the
    // service run them: the command port's guards, the stored serial port, the heartbeat
    // resumed, the restart notice, then the tray for the stored state. An error ends the
    // sequence at that step and goes to the boxes, as in the program. False when it did.
    bool startUp() {
        bool done = false;
        RunGuarded(boxes, [&] {
            agent->ReadCommandSettings();
            agent->startUp();
            done = true;
        });
        return done;
    }

    // The page's values as the window's pages show them once filled from the stored settings:
    // the mode, "Show Status In Tray", the credentials, "Alert Pending Action", and whether the
    // heartbeat's fields are filled (a missing address shows "0.0.0.0"). A test that plays the
    // window's page refill hands this to `agent->control.loadSetup`.
    void pagesFromFile() {
        const SettingsFile ini(dir.path());
        pages.network = ini.ReadBool(keys::Network);
        pages.usb = !pages.network && ini.ReadBool(keys::USB);
        pages.none = !pages.network && !pages.usb;
        pages.tray = ini.ReadBool(keys::ShowStatusInTray);
        pages.user = QString::fromStdString(ini.ReadString(keys::Username));
        pages.pass = QString::fromStdString(ini.ReadString(keys::Password));
        pages.alert = ini.ReadBool(keys::AlertPedningAction);
        pages.fieldsFilled = !ini.ReadString(keys::IPAddr, "0.0.0.0").empty() &&
                             !ini.ReadString(keys::Port).empty() &&
                             !ini.ReadString(keys::Freq).empty() &&
                             !ini.ReadString(keys::FailCount).empty();
    }

    // Apply on the heartbeat page: the heartbeat stops, `write` stores the page's values, and
    // the heartbeat restarts when the user had started it, as the page's Apply brackets it.
    void apply(const std::function<void(SettingsFile&)>& write) {
        const bool restart = agent->control.BeginApply();
        write(agent->MyIni.file());
        agent->control.EndApply(restart);
    }

    // Serves the calls of the agent's worker threads, and the Qt events, until `done` or the
    // limit; false when time ran out.
    bool serveUntil(const std::function<bool()>& done,
                    std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool ok = false;
        agent->queue.serveAllUntil([&] {
            QCoreApplication::processEvents();
            ok = done();
            return ok || std::chrono::steady_clock::now() > deadline;
        });
        return ok;
    }

    // A setting as stored now, read from the file as a later program start would.
    std::string setting(const std::string& section, const std::string& key,
                        const std::string& fallback = "<missing>") const {
        return SettingsFile(dir.path()).ReadString(section, key, fallback);
    }

    TempDir dir;
    FakePageValues pages;
    ScriptedMessageBoxes boxes;
    AnnouncementLog log;
    LoggedPowerBackend power{log};
    std::unique_ptr<Agent> agent;

private:
    void build() {
        agent = std::make_unique<Agent>(dir.path(), 0, pages, boxes, power);
        agent->addListener(log);
        boxes.onShow = [this](const std::string& text) { log.add("error " + text); };
        using namespace std::chrono_literals;
        for (QTimer* t : {&agent->network.Timer1, &agent->network.Timer2, &agent->serial.comFreq,
                          &agent->serial.comResp, &agent->pending.Timer1})
            t->setInterval(1h);
        agent->MyIni.open(dir.path());
        agent->Listen();
    }

    void stop() {
        if (!agent)
            return;
        agent->Stop();
        EXPECT_EQ(log.offThread, 0) << "announced off the user-interface thread";
        agent->MyIni.close();
        agent.reset();
    }
};

} // namespace norva::test
