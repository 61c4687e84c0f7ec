#include "SimFaults.h"

#include "SimError.h"

#include <charconv>

namespace sim {

namespace {

struct TKindName {
    std::string_view Name;
    TFaultKind Kind;
    bool TakesAmount;
    bool NeedsAmount;
};

constexpr TKindName KindNames[] = {
    {"silent", TFaultKind::fkSilent, false, false},
    {"bad-crc", TFaultKind::fkBadCRC, false, false},
    {"short", TFaultKind::fkShort, false, false},
    {"garbage", TFaultKind::fkGarbage, true, false},
    {"wrong-address", TFaultKind::fkWrongAddress, false, false},
    {"ct-zero", TFaultKind::fkCTZero, true, true},
    {"slow", TFaultKind::fkSlow, true, true},
    {"hangup", TFaultKind::fkHangUp, true, true},
};

constexpr std::uint32_t DefaultGarbageBytes = 4;
constexpr std::uint8_t GarbagePattern[] = {0xA5, 0x5A, 0xFF, 0x00};
constexpr std::uint16_t CTRegister = 3;

std::optional<std::uint32_t> Number(std::string_view Text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(Text.data(), Text.data() + Text.size(), value);
    if (error != std::errc() || end != Text.data() + Text.size() || Text.empty())
        return std::nullopt;
    return value;
}

void RenewCRC(std::vector<std::uint8_t>& Reply) {
    Reply.resize(Reply.size() - 2);
    AppendCRC(Reply);
}

} // namespace

TFault ParseFault(std::string_view Text) {
    const auto fail = [&](const std::string& Why) {
        return TSimError("bad fault '" + std::string(Text) + "': " + Why);
    };
    const auto colon = Text.find(':');
    const auto slave = Number(Text.substr(0, colon));
    if (colon == std::string_view::npos || !slave || *slave < 1 || *slave > 4)
        throw fail("expected S:KIND or S:KIND:N with a slave S from 1 to 4");
    std::string_view kind = Text.substr(colon + 1);
    std::optional<std::uint32_t> amount;
    if (const auto second = kind.find(':'); second != std::string_view::npos) {
        amount = Number(kind.substr(second + 1));
        if (!amount)
            throw fail("N must be a whole number");
        kind = kind.substr(0, second);
    }
    for (const TKindName& entry : KindNames) {
        if (entry.Name != kind)
            continue;
        if (amount && !entry.TakesAmount)
            throw fail(std::string(kind) + " takes no number");
        if (!amount && entry.NeedsAmount)
            throw fail(std::string(kind) + " needs a number, as in " + std::string(kind) + ":3");
        if (entry.Kind == TFaultKind::fkCTZero && *slave > 2)
            throw fail("only slaves 1 and 2 have a CT ratio");
        return {std::uint8_t(*slave), entry.Kind,
                amount.value_or(entry.Kind == TFaultKind::fkGarbage ? DefaultGarbageBytes : 0)};
    }
    throw fail("unknown kind '" + std::string(kind) +
               "' (silent, bad-crc, short, garbage, wrong-address, ct-zero, slow, hangup)");
}

void TFaultPlan::Add(const TFault& Fault) {
    TSlaveFaults& faults = fSlaves[Fault.Slave - 1];
    switch (Fault.Kind) {
    case TFaultKind::fkSilent:
        faults.Silent = true;
        break;
    case TFaultKind::fkBadCRC:
        faults.BadCRC = true;
        break;
    case TFaultKind::fkShort:
        faults.Short = true;
        break;
    case TFaultKind::fkGarbage:
        faults.GarbageBytes = Fault.Amount;
        break;
    case TFaultKind::fkWrongAddress:
        faults.WrongAddress = true;
        break;
    case TFaultKind::fkCTZero:
        faults.CTZeroReads = Fault.Amount;
        break;
    case TFaultKind::fkSlow:
        faults.Slow = std::chrono::milliseconds(Fault.Amount);
        break;
    case TFaultKind::fkHangUp:
        faults.HangUpAfter = Fault.Amount;
        break;
    }
}

void TFaultPlan::ZeroCT(TSlaveFaults& Faults, const TRequest& Request,
                        std::vector<std::uint8_t>& Reply) {
    const bool readsCT = Request.First <= CTRegister && CTRegister < Request.First + Request.Count;
    const bool isReadReply = Reply.size() > 3 && Reply[1] == Request.Function;
    if (!Faults.CTZeroReads || !readsCT || !isReadReply)
        return;
    if (++Faults.RatioReads > *Faults.CTZeroReads)
        return;
    const std::size_t offset = 3 + 2 * std::size_t(CTRegister - Request.First);
    Reply[offset] = 0;
    Reply[offset + 1] = 0;
    RenewCRC(Reply);
}

TDelivery TFaultPlan::Shape(const TRequest& Request, std::vector<std::uint8_t> Reply) {
    TSlaveFaults& faults = fSlaves[Request.Slave - 1];
    ++faults.Requests;
    TDelivery delivery;
    delivery.HangUp = faults.HangUpAfter && faults.Requests >= *faults.HangUpAfter;
    // A line that should already have gone down answers nothing more.
    if (faults.Silent || (faults.HangUpAfter && faults.Requests > *faults.HangUpAfter))
        return delivery;
    ZeroCT(faults, Request, Reply);
    if (faults.WrongAddress) {
        Reply[0] = std::uint8_t(Request.Slave % 4 + 1);
        RenewCRC(Reply);
    }
    if (faults.BadCRC) {
        Reply[Reply.size() - 2] ^= 0xFF;
        Reply[Reply.size() - 1] ^= 0xFF;
    }
    if (faults.Short)
        Reply.resize(Reply.size() / 2);
    for (std::uint32_t i = 0; i < faults.GarbageBytes; ++i)
        Reply.push_back(GarbagePattern[i % std::size(GarbagePattern)]);
    delivery.Bytes = std::move(Reply);
    delivery.Delay = faults.Slow;
    return delivery;
}

} // namespace sim
