#include "support/PseudoTerminal.h"
#include "support/TempDir.h"
#include "transport/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace norva;
using norva::test::TempDir;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

using norva::test::PseudoTerminal;

namespace {

class SerialPortTest : public testing::Test {
protected:
    // No fixed device name reaches a real device: /dev and /sys are empty folders.
    ComPortMap portMap() const { return ComPortMap(dir_ / "cfg", dir_ / "dev", dir_ / "sys"); }

    void pin(uint16_t n, const fs::path& target) const {
        const auto folder = portMap().pinFolder();
        fs::create_directories(folder);
        fs::create_symlink(target, folder / ("COM" + std::to_string(n)));
    }

    // Serves the hand-over queue, as the user-interface thread does, until done() or a
    // generous time-out; returns done().
    template <typename Pred> bool serveUntil(Pred done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        queue_.serveAllUntil([&] { return done() || std::chrono::steady_clock::now() > deadline; });
        return done();
    }

    void serveFor(std::chrono::milliseconds span) {
        const auto until = std::chrono::steady_clock::now() + span;
        queue_.serveAllUntil([&] { return std::chrono::steady_clock::now() > until; });
    }

    static std::size_t openDescriptors() {
        return static_cast<std::size_t>(
            std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()));
    }

    TempDir dir_;
    HandOverQueue queue_; // the test's thread is the user-interface thread
};

template <typename E, typename F> void expectError(F&& f, const std::string& message) {
    try {
        f();
        ADD_FAILURE() << "expected: " << message;
    } catch (const E& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST_F(SerialPortTest, SecondOpenOfAHeldDeviceFailsUntilTheHolderIsGone) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    // Watches the terminal's exclusive mode; opened first, so it is allowed in.
    const int watcher = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(watcher, 0);
    const auto exclusive = [&] {
        int on = -1;
        EXPECT_EQ(::ioctl(watcher, TIOCGEXCL, &on), 0);
        return on == 1;
    };
    SerialPort second(queue_, portMap());
    second.setComNumber(1);
    {
        SerialPort first(queue_, portMap());
        first.setComNumber(1);
        first.setOpen(true);
        ASSERT_TRUE(first.Open());
        EXPECT_EQ(first.state(), psOpen);
        EXPECT_TRUE(exclusive());
        EXPECT_TRUE(second.IsComPortAvailable(1)); // held, yet still listed

        expectError<EAlreadyOpen>([&] { second.setOpen(true); }, "ie_Open - device already open");
        EXPECT_FALSE(second.Open());
        EXPECT_EQ(second.state(), psClosed);
        EXPECT_EQ(second.ComNumber(), 1);
        EXPECT_TRUE(exclusive()); // the failed open left the holder's terminal alone
    }                             // destroying the holder closes it and lifts the exclusive mode
    EXPECT_FALSE(exclusive());
    second.setOpen(true);
    EXPECT_TRUE(second.Open());
    ::close(watcher);
}

TEST_F(SerialPortTest, OpenFailuresLeaveThePortClosedWithItsNumber) {
    pin(2, dir_ / "unplugged");
    pin(3, "/dev/null"); // a character device, but no terminal
    SerialPort port(queue_, portMap());
    const std::size_t before = openDescriptors();
    for (uint16_t n : {2, 4, 37}) { // a pin to nothing, a fixed name with no device, no name
        SCOPED_TRACE(n);
        port.setComNumber(n);
        expectError<EBadId>([&] { port.setOpen(true); },
                            "ie_BadId - Specified comport doesn't exist");
        // A write opens the closed port first and raises that open's failure.
        expectError<EBadId>([&] { port.PutString("NorvaHB"); },
                            "ie_BadId - Specified comport doesn't exist");
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.ComNumber(), n);
    }
    port.setComNumber(3);
    try {
        port.setOpen(true);
        ADD_FAILURE() << "opened /dev/null as a serial port";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.errorCode(), ENOTTY);
    }
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SerialPortTest, OpeningTwiceOpensOnceAndClosingReleasesEverything) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    port.setComNumber(1);
    const std::size_t closed = openDescriptors();

    port.setOpen(false); // closed already: nothing
    EXPECT_EQ(port.state(), psClosed);

    port.setOpen(true);
    const std::size_t open = openDescriptors();
    EXPECT_GT(open, closed);
    port.setOpen(true);
    port.setComNumber(1);
    EXPECT_EQ(openDescriptors(), open);
    port.PutString("NorvaHB");
    EXPECT_EQ(pty.read(7), "NorvaHB");

    port.setOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.state(), psClosed);
    EXPECT_EQ(openDescriptors(), closed);
}

