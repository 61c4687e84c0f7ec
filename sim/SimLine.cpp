#include "SimLine.h"

#include "SimError.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

namespace {

constexpr std::size_t LongestFrame = 256;
constexpr unsigned BitsPerCharacter = 10; // start, 8 data, stop

std::string SystemError(const std::string& What) {
    return What + ": " + std::strerror(errno);
}

speed_t SpeedOf(unsigned Baud) {
    switch (Baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        throw TSimError("unsupported baud rate " + std::to_string(Baud));
    }
}

// Raw 8N1 at the given speed. A read waits for one byte at least (cfmakeraw's VMIN 1), so that a
// plain blocking reader on the other end of a terminal does not take an empty read for its end.
void MakeRaw(int Fd, unsigned Baud, const std::string& Path) {
    termios settings{};
    if (tcgetattr(Fd, &settings) != 0)
        throw TSimError(SystemError(Path + " is not a serial line"));
    cfmakeraw(&settings);
    settings.c_cflag &= ~tcflag_t(CSTOPB | PARENB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD | CS8;
    const speed_t speed = SpeedOf(Baud);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(Fd, TCSANOW, &settings) != 0)
        throw TSimError(SystemError("cannot set up " + Path));
}

// A time left until Deadline for ppoll, zero once it has passed.
timespec TimeLeft(TClock::time_point Deadline) {
    const auto left = std::max<TClock::duration>(Deadline - TClock::now(), {});
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    return {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

void SetNonBlocking(int Fd) {
    fcntl(Fd, F_SETFL, fcntl(Fd, F_GETFL) | O_NONBLOCK);
}

} // namespace

TStopSignal::TStopSignal() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        throw TSimError(SystemError("cannot create a pipe"));
    fRead = fds[0];
    fWrite = fds[1];
}

TStopSignal::~TStopSignal() {
    close(fRead);
    close(fWrite);
}

void TStopSignal::Raise() noexcept {
    const char byte = 1;
    // A full pipe already holds a stop request, so a failed write loses nothing.
    [[maybe_unused]] const auto written = write(fWrite, &byte, 1);
}

TLine::TLine(const TLineSettings& Settings) : fSettings(Settings) {
    SpeedOf(Settings.Baud); // refuse a speed before anything is opened
    if (Settings.Device.empty())
        OpenPseudoTerminal();
    else
        OpenDevice();
}

bool TLine::SupportsBaud(unsigned Baud) {
    try {
        SpeedOf(Baud);
        return true;
    } catch (const TSimError&) {
        return false;
    }
}

TLine::~TLine() {
    HangUp();
}

void TLine::OpenPseudoTerminal() {
    fFd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fFd < 0)
        throw TSimError(SystemError("cannot open a pseudo-terminal"));
    char name[128];
    if (grantpt(fFd) != 0 || unlockpt(fFd) != 0 || ptsname_r(fFd, name, sizeof name) != 0) {
        const std::string error = SystemError("cannot set up a pseudo-terminal");
        HangUp();
        throw TSimError(error);
    }
    fPath = name;
    fHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    try {
        if (fHold < 0)
            throw TSimError(SystemError("cannot open " + fPath));
        // The other end sees a plain raw line until it sets its own mode: no echo, no line
        // editing, no translation of carriage returns in the binary frames.
        MakeRaw(fHold, fSettings.Baud, fPath);
    } catch (...) {
        HangUp();
        throw;
    }
    SetNonBlocking(fFd);
}

void TLine::OpenDevice() {
    fPath = fSettings.Device;
    fFd = open(fPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fFd < 0)
        throw TSimError(SystemError("cannot open " + fPath));
    try {
        MakeRaw(fFd, fSettings.Baud, fPath);
    } catch (...) {
        HangUp();
        throw;
    }
    tcflush(fFd, TCIOFLUSH);
}

TLineState TLine::Drain(const TStopSignal& Stop) {
    if (fHold < 0)
        return tcdrain(fFd) == 0 ? TLineState::lsReady : TLineState::lsLost;
    // The bytes reach the other end's queue a moment after the write, later still on a loaded
    // machine, and a hang-up discards what is still queued there. So the wait lasts until the
    // bytes have been seen in the queue and taken from it, or, when they are never seen (the
    // other end took them at once), until they would surely have been.
    const auto start = TClock::now();
    const auto deadline = start + std::chrono::seconds(1);
    const auto unseenLimit = start + std::chrono::milliseconds(50);
    bool seen = false;
    TLineState state = TLineState::lsReady;
    int unread = 0;
    while (state == TLineState::lsReady && TClock::now() < deadline &&
           ioctl(fHold, TIOCINQ, &unread) == 0) {
        if (unread > 0)
            seen = true;
        else if (seen || TClock::now() >= unseenLimit)
            break;
        state = WaitUntil(TClock::now() + std::chrono::milliseconds(1), Stop);
    }
    return state;
}

