#include "SerialDevice.h"

#include "LineReader.h"
#include "StopSignal.h"
#include "heartbeat/Tokens.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace norva {

namespace {

// When a split answer's second half follows its first.
constexpr auto SplitGap = std::chrono::milliseconds(50);
// How long to wait before polling again a line that nobody has open.
constexpr auto HangupRetry = std::chrono::milliseconds(50);

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

SerialDevice::SerialDevice(SerialOptions options, Log& log)
    : options_(std::move(options)), log_(log) {
    try {
        openLine();
        if (!options_.link.empty())
            createLink();
    } catch (...) {
        if (keeper_ >= 0)
            close(keeper_);
        if (master_ >= 0)
            close(master_);
        throw;
    }
}

SerialDevice::~SerialDevice() {
    removeLink();
    if (keeper_ >= 0)
        close(keeper_);
    if (master_ >= 0)
        close(master_);
}

void SerialDevice::openLine() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ < 0)
        throw systemError("cannot open a pseudo-terminal");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    // Never block on a full line: the PC may stop reading while we still have something to say.
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || ptsname_r(master_, name, sizeof name))
        throw systemError("cannot prepare the pseudo-terminal");
    slavePath_ = name;

    keeper_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (keeper_ < 0)
        throw systemError("cannot open " + slavePath_);
    // Raw 9600 8N1 without flow control, as the device's USB serial link is.
    termios tio{};
    if (tcgetattr(keeper_, &tio) != 0)
        throw systemError("cannot read the settings of " + slavePath_);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(keeper_, TCSANOW, &tio) != 0)
        throw systemError("cannot set up " + slavePath_);
}

void SerialDevice::createLink() {
    namespace fs = std::filesystem;
    const fs::path link(options_.link);
    std::error_code ec;
    const auto status = fs::symlink_status(link, ec);
    if (fs::is_symlink(status)) {
        fs::remove(link); // left over from a device that did not end cleanly
    } else if (fs::exists(status)) {
        throw std::runtime_error(options_.link + " exists and is not a symbolic link");
    }
    if (link.has_parent_path())
        fs::create_directories(link.parent_path());
    fs::create_symlink(slavePath_, link);
    linked_ = true;
}

void SerialDevice::removeLink() {
    if (!linked_)
        return;
    linked_ = false;
    // Only our own link: another device may have taken the name meanwhile.
    std::error_code ec;
    if (std::filesystem::read_symlink(options_.link, ec) == slavePath_ && !ec)
        std::filesystem::remove(options_.link, ec);
}

int SerialDevice::run(int commandFd) {
    StopSignal stop;
    LineReader commands(commandFd);
    if (options_.printPath) {
        std::printf("%s\n", slavePath_.c_str());
        std::fflush(stdout);
    }
    std::string info = "serial on " + slavePath_;
    if (linked_)
        info += ", linked from " + options_.link;
    log_.line("info", info + ", answer " + std::string(Options::serialAnswerName(options_.answer)));

    for (;;) {
        const bool watchLine = Clock::now() >= retryAt_;
        pollfd fds[3] = {{stop.fd(), POLLIN, 0},
                         {watchLine ? master_ : -1, POLLIN, 0},
                         {commands.fd(), POLLIN, 0}};
        if (poll(fds, 3, pollTimeoutMs()) < 0 && errno != EINTR)
            throw systemError("poll failed");
        if (fds[0].revents) {
            log_.line("info", "stopped by signal " + std::to_string(stop.take()));
            return 0;
        }
        if (fds[1].revents & POLLIN)
            readLine();
        else if (fds[1].revents & (POLLHUP | POLLERR))
            retryAt_ = Clock::now() + HangupRetry;
        writeDue();
        if (fds[2].revents) {
            commands.readAvailable();
            while (auto line = commands.nextLine()) {
                if (!handleCommand(*line)) {
                    log_.line("info", "quit");
                    return 0;
                }
            }
        }
    }
}

void SerialDevice::readLine() {
    char chunk[4096];
    const ssize_t n = read(master_, chunk, sizeof chunk);
    if (n <= 0) {
        // EIO: no one has the slave open (only possible if our own keeper is gone). Quietly
        // try again a little later instead of spinning.
        if (n == 0 || (errno != EAGAIN && errno != EINTR))
            retryAt_ = Clock::now() + HangupRetry;
        return;
    }
    const std::string_view bytes(chunk, static_cast<std::size_t>(n));
    log_.line("recv", Log::quote(bytes));
    received_ += bytes;
    for (auto at = received_.find(Tokens::Heartbeat); at != std::string::npos;
         at = received_.find(Tokens::Heartbeat)) {
        received_.erase(0, at + Tokens::Heartbeat.size());
        answerHeartbeat();
    }
    // Keep only what may still become the start of a heartbeat.
    const std::size_t keep = Tokens::Heartbeat.size() - 1;
    if (received_.size() > keep)
        received_.erase(0, received_.size() - keep);
}

void SerialDevice::answerHeartbeat() {
    const std::string ack(Tokens::Ack);
    switch (options_.answer) {
    case SerialAnswer::Whole:
        write(ack);
        break;
    case SerialAnswer::Split:
        write(ack.substr(0, 4));
        pending_.push_back({Clock::now() + SplitGap, ack.substr(4)});
        break;
    case SerialAnswer::Crlf:
        write(ack + "\r\n");
        break;
    case SerialAnswer::Silent:
        break;
    case SerialAnswer::Garbage:
        write(GarbageAnswer);
        break;
    }
}

void SerialDevice::write(std::string_view bytes) {
    const ssize_t n = ::write(master_, bytes.data(), bytes.size());
    if (n < 0) {
        log_.line("info", "cannot write " + Log::quote(bytes) + ": " + std::strerror(errno));
        return;
    }
    log_.line("send", Log::quote(bytes.substr(0, static_cast<std::size_t>(n))));
    if (static_cast<std::size_t>(n) < bytes.size())
        log_.line("info", "line full: " + std::to_string(bytes.size() - n) + " bytes dropped");
}

bool SerialDevice::handleCommand(const std::string& line) {
    const auto space = line.find(' ');
    const std::string word = line.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    try {
        if (word.empty()) {
        } else if (word == "quit") {
            return false;
        } else if (word == "help") {
            log_.line("info", "commands: whole, split, crlf, silent, garbage, send STRING, quit");
        } else if (word == "send") {
            write(Options::unescape(rest));
        } else {
            options_.answer = Options::parseSerialAnswer(word);
            log_.line("info", "answer " + std::string(Options::serialAnswerName(options_.answer)));
        }
    } catch (const Options::UsageError& e) {
        log_.line("info", std::string("ignored '") + line + "': " + e.what());
    }
    return true;
}

int SerialDevice::pollTimeoutMs() const {
    auto next = Clock::time_point::max();
    for (const auto& p : pending_)
        next = std::min(next, p.due);
    if (Clock::now() < retryAt_)
        next = std::min(next, retryAt_);
    if (next == Clock::time_point::max())
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

void SerialDevice::writeDue() {
    const auto now = Clock::now();
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const Pending& a, const Pending& b) { return a.due < b.due; });
    auto it = pending_.begin();
    for (; it != pending_.end() && it->due <= now; ++it)
        write(it->bytes);
    pending_.erase(pending_.begin(), it);
}

} // namespace norva