TEST_F(SerialPortTest, NewComNumberWhileOpenMovesThePortToTheNewDevice) {
    PseudoTerminal one, two;
    pin(1, one.slavePath());
    pin(2, two.slavePath());
    std::vector<uint16_t> counts;
    SerialPort port(queue_, portMap());
    port.OnTriggerAvail = [&](SerialPort&, uint16_t count) { counts.push_back(count); };
    port.setComNumber(1);
    port.setOpen(true);

    port.setComNumber(2);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.ComNumber(), 2);
    port.PutString("to two");
    EXPECT_EQ(two.read(6), "to two");
    two.write("ab");
    ASSERT_TRUE(serveUntil([&] { return !counts.empty(); }));
    EXPECT_EQ(counts.front(), 2);

    SerialPort other(queue_, portMap()); // the first device was let go
    other.setComNumber(1);
    other.setOpen(true);
    EXPECT_TRUE(other.Open());
}

// Everything the line carries arrives unchanged both ways: no line-end translation, no
// XON/XOFF, no signal characters, no parity marks.
TEST_F(SerialPortTest, HandlerTakesTheBytesInOrderAndOneMoreIsAnError) {
    const std::string binary("\x00\x11\x13\r\n\x03\xff\x7f", 8);
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    std::vector<uint16_t> counts;
    std::string taken;
    std::vector<std::string> errors;
    port.OnTriggerAvail = [&](SerialPort& cp, uint16_t count) {
        counts.push_back(count);
        for (uint16_t i = 0; i < count; ++i)
            taken.push_back(static_cast<char>(cp.GetChar()));
        cp.GetChar(); // nothing left: escapes the handler
    };
    port.OnHandlerError = [&](const std::string& message) { errors.push_back(message); };
    port.setComNumber(1);
    port.setOpen(true);

    port.PutString(binary);
    EXPECT_EQ(pty.read(binary.size()), binary);

    pty.write(binary);
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], binary.size());
    EXPECT_EQ(taken, binary);
    EXPECT_EQ(errors, std::vector<std::string>{"Buffer is empty"});

    // The port carries on, and the bytes taken before the error have left the ring.
    pty.write("Z");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts[1], 1);
    EXPECT_EQ(taken, binary + "Z");
}

// The device's answer arrives in two pieces of 4 bytes.
class TwoPieceAnswer : public SerialPortTest, public testing::WithParamInterface<bool> {};

TEST_P(TwoPieceAnswer, SecondEventCountsWhatTheFirstLeftUnread) {
    const bool firstReadsAll = GetParam();
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    std::vector<uint16_t> counts;
    std::string taken;
    port.OnTriggerAvail = [&](SerialPort& cp, uint16_t count) {
        counts.push_back(count);
        if (counts.size() == 1 && !firstReadsAll)
            return;
        for (uint16_t i = 0; i < count; ++i)
            taken.push_back(static_cast<char>(cp.GetChar()));
    };
    port.setComNumber(1);
    port.setOpen(true);

    pty.write("Norv");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 1; }));
    pty.write("aACK");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts, (std::vector<uint16_t>{4, static_cast<uint16_t>(firstReadsAll ? 4 : 8)}));
    EXPECT_EQ(taken, "NorvaACK");
}

INSTANTIATE_TEST_SUITE_P(Handlers, TwoPieceAnswer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& p) {
                             return p.param ? "FirstReadsAll" : "FirstReadsNothing";
                         });

TEST_F(SerialPortTest, LostDeviceStopsServiceAndWritesFillTheRing) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    int events = 0;
    port.OnTriggerAvail = [&](SerialPort&, uint16_t) { ++events; };
    port.setComNumber(1);
    port.setOpen(true);

    pty.closeMaster();
    ASSERT_TRUE(serveUntil([&] { return port.linkLost(); }));
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.state(), psOpen);

    port.PutString(std::string(4090, 'h'));
    expectError<EOutputBufferTooSmall>([&] { port.PutString("NorvaHB"); },
                                       "Output buffer too small for block");
    port.PutString("Norva!"); // exactly the 6 bytes left
    expectError<EOutputBufferTooSmall>([&] { port.PutString("x"); },
                                       "Output buffer too small for block");
    EXPECT_EQ(events, 0);

    port.setOpen(false);
    EXPECT_FALSE(port.Open());
}

