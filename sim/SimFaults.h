// Faults on demand, per slave: what the other end of the line sees when a source misbehaves.
// The plan reshapes each reply the responder built and tells the line when to send it and
// whether to hang up afterwards.
#pragma once

#include "SimResponder.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

enum class TFaultKind {
    fkSilent,       // no reply at all
    fkBadCRC,       // the reply's CRC bytes inverted
    fkShort,        // only the first half of the reply
    fkGarbage,      // Amount stray bytes right after the reply
    fkWrongAddress, // the reply names the next slave (with a CRC that matches)
    fkCTZero,       // CT reads as 0 in the first Amount ratio replies
    fkSlow,         // the reply leaves Amount ms after the request instead of the turnaround
    fkHangUp,       // Amount requests are answered, then the line hangs up
};

struct TFault {
    std::uint8_t Slave = 0;
    TFaultKind Kind = TFaultKind::fkSilent;
    std::uint32_t Amount = 0;
};

// "S:kind" or "S:kind:N", as given on the command line; throws TSimError with a readable text.
TFault ParseFault(std::string_view Text);

// The reply as it is to go out, after the faults.
struct TDelivery {
    std::vector<std::uint8_t> Bytes;
    std::optional<std::chrono::milliseconds> Delay; // instead of the line's turnaround
    bool HangUp = false;                            // after Bytes have left
};

class TFaultPlan {
public:
    void Add(const TFault& Fault);
    // Takes the responder's reply to Request and counts the request against the slave's faults.
    TDelivery Shape(const TRequest& Request, std::vector<std::uint8_t> Reply);

private:
    struct TSlaveFaults {
        bool Silent = false, BadCRC = false, Short = false, WrongAddress = false;
        std::uint32_t GarbageBytes = 0;
        std::optional<std::uint32_t> CTZeroReads;
        std::optional<std::chrono::milliseconds> Slow;
        std::optional<std::uint32_t> HangUpAfter;
        std::uint32_t Requests = 0;
        std::uint32_t RatioReads = 0;
    };

    void ZeroCT(TSlaveFaults& Faults, const TRequest& Request, std::vector<std::uint8_t>& Reply);

    std::array<TSlaveFaults, 4> fSlaves{};
};

} // namespace sim
