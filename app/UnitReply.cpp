#include "UnitReply.h"

#include "UnitUtils.h"

#include <algorithm>

namespace {

// The CRC over the frame's bytes before its last two, against the last two (low byte first).
bool FrameCRCValid(std::span<const std::uint8_t> Frame) {
    const std::size_t N = Frame.size();
    const std::uint16_t Received = std::uint16_t(Frame[N - 2] | (Frame[N - 1] << 8));
    return CalcCRC16(Frame, 0, std::int32_t(N) - 3) == Received;
}

std::uint8_t ExceptionFunction(std::uint8_t Function) {
    return std::uint8_t(Function | 0x80);
}

std::uint8_t ByteCount(const TReplyShape& Shape) {
    return std::uint8_t(Shape.Length - 5);
}

// What the candidate at the start of Rest (the bytes from its position on) is: a valid frame, a
// failure, or still open with Wanted more bytes to come.
struct TCandidate {
    bool Valid = false;
    // Could still become the reply once more bytes have come.
    bool Open = false;
    bool Settled = false;
    TReplyStatus Status = TReplyStatus::rsTimeout;
    std::uint8_t Code = 0;
    std::size_t Length = 0;
    std::size_t Wanted = 0;
};

// Any whole frame of Length bytes with a valid CRC: a reply meant for someone else.
bool SomeFrame(std::span<const std::uint8_t> Rest, std::size_t Length) {
    return Rest.size() >= Length && FrameCRCValid(Rest.first(Length));
}

TCandidate Judge(std::span<const std::uint8_t> Rest, const TReplyShape& Shape) {
    TCandidate C;
    if (Rest[0] != Shape.Slave) {
        C.Status = TReplyStatus::rsAddress;
        C.Settled = SomeFrame(Rest, Shape.Length) || SomeFrame(Rest, ExceptionReplyLength);
        return C;
    }
    if (Rest.size() < 2) {
        C.Open = true;
        C.Wanted = ExceptionReplyLength - Rest.size();
        return C;
    }
    if (Rest[1] == ExceptionFunction(Shape.Function)) {
        C.Length = ExceptionReplyLength;
        C.Status = TReplyStatus::rsCRC;
        if (Rest.size() < C.Length) {
            C.Status = TReplyStatus::rsLength;
            C.Open = true;
            C.Wanted = C.Length - Rest.size();
            return C;
        }
        C.Valid = FrameCRCValid(Rest.first(C.Length));
        C.Settled = true;
        if (C.Valid) {
            C.Status = TReplyStatus::rsException;
            C.Code = Rest[2];
        }
        return C;
    }
    if (Rest[1] != Shape.Function) {
        C.Status = TReplyStatus::rsFunction;
        C.Settled = SomeFrame(Rest, Shape.Length) || SomeFrame(Rest, ExceptionReplyLength);
        return C;
    }
    C.Length = Shape.Length;
    if (Rest.size() < 3) {
        C.Status = TReplyStatus::rsLength;
        C.Open = true;
        C.Wanted = C.Length - Rest.size();
        return C;
    }
    if (Rest[2] != ByteCount(Shape)) {
        C.Status = TReplyStatus::rsLength;
        C.Settled = true;
        return C;
    }
    if (Rest.size() < C.Length) {
        C.Status = TReplyStatus::rsLength;
        C.Open = true;
        C.Wanted = C.Length - Rest.size();
        return C;
    }
    C.Valid = FrameCRCValid(Rest.first(C.Length));
    C.Settled = true;
    C.Status = C.Valid ? TReplyStatus::rsOk : TReplyStatus::rsCRC;
    return C;
}

} // namespace

TReplyScan ScanReply(std::span<const std::uint8_t> Bytes, const TReplyShape& Shape) {
    TReplyScan Scan;
    if (Bytes.empty()) {
        Scan.Wanted = ExceptionReplyLength;
        return Scan;
    }
    for (std::size_t Offset = 0; Offset < Bytes.size(); ++Offset) {
        const TCandidate C = Judge(Bytes.subspan(Offset), Shape);
        if (Offset == 0) {
            Scan.Status = C.Status;
            Scan.Settled = C.Settled;
        }
        if (C.Valid) {
            Scan.Complete = true;
            Scan.Status = C.Status;
            Scan.ExceptionCode = C.Code;
            Scan.Offset = Offset;
            Scan.FrameLength = C.Length;
            Scan.Wanted = 0;
            return Scan;
        }
        // The nearest open candidate of ours decides how much more to read.
        if (C.Open) {
            Scan.Wanted = C.Wanted;
            // Later positions lie inside this candidate: judge them once its bytes have come.
            return Scan;
        }
    }
    // Nothing of ours has begun: at least the shortest frame must still come.
    Scan.Wanted = ExceptionReplyLength;
    return Scan;
}

std::string ReplyStatusText(TReplyStatus Status, std::uint8_t ExceptionCode) {
    switch (Status) {
    case TReplyStatus::rsOk:
        return "ok";
    case TReplyStatus::rsTimeout:
        return "timeout";
    case TReplyStatus::rsCRC:
        return "crc";
    case TReplyStatus::rsAddress:
        return "address";
    case TReplyStatus::rsFunction:
        return "function";
    case TReplyStatus::rsLength:
        return "length";
    case TReplyStatus::rsException:
        return "exception " + std::to_string(ExceptionCode);
    }
    return "timeout";
}
