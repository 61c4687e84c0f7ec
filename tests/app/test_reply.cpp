// The reply check on byte strings: what passes, what is rejected and why, and how many bytes the
// check still waits for.
#include "UnitReply.h"
#include "UnitUtils.h"

#include <gtest/gtest.h>
#include <vector>

namespace {

using TBytes = std::vector<std::uint8_t>;

// Bytes plus their CRC, low byte first.
TBytes Framed(TBytes Bytes) {
    const std::uint16_t Crc = CalcCRC16(Bytes, 0, std::int32_t(Bytes.size()) - 1);
    Bytes.push_back(std::uint8_t(Crc));
    Bytes.push_back(std::uint8_t(Crc >> 8));
    return Bytes;
}

TBytes Join(TBytes A, const TBytes& B) {
    A.insert(A.end(), B.begin(), B.end());
    return A;
}

// The DC source's reply: slave 4, function 3, two registers.
const TReplyShape Shape{4, 3, 9};
const TBytes Reply = Framed({4, 3, 4, 0x43, 0x5C, 0x00, 0x00});

TBytes Corrupt(TBytes Bytes, std::size_t At) {
    Bytes[At] ^= 0xFF;
    return Bytes;
}

TEST(ReplyScan, JudgesWhatCameAgainstTheRequest) {
    struct TCase {
        const char* Name;
        TBytes Bytes;
        bool Complete;
        TReplyStatus Status;
        bool Settled;
        std::size_t Offset;
        std::size_t Wanted;
    };
    const TBytes Late = Framed({1, 4, 4, 0, 1, 0, 10}); // slave 1's ratio reply, late
    const TCase Cases[] = {
        {"the reply", Reply, true, TReplyStatus::rsOk, true, 0, 0},
        {"nothing", {}, false, TReplyStatus::rsTimeout, false, 0, 5},
        {"the first half", TBytes(Reply.begin(), Reply.begin() + 4), false, TReplyStatus::rsLength,
         false, 0, 5},
        {"a bad CRC", Corrupt(Reply, 7), false, TReplyStatus::rsCRC, true, 0, 5},
        {"a data byte changed", Corrupt(Reply, 4), false, TReplyStatus::rsCRC, true, 0, 5},
        {"a wrong byte count", Framed({4, 3, 6, 0x43, 0x5C, 0x00, 0x00, 0, 0}), false,
         TReplyStatus::rsLength, true, 0, 5},
        {"another slave's whole reply", Framed({1, 3, 4, 0x43, 0x5C, 0x00, 0x00}), false,
         TReplyStatus::rsAddress, true, 0, 5},
        {"another function's whole reply", Framed({4, 4, 4, 0x43, 0x5C, 0x00, 0x00}), false,
         TReplyStatus::rsFunction, true, 0, 5},
        {"a stray byte, then the reply", Join({0xA5}, Reply), true, TReplyStatus::rsOk, false, 1,
         0},
        {"a late reply of another source, then the reply", Join(Late, Reply), true,
         TReplyStatus::rsOk, true, 9, 0},
        {"a late reply's tail, then half the reply", Join({0, 10, 0x33, 0x12}, {4, 3, 4}), false,
         TReplyStatus::rsAddress, false, 4, 6},
        {"an exception reply", Framed({4, 0x83, 2}), true, TReplyStatus::rsException, true, 0, 0},
        {"an exception reply's first 4 bytes",
         {4, 0x83, 2, 0xC1},
         false,
         TReplyStatus::rsLength,
         false,
         0,
         1},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        const TReplyScan Scan = ScanReply(Case.Bytes, Shape);
        EXPECT_EQ(Scan.Complete, Case.Complete);
        EXPECT_EQ(Scan.Status, Case.Status);
        EXPECT_EQ(Scan.Settled, Case.Settled);
        if (Case.Complete) {
            EXPECT_EQ(Scan.Offset, Case.Offset);
        } else {
            EXPECT_EQ(Scan.Wanted, Case.Wanted);
        }
    }
}

TEST(ReplyScan, AnExceptionReplyCarriesItsCode) {
    const TReplyScan Scan = ScanReply(Framed({4, 0x83, 2}), Shape);
    ASSERT_TRUE(Scan.Complete);
    EXPECT_EQ(Scan.ExceptionCode, 2);
    EXPECT_EQ(Scan.FrameLength, ExceptionReplyLength);
    EXPECT_EQ(ReplyStatusText(Scan.Status, Scan.ExceptionCode), "exception 2");
}

TEST(ReplyScan, StatusTexts) {
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsOk, 0), "ok");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsTimeout, 0), "timeout");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsCRC, 0), "crc");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsAddress, 0), "address");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsFunction, 0), "function");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsLength, 0), "length");
    EXPECT_EQ(ReplyStatusText(TReplyStatus::rsException, 11), "exception 11");
}

} // namespace
