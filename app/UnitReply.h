// The check of a source's reply before anything of it is shown: a reply counts only when its
// address, function, byte count and CRC are those its request asks for. An exception reply
// (function | 0x80, a code, the CRC: 5 bytes) is recognised as soon as it is in.
//
// The line may carry bytes that are not the reply: the tail of an earlier source's late reply, or
// stray bytes. So the scan looks for the reply at every position of what has come, and a valid
// frame anywhere is taken. What went wrong is judged by what stands at the first position, since
// that is what the source sent in answer when nothing else was on the line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

enum class TReplyStatus : std::uint8_t {
    rsOk,
    rsTimeout,   // nothing came
    rsCRC,       // our address, function and byte count, but the CRC does not match
    rsAddress,   // another slave's address
    rsFunction,  // another function
    rsLength,    // a wrong byte count, a reply cut short, or bytes after the reply
    rsException, // the slave refused the request with an exception code
};

// What a reply of one request must look like.
struct TReplyShape {
    std::uint8_t Slave;
    std::uint8_t Function;
    std::size_t Length; // the whole normal reply, 5 + 2 x registers
};

struct TReplyScan {
    // A valid frame was found (a normal reply or an exception reply).
    bool Complete = false;
    TReplyStatus Status = TReplyStatus::rsTimeout;
    std::uint8_t ExceptionCode = 0;
    // Where the frame found begins, and its length.
    std::size_t Offset = 0;
    std::size_t FrameLength = 0;
    // The first position holds a whole frame that is not the reply, or our reply's header with a
    // wrong byte count: nothing more is needed to judge, unless more bytes follow.
    bool Settled = false;
    // How many more bytes would complete the closest candidate (at least 1 unless Complete).
    std::size_t Wanted = 0;
};

constexpr std::size_t ExceptionReplyLength = 5;

// Scans Bytes for the reply of Shape. When nothing valid is found, Status says what stands at the
// first position (rsTimeout for no bytes at all).
TReplyScan ScanReply(std::span<const std::uint8_t> Bytes, const TReplyShape& Shape);

// "ok", "timeout", "crc", "address", "function", "length", "exception N".
std::string ReplyStatusText(TReplyStatus Status, std::uint8_t ExceptionCode);
