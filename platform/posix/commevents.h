// Which comm events (EV_*) and line errors (CE_*) have happened, from two looks at the line.
//
// The terminal keeps no event history of its own, so the port looks at the line when a wait
// starts and whenever something may have changed, and compares what it sees with what it saw
// when the events were last reported: bytes received since then (EV_RXCHAR), the output drained
// after something was queued (EV_TXEMPTY), and the driver's interrupt counters (TIOCGICOUNT) for
// CTS, DSR, RLSD and RING changes, breaks and line errors. Only events of the mask in force count,
// from the moment the mask was set, as on Windows.
//
// Not reported by this backend: EV_RXFLAG (the terminal cannot watch for the event character),
// EV_RX80FULL, EV_PERR, EV_EVENT1 and EV_EVENT2. A pseudo-terminal has no interrupt counters, so
// on it only EV_RXCHAR and EV_TXEMPTY occur.
#pragma once

#include "winapi.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace winapi::posix {

// The driver's interrupt counters, where it keeps them.
struct TLineCounters {
    std::uint32_t Cts = 0;
    std::uint32_t Dsr = 0;
    std::uint32_t Rng = 0;
    std::uint32_t Dcd = 0;
    std::uint32_t Break = 0;
    std::uint32_t Frame = 0;
    std::uint32_t Overrun = 0;
    std::uint32_t Parity = 0;
    std::uint32_t BufferOverrun = 0;
};

// The line at one moment, as far as events and errors are concerned.
struct TLineSnapshot {
    // Bytes received since the port was opened: those taken by reads or purged, and those
    // waiting in the input queue.
    std::uint64_t Arrived = 0;
    // Bytes of write requests not yet handed to the driver.
    std::uint64_t Queued = 0;
    // Whether the driver still holds output (its queue, or the transmitter shifting a byte out).
    bool DriverSending = false;
    std::optional<TLineCounters> Counters;
    // The line has hung up: the other end of a pseudo-terminal closed, an adapter was unplugged.
    bool HungUp = false;

    bool OutputEmpty() const { return Queued == 0 && !DriverSending; }
};

class TCommEvents {
public:
    DWORD Mask() const { return fMask; }
    // SetCommMask: the events of Mask count from Now on.
    void SetMask(DWORD Mask, const TLineSnapshot& Now);
    // Output was queued: the next moment the output is empty is an EV_TXEMPTY.
    void OutputQueued() { fOutputPending = true; }
    // The input queue was purged: Arrived bytes have come in all, possibly fewer than the last
    // look saw if some came and went with the purge.
    void InputPurged(std::uint64_t Arrived) { fArrived = std::min(fArrived, Arrived); }
    // The events of the mask that happened since they were last reported.
    DWORD Occurred(const TLineSnapshot& Now) const;
    // The events were reported: they count again from Now.
    void Reported(DWORD Events, const TLineSnapshot& Now);
    // How long a wait may sleep before the line must be looked at again when nothing wakes it, in
    // milliseconds; -1 when only a wake-up can bring news. Arriving bytes and finished writes
    // wake the wait; draining of the driver's queue and the counters are not announced.
    int PollInterval(const TLineSnapshot& Now) const;

private:
    DWORD fMask = 0;
    std::uint64_t fArrived = 0;
    bool fOutputPending = false;
    std::optional<TLineCounters> fCounters;
};

// The error bits of ClearCommError: what the counters grew by since the last call.
class TLineErrors {
public:
    // Counts from Now on; a line without counters never has error bits.
    void Reset(const std::optional<TLineCounters>& Now) { fCounters = Now; }
    // The CE_* bits since the last call, and counting again from Now.
    DWORD Take(const std::optional<TLineCounters>& Now);

private:
    std::optional<TLineCounters> fCounters;
};

} // namespace winapi::posix
