#include "commevents.h"

namespace winapi::posix {

namespace {

constexpr DWORD CounterEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | EV_BREAK | EV_ERR;

// While the driver empties its queue, EV_TXEMPTY is looked for every millisecond: about one byte
// time at 9600 baud, so that a caller switching RTS for RS-485 releases the line promptly.
constexpr int DrainPollMs = 1;
// Modem lines and line errors are not announced by the terminal; their counters are read this
// often while a wait asks for them.
constexpr int CounterPollMs = 10;

DWORD Changed(std::uint32_t Then, std::uint32_t Now, DWORD Bit) {
    return Then != Now ? Bit : 0;
}

DWORD CounterEventsBetween(const TLineCounters& Then, const TLineCounters& Now) {
    DWORD Events = Changed(Then.Cts, Now.Cts, EV_CTS);
    Events |= Changed(Then.Dsr, Now.Dsr, EV_DSR);
    Events |= Changed(Then.Dcd, Now.Dcd, EV_RLSD);
    Events |= Changed(Then.Rng, Now.Rng, EV_RING);
    Events |= Changed(Then.Break, Now.Break, EV_BREAK);
    // The line-status errors of EV_ERR are framing, overrun and parity errors.
    Events |= Changed(Then.Frame, Now.Frame, EV_ERR);
    Events |= Changed(Then.Overrun, Now.Overrun, EV_ERR);
    Events |= Changed(Then.Parity, Now.Parity, EV_ERR);
    return Events;
}

} // namespace

void TCommEvents::SetMask(DWORD Mask, const TLineSnapshot& Now) {
    fMask = Mask;
    fArrived = Now.Arrived;
    fOutputPending = !Now.OutputEmpty();
    fCounters = Now.Counters;
}

DWORD TCommEvents::Occurred(const TLineSnapshot& Now) const {
    DWORD Events = Now.Arrived > fArrived ? EV_RXCHAR : 0;
    Events |= fOutputPending && Now.OutputEmpty() ? EV_TXEMPTY : 0;
    if (fCounters && Now.Counters) {
        Events |= CounterEventsBetween(*fCounters, *Now.Counters);
    }
    return Events & fMask;
}

void TCommEvents::Reported(DWORD Events, const TLineSnapshot& Now) {
    fArrived = Now.Arrived;
    fCounters = Now.Counters;
    if ((Events & EV_TXEMPTY) != 0) {
        fOutputPending = false;
    }
}

int TCommEvents::PollInterval(const TLineSnapshot& Now) const {
    if ((fMask & EV_TXEMPTY) != 0 && fOutputPending && Now.Queued == 0 && Now.DriverSending) {
        return DrainPollMs;
    }
    if ((fMask & CounterEvents) != 0 && Now.Counters) {
        return CounterPollMs;
    }
    return -1;
}

DWORD TLineErrors::Take(const std::optional<TLineCounters>& Now) {
    DWORD Errors = 0;
    if (fCounters && Now) {
        Errors |= Changed(fCounters->BufferOverrun, Now->BufferOverrun, CE_RXOVER);
        Errors |= Changed(fCounters->Overrun, Now->Overrun, CE_OVERRUN);
        Errors |= Changed(fCounters->Parity, Now->Parity, CE_RXPARITY);
        Errors |= Changed(fCounters->Frame, Now->Frame, CE_FRAME);
        Errors |= Changed(fCounters->Break, Now->Break, CE_BREAK);
    }
    fCounters = Now;
    return Errors;
}

} // namespace winapi::posix
