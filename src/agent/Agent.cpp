#include "agent/Agent.h"

#include "platform/Error.h"
#include "platform/ErrorBox.h"
#include "platform/MessageBoxes.h"
#include "transport/ComPortMap.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace norva {

Agent::Agent(const std::filesystem::path& settingsFolder, std::uint16_t commandPort,
             PageValues& pages, MessageBoxes& boxes, PowerBackend& powerBackend)
    : UDPServer(queue), myPort(queue, ComPortMap(settingsFolder)), status(pages),
      network(MyIni, UDPServer, status, boxes), serial(MyIni, myPort, status, boxes),
      control(MyIni, status, boxes, pages, network, serial, myPort), power(powerBackend),
      notice(MyIni, UDPServer), protocol(queue, MyIni, pages, pending), theServer(commandPort) {
    // Calls from worker threads reach this thread through the Qt event loop; modal boxes
    // run their own loop, so deliveries go on while one is open.
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0)
        throw Error("The program cannot create its wake-up event");
    wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
    connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] {
        std::uint64_t wakes = 0;
        [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &wakes, sizeof wakes);
        queue.runPending();
    });
    queue.setWaker([fd = wakeFd_] {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &one, sizeof one);
    });

    UDPServer.OnUDPRead = [this](std::thread::id, const std::vector<std::uint8_t>& AData,
                                 const UdpEndpoint::Binding&) { network.UDPServerUDPRead(AData); };
    myPort.OnTriggerAvail = [this](SerialPort& CP, std::uint16_t Count) {
        serial.myPortTriggerAvail(CP, Count);
    };
    myPort.OnLinkLost = [this] { serial.myPortLinkLost(); };
    myPort.OnHandlerError = [&boxes](const std::string& message) {
        boxes.showError(ErrorBoxText(message));
    };

    pending.doRestart = [this] { power.doRestart(); };
    pending.doShutdown = [this] { power.doShutdown(); };
    protocol.doRestart = [this] { power.doRestart(); };
    protocol.doShutdown = [this] { power.doShutdown(); };
    protocol.restartStored = [this] { notice.RestartAccepted(); };
    theServer.OnExecute = [this](CommandConnection& c) { protocol.theServerExecute(c); };
}

Agent::~Agent() {
    Stop();
    delete wakeNotifier_;
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void Agent::Listen() {
    // The guards' settings are read before the first connection where the file is open
    // already; where it opens later, its opener reads them (ReadCommandSettings).
    if (MyIni.isOpen())
        ReadCommandSettings();
    theServer.setActive(true);
}

void Agent::ReadCommandSettings() {
    protocol.ReadGuardSettings();
}

void Agent::Stop() {
    if (stopped_)
        return;
    stopped_ = true;
    queue.close(); // releases command connections waiting for this thread
    theServer.setActive(false);
    UDPServer.setActive(false);
    myPort.setOpen(false);
    network.Timer1.stop();
    network.Timer2.stop();
    serial.comFreq.stop();
    serial.comResp.stop();
    pending.Timer1.stop();
    protocol.sweepTimer.stop();
}

} // namespace norva
