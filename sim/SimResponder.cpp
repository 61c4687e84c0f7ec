#include "SimResponder.h"

#include "UnitTypesPX4610.h"
#include "UnitUtils.h"

namespace sim {

namespace {
constexpr std::size_t ShortestFrame = 4; // address, function, CRC
constexpr std::uint8_t ExceptionFlag = 0x80;

std::uint16_t BigEndianAt(std::span<const std::uint8_t> Frame, std::size_t Offset) {
    return std::uint16_t((Frame[Offset] << 8) | Frame[Offset + 1]);
}
} // namespace

bool CRCValid(std::span<const std::uint8_t> Frame) {
    if (Frame.size() < 2)
        return false;
    const std::size_t last = Frame.size() - 1;
    const std::uint16_t crc = CalcCRC16(Frame, 0, std::int32_t(last) - 2);
    return Frame[last - 1] == std::uint8_t(crc) && Frame[last] == std::uint8_t(crc >> 8);
}

void AppendCRC(std::vector<std::uint8_t>& Frame) {
    const std::uint16_t crc = CalcCRC16(Frame, 0, std::int32_t(Frame.size()) - 1);
    Frame.push_back(std::uint8_t(crc));
    Frame.push_back(std::uint8_t(crc >> 8));
}

std::vector<std::uint8_t> ReadReply(std::uint8_t Slave, std::uint8_t Function,
                                    const std::vector<std::uint16_t>& Registers) {
    std::vector<std::uint8_t> reply{Slave, Function, std::uint8_t(2 * Registers.size())};
    for (std::uint16_t value : Registers) {
        reply.push_back(std::uint8_t(value >> 8));
        reply.push_back(std::uint8_t(value));
    }
    AppendCRC(reply);
    return reply;
}

std::vector<std::uint8_t> ExceptionReply(std::uint8_t Slave, std::uint8_t Function,
                                         std::uint8_t Code) {
    std::vector<std::uint8_t> reply{Slave, std::uint8_t(Function | ExceptionFlag), Code};
    AppendCRC(reply);
    return reply;
}

TResponse Respond(TBenchModel& Model, std::span<const std::uint8_t> Frame) {
    if (Frame.size() < ShortestFrame || !CRCValid(Frame))
        return {};
    const std::uint8_t slave = Frame[0];
    const std::uint8_t function = Frame[1];
    // A function with the exception bit set is a reply shape: an adapter that hears its own
    // transmission must not make the bench answer itself.
    if (!TBenchModel::Serves(slave) || (function & ExceptionFlag) != 0)
        return {};
    if (function != TBenchModel::Function(slave))
        return {TRequest{slave, function, 0, 0},
                ExceptionReply(slave, function, ExceptionIllegalFunction)};
    // A read request is always 8 bytes; any other length of a read is a broken or merged frame,
    // and so are the replies a slave itself sends (5 + 2n bytes), which must stay unanswered.
    if (Frame.size() != RequestFrameLength)
        return {};
    const TRequest request{slave, function, BigEndianAt(Frame, 2), BigEndianAt(Frame, 4)};
    const TReadResult result = Model.Read(slave, function, request.First, request.Count);
    if (result.Exception != 0)
        return {request, ExceptionReply(slave, function, result.Exception)};
    return {request, ReadReply(slave, function, result.Registers)};
}

} // namespace sim