TEST_F(SerialPortTest, LostDeviceIsAnnouncedOnceAndThePortCanBeClosedThereAndOpenedAgain) {
    auto pty = std::make_unique<PseudoTerminal>();
    pin(1, pty->slavePath());
    SerialPort port(queue_, portMap());
    int lost = 0;
    std::thread::id announcedOn;
    port.OnLinkLost = [&] {
        ++lost;
        announcedOn = std::this_thread::get_id();
        EXPECT_TRUE(port.linkLost());
        // What a caller that waits for the device does: closes the port at once (the close
        // completes once this handler has returned).
        port.setOpen(false);
    };
    port.setComNumber(1);
    port.setOpen(true);

    pty->closeMaster();
    ASSERT_TRUE(serveUntil([&] { return lost > 0; }));
    EXPECT_EQ(announcedOn, std::this_thread::get_id());
    EXPECT_FALSE(port.Open());
    serveFor(300ms); // nothing more comes
    EXPECT_EQ(lost, 1);

    // The device is back behind the same number: the port opens and carries bytes again.
    pty = std::make_unique<PseudoTerminal>();
    fs::remove(portMap().pinFolder() / "COM1");
    pin(1, pty->slavePath());
    port.setOpen(true);
    port.PutString("NorvaHB");
    EXPECT_EQ(pty->read(7), "NorvaHB");
    port.setOpen(false);
    EXPECT_EQ(lost, 1);
}

TEST_F(SerialPortTest, AClosedPortIsNotALostOne) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    int lost = 0;
    port.OnLinkLost = [&] { ++lost; };
    port.setComNumber(1);
    port.setOpen(true);
    port.setOpen(false);
    pty.closeMaster();
    serveFor(300ms);
    EXPECT_EQ(lost, 0);
}

TEST_F(SerialPortTest, ClosingDiscardsOutputNotYetSent) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    // A second descriptor on the terminal lets the test hold back its output, so that the
    // bytes are still queued when the port closes.
    const int held = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    SerialPort port(queue_, portMap());
    port.setComNumber(1);
    port.setOpen(true);

    ASSERT_EQ(::tcflow(held, TCOOFF), 0);
    port.PutString("lost");
    port.setOpen(false); // must not wait for the output to drain
    port.setOpen(true);
    ASSERT_EQ(::tcflow(held, TCOON), 0);
    port.PutString("kept");
    EXPECT_EQ(pty.read(4), "kept");
    port.setOpen(false);
    ::close(held);
}

TEST_F(SerialPortTest, WriteOnAPortNeverChosenAsksForOne) {
    PseudoTerminal three, seven;
    pin(3, three.slavePath());
    pin(7, seven.slavePath());
    SerialPort port(queue_, portMap());
    std::vector<std::vector<std::string>> prompts;
    std::optional<uint16_t> answer;
    port.PromptForPort = [&](const std::vector<std::string>& entries) {
        prompts.push_back(entries);
        return answer;
    };

    expectError<ENoPortSelected>([&] { port.PutString("NorvaHB"); },
                                 "No serial port number has been set");
    ASSERT_EQ(prompts.size(), 1u);
    EXPECT_EQ(prompts[0], (std::vector<std::string>{"COM3", "COM7"}));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.ComNumber(), 0);

    answer = 7;
    port.PutString("NorvaHB");
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(seven.read(7), "NorvaHB");

    // Once chosen, the number is used without asking again.
    port.setOpen(false);
    port.PutString("again");
    EXPECT_EQ(prompts.size(), 2u);
    EXPECT_EQ(seven.read(5), "again");
}