void TLine::HangUp() {
    if (fHold >= 0)
        close(fHold);
    if (fFd >= 0)
        close(fFd);
    fHold = fFd = -1;
}

std::chrono::nanoseconds TLine::CharacterTime() const {
    return std::chrono::nanoseconds(1'000'000'000LL * BitsPerCharacter / fSettings.Baud);
}

std::chrono::nanoseconds TLine::Silence() const {
    // Above 19200 baud the silence is fixed, so that fast lines do not need timers finer than
    // the ones a slave has.
    if (fSettings.Baud > 19200)
        return std::chrono::microseconds(1750);
    return CharacterTime() * 7 / 2;
}

TLineState TLine::WaitUntil(TClock::time_point Deadline, const TStopSignal& Stop) const {
    for (;;) {
        pollfd stop{Stop.Fd(), POLLIN, 0};
        const timespec timeout = TimeLeft(Deadline);
        const int ready = ppoll(&stop, 1, &timeout, nullptr);
        if (ready > 0)
            return TLineState::lsStopped;
        if (ready == 0)
            return TLineState::lsReady;
        if (errno != EINTR)
            throw TSimError(SystemError("cannot wait"));
    }
}

TLineState TLine::ReadFrame(const TStopSignal& Stop, std::vector<std::uint8_t>& Frame,
                            TClock::time_point& LastByte) {
    Frame.clear();
    bool overlong = false;
    for (;;) {
        pollfd fds[2] = {{fFd, POLLIN, 0}, {Stop.Fd(), POLLIN, 0}};
        const bool inFrame = !Frame.empty() || overlong;
        const timespec timeout = TimeLeft(LastByte + Silence());
        const int ready = ppoll(fds, 2, inFrame ? &timeout : nullptr, nullptr);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            throw TSimError(SystemError("cannot wait on " + fPath));
        if (fds[1].revents != 0)
            return TLineState::lsStopped;
        if (ready == 0) {
            if (!overlong)
                return TLineState::lsReady;
            overlong = false; // noise without a pause: drop it and wait for the next frame
            continue;
        }
        std::uint8_t buffer[LongestFrame];
        const ssize_t count = read(fFd, buffer, sizeof buffer);
        if (count < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (count <= 0)
            return TLineState::lsLost;
        LastByte = TClock::now();
        Frame.insert(Frame.end(), buffer, buffer + count);
        if (Frame.size() > LongestFrame) {
            Frame.clear();
            overlong = true;
        }
    }
}

TLineState TLine::Write(const std::uint8_t* Bytes, std::size_t Count, const TStopSignal& Stop) {
    while (Count > 0) {
        const ssize_t written = write(fFd, Bytes, Count);
        if (written > 0) {
            Bytes += written;
            Count -= std::size_t(written);
            continue;
        }
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno != EAGAIN)
            return TLineState::lsLost;
        pollfd fds[2] = {{fFd, POLLOUT, 0}, {Stop.Fd(), POLLIN, 0}};
        if (poll(fds, 2, -1) > 0 && fds[1].revents != 0)
            return TLineState::lsStopped;
    }
    return TLineState::lsReady;
}

TLineState TLine::Send(const std::vector<std::uint8_t>& Bytes, TClock::time_point Start,
                       const TStopSignal& Stop) {
    // A real UART paces a device's output itself; only a pseudo-terminal needs our pacing.
    if (!fSettings.Pacing || !fSettings.Device.empty()) {
        const TLineState state = WaitUntil(Start, Stop);
        return state == TLineState::lsReady ? Write(Bytes.data(), Bytes.size(), Stop) : state;
    }
    for (std::size_t k = 0; k < Bytes.size(); ++k) {
        TLineState state = WaitUntil(Start + CharacterTime() * (k + 1), Stop);
        if (state == TLineState::lsReady)
            state = Write(&Bytes[k], 1, Stop);
        if (state != TLineState::lsReady)
            return state;
    }
    return TLineState::lsReady;
}

} // namespace sim
