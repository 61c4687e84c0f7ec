// The bench's end of the serial line: a new pseudo-terminal or a serial device, requests framed
// by the silence that ends an RTU frame, replies sent after the turnaround and, on a
// pseudo-terminal, paced at the line's speed so that an exchange takes its time on the wire.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using TClock = std::chrono::steady_clock;

// A request to stop that a signal handler may raise: one byte into a pipe that every wait of
// the line watches.
class TStopSignal {
public:
    TStopSignal();
    ~TStopSignal();
    TStopSignal(const TStopSignal&) = delete;
    TStopSignal& operator=(const TStopSignal&) = delete;

    void Raise() noexcept; // async-signal-safe
    int Fd() const { return fRead; }

private:
    int fRead = -1;
    int fWrite = -1;
};

struct TLineSettings {
    std::string Device; // empty: a new pseudo-terminal
    unsigned Baud = 9600;
    std::chrono::milliseconds Turnaround{5};
    bool Pacing = true;
};

// How a wait on the line ended.
enum class TLineState { lsReady, lsStopped, lsLost };

class TLine {
public:
    explicit TLine(const TLineSettings& Settings); // throws TSimError
    ~TLine();
    TLine(const TLine&) = delete;
    TLine& operator=(const TLine&) = delete;

    // The standard speeds from 1200 to 115200 baud.
    static bool SupportsBaud(unsigned Baud);

    // The path the other end opens: the pseudo-terminal's slave side or the device.
    const std::string& Path() const { return fPath; }
    // 10 bits of 8N1 at the line's speed.
    std::chrono::nanoseconds CharacterTime() const;

    // Waits for the next frame: bytes followed by 3.5 characters of silence (1.75 ms above
    // 19200 baud). Frames longer than any Modbus frame are dropped.
    TLineState ReadFrame(const TStopSignal& Stop, std::vector<std::uint8_t>& Frame,
                         TClock::time_point& LastByte);
    // Sends Bytes from Start on. On a pseudo-terminal with pacing, byte k is written when it
    // would have fully arrived on a real line, Start + (k + 1) character times.
    TLineState Send(const std::vector<std::uint8_t>& Bytes, TClock::time_point Start,
                    const TStopSignal& Stop);
    // Waits until what was sent has left: on a pseudo-terminal, until the other end has read
    // it (at most a second), since closing the terminal discards what is still unread.
    TLineState Drain(const TStopSignal& Stop);
    // Closes the line the way an unplugged adapter goes: a pseudo-terminal's device node
    // disappears and its other end reads end of file.
    void HangUp();

private:
    void OpenPseudoTerminal();
    void OpenDevice();
    std::chrono::nanoseconds Silence() const;
    TLineState WaitUntil(TClock::time_point Deadline, const TStopSignal& Stop) const;
    TLineState Write(const std::uint8_t* Bytes, std::size_t Count, const TStopSignal& Stop);

    TLineSettings fSettings;
    std::string fPath;
    int fFd = -1;
    // The simulator keeps the pseudo-terminal's slave side open itself: without it the master
    // reports a hang-up (and reads fail) whenever no client has the port open.
    int fHold = -1;
};

} // namespace sim