TEST_F(SerialPortTest, CloseInsideTheHandlerFinishesWhenItReturns) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap());
    std::vector<uint16_t> counts;
    std::vector<TPortState> statesInside;
    std::vector<uint8_t> charsInside;
    port.OnTriggerAvail = [&](SerialPort& cp, uint16_t count) {
        counts.push_back(count);
        cp.setOpen(false);
        statesInside.push_back(cp.state());
        charsInside.push_back(cp.GetChar()); // shutting down: 0, no error
        if (counts.size() == 1)
            cp.setOpen(true); // carried out once the close has completed
    };
    port.setComNumber(1);
    port.setOpen(true);

    pty.write("abc");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(port.state(), psOpen); // closed after the handler, then opened again

    pty.write("d"); // the unread "abc" went with the close
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 2; }));
    EXPECT_EQ(counts, (std::vector<uint16_t>{3, 1}));
    EXPECT_EQ(statesInside, (std::vector<TPortState>{psShuttingDown, psShuttingDown}));
    EXPECT_EQ(charsInside, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(port.state(), psClosed);
    EXPECT_FALSE(port.Open());
}

TEST_F(SerialPortTest, CloseWhileAnEventWaitsForDeliveryNeitherHangsNorDeliversIt) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    std::atomic<bool> queued{false};
    queue_.setWaker([&] { queued = true; });
    SerialPort port(queue_, portMap());
    int events = 0;
    port.OnTriggerAvail = [&](SerialPort&, uint16_t) { ++events; };
    port.setComNumber(1);
    port.setOpen(true);

    pty.write("x");
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!queued && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(queued);

    const auto start = std::chrono::steady_clock::now();
    port.setOpen(false);
    // Waiting out the dispatcher's delivery cap instead of serving it would take 3 s.
    EXPECT_LT(std::chrono::steady_clock::now() - start, SerialPort::DeliveryCap / 2);
    EXPECT_EQ(events, 0);
    EXPECT_FALSE(port.Open());
    queue_.setWaker({});
}

// The user-interface thread is busy for longer than the dispatcher waits for it (a modal
// loop that does not serve the queue, a slow handler elsewhere). The event must still come
// once the thread is free, or an answer waits unannounced and is only read, too long, with
// the next one. The handler is the heartbeat monitor's: nothing read below 8 bytes.
TEST_F(SerialPortTest, EventHeldUpPastTheCapArrivesOnceTheUserInterfaceIsFree) {
    constexpr auto cap = 50ms;
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    std::atomic<bool> queued{false};
    queue_.setWaker([&] { queued = true; });
    SerialPort port(queue_, portMap(), cap);
    std::vector<uint16_t> counts;
    std::string taken;
    port.OnTriggerAvail = [&](SerialPort& cp, uint16_t count) {
        counts.push_back(count);
        if (count < 8)
            return;
        for (uint16_t i = 0; i < count; ++i)
            taken.push_back(static_cast<char>(cp.GetChar()));
    };
    port.setComNumber(1);
    port.setOpen(true);

    // The device sends; the user-interface thread takes nothing until well past the cap.
    const auto sendWhileHeld = [&](const std::string& bytes) {
        queued = false;
        pty.write(bytes);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!queued && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        ASSERT_TRUE(queued);
        std::this_thread::sleep_for(3 * cap);
    };

    sendWhileHeld("NorvaACK");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 1; }));
    EXPECT_EQ(counts[0], 8);
    EXPECT_EQ(taken, "NorvaACK");

    // Bytes a delivered event left unread still raise nothing until more bytes come.
    sendWhileHeld("Norv");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 2; }));
    pty.write("aACK");
    ASSERT_TRUE(serveUntil([&] { return counts.size() == 3; }));
    EXPECT_EQ(counts, (std::vector<uint16_t>{8, 4, 8}));
    EXPECT_EQ(taken, "NorvaACKNorvaACK");
    queue_.setWaker({});
}

// At program end the hand-over queue is closed before the port: bytes that arrive in between
// have nobody to go to, and must not keep the dispatcher offering them over and over.
TEST_F(SerialPortTest, BytesAfterTheQueueClosedDoNotKeepTheDispatcherBusy) {
    PseudoTerminal pty;
    pin(1, pty.slavePath());
    SerialPort port(queue_, portMap(), 50ms);
    int events = 0;
    port.OnTriggerAvail = [&](SerialPort&, uint16_t) { ++events; };
    port.setComNumber(1);
    port.setOpen(true);
    queue_.close();

    const auto cpuTime = [] {
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    };
    const auto before = cpuTime();
    pty.write("NorvaACK");
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(cpuTime() - before, 60ms);

    port.setOpen(false);
    EXPECT_EQ(events, 0);
    EXPECT_FALSE(port.Open());
}

} // namespace
