#pragma once

#include "heartbeat/HeartbeatState.h"
#include "heartbeat/TrayRules.h"

#include <QObject>
#include <QString>
#include <string>

namespace norva {

class PageValues;

// tAppIcons: the heartbeat's state as the status picture shows it.
enum tAppIcons { badIcon = 0, goodIcon = 1, stoppedIcon = 2 };

// What the heartbeat shows the user, decided here and announced as plain values: the status
// picture and text, the tray's picture with its hint or balloon text, and the no-response
// alert. It owns `failed`, which both monitors share: the serial monitor clears the failure
// only when there is one, the network monitor on every answer.
//
// Whoever shows the heartbeat (the main window and its tray, a log, a bus interface) connects
// to the signals; nothing here knows how it is drawn. The tray follows "Show Status In Tray"
// as the page shows it now. Lives on the user-interface thread.
class HeartbeatStatus : public QObject {
    Q_OBJECT
public:
    explicit HeartbeatStatus(PageValues& pages, QObject* parent = nullptr);

    void showIcon(tAppIcons theIcon);
    void setStatusText(const QString& text);
    // A tray picture with its text (TrayFor gives both for a state).
    void showTray(const TrayLook& look);

    // The failure state after the configured number of misses: bad picture, "Fail", the
    // tray, `failed`, then the no-response alert with the monitor's balloon text.
    void showFailure(const std::string& balloonText);
    // The same state without the alert: for a window that comes to a failure already there.
    void showFailureState();
    // The device answered: `failed` cleared, good picture, the tray, "OK".
    void showAnswered();
    // The heartbeat stopped: the stopped picture, "Stopped", and the tray's "not running"
    // picture, or the plain one when the status is not to be shown in the tray (the caller's
    // page decides, as Stop reads it).
    void showStopped(bool statusInTray);
    // The machine sleeps: "sleeping" as the status text; the picture stays as it was.
    void showSleeping();
    // The machine woke: the status text of the state the sleep interrupted.
    void showWoken();
    // Announces a sleep's beginning or end (sleepNoted).
    void noteSleep(SleepNote note, qint64 sleptMs) { emit sleepNoted(note, sleptMs); }

    // The picture last shown; stoppedIcon until the heartbeat first shows one.
    tAppIcons state() const { return state_; }

    bool failed = false; // the heartbeat is in the failure state

signals:
    void iconShown(norva::tAppIcons icon);
    void statusTextShown(const QString& text);
    // The tray's picture with its hint (the tooltip, after an answer or a failure) or its
    // balloon text (the start, stop and settings states), as `look.hint` says.
    void trayShown(const norva::TrayLook& look);
    // The configured number of heartbeats went unanswered: the user is to be alerted, with
    // this text where the alert is a balloon.
    void noResponse(const QString& balloonText);
    // A sleep of the machine began or ended (`sleptMs`: how long, when the clocks tell it).
    void sleepNoted(norva::SleepNote note, qint64 sleptMs);

private:
    void showTrayResponding();
    void showTrayNotResponding();

    PageValues& pages_;
    tAppIcons state_ = stoppedIcon;
};

} // namespace norva
