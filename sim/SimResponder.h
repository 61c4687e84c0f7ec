// The bench's side of the protocol: one received frame in, the reply bytes out. No I/O and no
// timing, so it can be driven from tests and fuzzers directly.
#pragma once

#include "SimModel.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim {

struct TRequest {
    std::uint8_t Slave = 0;
    std::uint8_t Function = 0;
    std::uint16_t First = 0; // 0 for a function the slave does not know
    std::uint16_t Count = 0;
};

struct TResponse {
    // Set for every frame that one of the bench's slaves takes as addressed to it, also when the
    // answer is an exception: the fault plan counts these.
    std::optional<TRequest> Request;
    std::vector<std::uint8_t> Reply; // empty: the line stays silent
};

// As the slaves on an RS-485 bus do: a frame with a wrong CRC, one for another address, and one
// that is not a read request (a reply heard back on the line, a truncated read) get no answer; a
// read gets its registers or an exception (function | 0x80, code).
TResponse Respond(TBenchModel& Model, std::span<const std::uint8_t> Frame);

bool CRCValid(std::span<const std::uint8_t> Frame);
// Appends the CRC-16 of Frame, low byte first.
void AppendCRC(std::vector<std::uint8_t>& Frame);

std::vector<std::uint8_t> ReadReply(std::uint8_t Slave, std::uint8_t Function,
                                    const std::vector<std::uint16_t>& Registers);
std::vector<std::uint8_t> ExceptionReply(std::uint8_t Slave, std::uint8_t Function,
                                         std::uint8_t Code);

} // namespace sim
