#include "UnitAcquisition.h"

#include "UnitBenchComm.h"
#include "UnitUtils.h"

#include <cstring>

using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

constexpr auto SequencePause = 100ms;

const QString SourceU3AC = QStringLiteral("三相调压");
const QString SourceI3AC = QStringLiteral("三相调流");
const QString Source1AC = QStringLiteral("单相调压");
const QString SourceUDC = QStringLiteral("直流调压");

// Raw value times the ratios, in 64 bits (see the header), times the scale.
double Scaled(std::uint32_t Raw, std::int64_t Ratios, double Scale) {
    return double(std::int64_t(Raw) * Ratios) * Scale;
}

void Add(TSourceResult& Result, const QString& Name, double Value, int Decimals, QChar Flag = {}) {
    Result.Values.push_back(TShownValue{Name, Value, Decimals, Flag});
}

} // namespace

QString RejectedLogLine(const QString& Source, TReplyStatus Status, std::uint8_t ExceptionCode) {
    switch (Status) {
    case TReplyStatus::rsCRC:
        return QStringLiteral("%1应答 CRC 错误").arg(Source);
    case TReplyStatus::rsAddress:
        return QStringLiteral("%1应答地址错误").arg(Source);
    case TReplyStatus::rsFunction:
        return QStringLiteral("%1应答功能码错误").arg(Source);
    case TReplyStatus::rsLength:
        return QStringLiteral("%1应答长度错误").arg(Source);
    case TReplyStatus::rsException:
        return QStringLiteral("%1应答异常码 %2").arg(Source).arg(ExceptionCode);
    case TReplyStatus::rsOk:
    case TReplyStatus::rsTimeout:
        break;
    }
    return QStringLiteral("%1应答超时").arg(Source);
}

struct TAcquisition::TThreePhaseStyle {
    QString Prefix;       // "lbl_U_" or "lbl_I_"
    const char* Lines[3]; // the line voltages' label suffixes
    int CurrentDecimals;  // of Ia, Ib, Ic
    double PowerScale;    // of P, Q and S, times PT x CT
    int PowerDecimals;    // of P, Q and S
};

TAcquisition::TAcquisition(TBenchComm& Comm, TAcquisitionView& View, TWaitMode Waits)
    : fComm(Comm), fView(View), fWaits(Waits), fFrameGap(FrameGap(Comm.BaudRate())) {}

void TAcquisition::SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode,
                               std::uint16_t StartRegister, std::uint16_t RegisterCount) {
    const TRequestFrame Frame =
        BuildRequestFrame(Slave, FunctionCode, StartRegister, RegisterCount);
    if (fComm.Active()) {
        fComm.SendData(reinterpret_cast<const char*>(Frame.data()), quint32(Frame.size()));
    }
}

void TAcquisition::ReadU3AC_PTCT() {
    if (!Exchange(TCommandType::ctU3AC_PTCT, 0ms, &FRecord_U3AC_PTCT, sizeof FRecord_U3AC_PTCT,
                  SourceU3AC)
             .Passed()) {
        return;
    }
    FU3AC_PT = Swap16(FRecord_U3AC_PTCT.PT);
    FU3AC_CT = Swap16(FRecord_U3AC_PTCT.CT);
    fComm.ClearDeviceBuffers();
    AddLogLine(QStringLiteral("三相调压变比已读"));
}

void TAcquisition::ReadI3AC_PTCT() {
    for (int Reads = 1;; ++Reads) {
        if (!Exchange(TCommandType::ctI3AC_PTCT, 50ms, &FRecord_I3AC_PTCT, sizeof FRecord_I3AC_PTCT,
                      SourceI3AC)
                 .Passed()) {
            return;
        }
        FI3AC_PT = Swap16(FRecord_I3AC_PTCT.PT);
        FI3AC_CT = Swap16(FRecord_I3AC_PTCT.CT);
        if (FI3AC_PT != 0 && FI3AC_CT != 0) {
            AddLogLine(QStringLiteral("三相调流变比已读"));
            return;
        }
        if (Reads == MaxRatioReads) {
            AddLogLine(QStringLiteral("三相调流变比为 0，未能读出"));
            return;
        }
    }
}

std::optional<TSourceResult> TAcquisition::ReadU3AC() {
    const TExchangeEnd End =
        Exchange(TCommandType::ctU3AC, 100ms, &FRecord_U3AC, sizeof FRecord_U3AC, SourceU3AC);
    std::optional<TSourceResult> Result = Finish(TSource::srU3AC, End);
    if (End.Passed()) {
        DecodeRecord(FRecord_U3AC);
        static const TThreePhaseStyle Style{
            QStringLiteral("lbl_U_"), {"UAB", "UCA", "UBC"}, 3, 0.1, 1};
        ShowThreePhase(FRecord_U3AC, FU3AC_PT, FU3AC_CT, Style, *Result);
    }
    if (Result) {
        fView.ShowSource(*Result);
    }
    if (End.Passed()) {
        AddLogLine(QStringLiteral("三相调压输出已更新"));
    }
    return Result;
}

std::optional<TSourceResult> TAcquisition::ReadI3AC() {
    const TExchangeEnd End =
        Exchange(TCommandType::ctI3AC, 100ms, &FRecord_I3AC, sizeof FRecord_I3AC, SourceI3AC);
    std::optional<TSourceResult> Result = Finish(TSource::srI3AC, End);
    if (End.Passed()) {
        DecodeRecord(FRecord_I3AC);
        static const TThreePhaseStyle Style{
            QStringLiteral("lbl_I_"), {"Uab", "Uca", "Ubc"}, 2, 0.0001, 3};
        ShowThreePhase(FRecord_I3AC, FI3AC_PT, FI3AC_CT, Style, *Result);
    }
    if (Result) {
        fView.ShowSource(*Result);
    }
    if (End.Passed()) {
        AddLogLine(QStringLiteral("三相调流输出已更新"));
    }
    return Result;
}

std::optional<TSourceResult> TAcquisition::Read1AC() {
    const TExchangeEnd End =
        Exchange(TCommandType::ct1AC, 60ms, &FRecord_1AC, sizeof FRecord_1AC, Source1AC);
    std::optional<TSourceResult> Result = Finish(TSource::sr1AC, End);
    if (End.Passed()) {
        DecodeRecord(FRecord_1AC);
        const TRecord_1AC& R = FRecord_1AC;
        Add(*Result, QStringLiteral("lbl_U"), Scaled(R.U, 1, 0.001), 2);
        Add(*Result, QStringLiteral("lbl_I"), Scaled(R.I, 1, 0.001), 3);
        Add(*Result, QStringLiteral("lbl_P"), Scaled(R.P, 1, 0.001), 3);
        Add(*Result, QStringLiteral("lbl_Q"), Scaled(R.Q, 1, 0.001), 3);
        Add(*Result, QStringLiteral("lbl_S"), Scaled(R.S, 1, 0.001), 3);
        Add(*Result, QStringLiteral("lbl_PF"), Scaled(R.PF, 1, 0.001), 3);
        Add(*Result, QStringLiteral("lbl_Freq"), Scaled(R.Freq, 1, 0.001), 2);
    }
    if (Result) {
        fView.ShowSource(*Result);
    }
    if (End.Passed()) {
        AddLogLine(QStringLiteral("单相调压输出已更新"));
    }
    return Result;
}

std::optional<TSourceResult> TAcquisition::ReadUDC() {
    const TExchangeEnd End =
        Exchange(TCommandType::ctUDC, 50ms, &FRecord_UDC, sizeof FRecord_UDC, SourceUDC);
    std::optional<TSourceResult> Result = Finish(TSource::srUDC, End);
    if (End.Passed()) {
        DecodeRecord(FRecord_UDC);
        Add(*Result, QStringLiteral("lbl_UDC"), double(FRecord_UDC.singleU), 1);
    }
    if (Result) {
        fView.ShowSource(*Result);
    }
    if (End.Passed()) {
        AddLogLine(QStringLiteral("直流调压输出已更新"));
    }
    return Result;
}

void TAcquisition::ReadRatios() {
    ReadU3AC_PTCT();
    if (Pause(SequencePause)) {
        ReadI3AC_PTCT();
    }
}

std::optional<TRefreshResult> TAcquisition::ReadAll() {
    // A switch, not a table of member pointers: g++'s bounds check misreads such a table.
    const auto ReadSource = [this](std::size_t Source) -> std::optional<TSourceResult> {
        switch (Source) {
        case 0: return ReadU3AC();
        case 1: return ReadI3AC();
        case 2: return Read1AC();
        default: return ReadUDC();
        }
    };
    TRefreshResult Refresh;
    Refresh.Time = QDateTime::currentDateTime();
    for (std::size_t Source = 0; Source < SourceCount; ++Source) {
        if (Source > 0 && !Pause(SequencePause)) {
            return std::nullopt;
        }
        std::optional<TSourceResult> Result = ReadSource(Source);
        if (!Result) {
            return std::nullopt;
        }
        Refresh.Sources[Source] = std::move(*Result);
    }
    return Refresh;
}

void TAcquisition::RequestStop() {
    {
        std::lock_guard Lock(fStopLock);
        fStop = true;
    }
    fStopped.notify_all();
}

void TAcquisition::BeginSequence() {
    std::lock_guard Lock(fStopLock);
    fStop = false;
    fFrameGap = FrameGap(fComm.BaudRate());
}

TAcquisition::TExchangeEnd TAcquisition::Exchange(TCommandType Command,
                                                  std::chrono::milliseconds Wait, void* Record,
                                                  std::size_t Length, const QString& Source) {
    const TCommandRequest Request = *CommandRequest(Command);
    if (fStop || !fComm.Active()) {
        return {true};
    }
    // Whatever is still on its way from an earlier exchange is not this request's reply.
    fComm.ClearDeviceInput();
    SendRequest(Request.Slave, Request.Function, Request.FirstRegister, Request.RegisterCount);
    if (!Pause(Wait)) {
        return {true};
    }
    std::vector<std::uint8_t> Bytes;
    const TReplyScan Scan = AwaitReply({Request.Slave, Request.Function, Length}, Bytes);
    // A port lost or closed meanwhile leaves no verdict: the next sequence reports the port.
    if (!fComm.Active()) {
        return {true};
    }
    const TExchangeEnd End{false, Scan.Status, Scan.ExceptionCode};
    if (End.Passed()) {
        std::memcpy(Record, Bytes.data() + Scan.Offset, Length);
    } else {
        AddLogLine(RejectedLogLine(Source, End.Status, End.ExceptionCode));
    }
    return End;
}

TReplyScan TAcquisition::AwaitReply(const TReplyShape& Shape, std::vector<std::uint8_t>& Bytes) {
    const auto Deadline = TClock::now() + fReplyTimeout;
    // First look: all that came during the fixed wait, so bytes behind the reply are seen too.
    ReadMore(Bytes, fComm.ReadyForRead(), 0ms);
    bool FirstLook = true;
    for (;;) {
        TReplyScan Scan = ScanReply(Bytes, Shape);
        if (Scan.Complete) {
            if (Scan.Status == TReplyStatus::rsOk && BytesFollow(Scan, Bytes.size(), FirstLook)) {
                Scan.Status = TReplyStatus::rsLength;
            }
            return Scan;
        }
        FirstLook = false;
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - TClock::now());
        if (!fComm.Active() || Left <= 0ms) {
            return Scan;
        }
        // A settled frame only waits to see whether the line stays quiet behind it.
        const auto Within = Scan.Settled ? std::min(Left, fFrameGap) : Left;
        if (ReadMore(Bytes, Scan.Wanted, Within) == 0 && Scan.Settled) {
            return Scan;
        }
    }
}

bool TAcquisition::BytesFollow(const TReplyScan& Scan, std::size_t Received, bool AllAtFirstLook) {
    if (Received > Scan.Offset + Scan.FrameLength) {
        return true;
    }
    if (AllAtFirstLook) {
        // The whole reply came during the fixed wait: bytes right behind it are in by now.
        return fComm.ReadyForRead() > 0;
    }
    std::uint8_t Next = 0;
    return fComm.ReadWithin(&Next, 1, fFrameGap) > 0;
}

quint32 TAcquisition::ReadMore(std::vector<std::uint8_t>& Bytes, std::size_t Count,
                               std::chrono::milliseconds Within) {
    if (Count == 0) {
        return 0;
    }
    const std::size_t Had = Bytes.size();
    Bytes.resize(Had + Count);
    const quint32 Got = fComm.ReadWithin(Bytes.data() + Had, quint32(Count), Within);
    Bytes.resize(Had + Got);
    return Got;
}

std::optional<TSourceResult> TAcquisition::Finish(TSource Source, const TExchangeEnd& End) {
    if (End.Ended) {
        return std::nullopt;
    }
    TSourceResult Result;
    Result.Source = Source;
    Result.Status = End.Status;
    Result.ExceptionCode = End.ExceptionCode;
    return Result;
}

void TAcquisition::ShowThreePhase(const TRecord_3AC& R, std::uint16_t PT, std::uint16_t CT,
                                  const TThreePhaseStyle& Style, TSourceResult& Result) {
    const auto Label = [&Style](const char* Quantity) {
        return Style.Prefix + QLatin1String(Quantity);
    };
    const std::int64_t Power = std::int64_t(PT) * CT;
    Add(Result, Label("Ua"), Scaled(R.Ua, PT, 0.1), 1);
    Add(Result, Label("Ub"), Scaled(R.Ub, PT, 0.1), 1);
    Add(Result, Label("Uc"), Scaled(R.Uc, PT, 0.1), 1);
    Add(Result, Label(Style.Lines[0]), Scaled(R.UAB, PT, 0.1), 1);
    Add(Result, Label(Style.Lines[1]), Scaled(R.UCA, PT, 0.1), 1);
    Add(Result, Label(Style.Lines[2]), Scaled(R.UBC, PT, 0.1), 1);
    Add(Result, Label("Ia"), Scaled(R.Ia, CT, 0.001), Style.CurrentDecimals);
    Add(Result, Label("Ib"), Scaled(R.Ib, CT, 0.001), Style.CurrentDecimals);
    Add(Result, Label("Ic"), Scaled(R.Ic, CT, 0.001), Style.CurrentDecimals);
    const struct {
        const char* P;
        const char* Q;
        const char* S;
        std::uint16_t PValue, QValue, SValue;
    } Phases[3] = {{"Pa", "Qa", "Sa", R.Pa, R.Qa, R.Sa},
                   {"Pb", "Qb", "Sb", R.Pb, R.Qb, R.Sb},
                   {"Pc", "Qc", "Sc", R.Pc, R.Qc, R.Sc}};
    for (std::uint8_t Phase = 1; Phase <= 3; ++Phase) {
        const auto& Row = Phases[Phase - 1];
        const bool Flag = PhaseFlag(R, Phase);
        Result.PhaseFlags[Phase - 1] = Flag;
        const QChar Prefix = Flag ? QLatin1Char('=') : QLatin1Char('~');
        const auto Power3 = [&](const char* Name, std::uint16_t Raw) {
            Add(Result, Label(Name), Scaled(Raw, Power, Style.PowerScale), Style.PowerDecimals,
                Prefix);
        };
        Power3(Row.P, Row.PValue);
        Power3(Row.Q, Row.QValue);
        Power3(Row.S, Row.SValue);
    }
    Add(Result, Label("PFa"), Scaled(R.PFa, 1, 0.001), 3);
    Add(Result, Label("PFb"), Scaled(R.PFb, 1, 0.001), 3);
    Add(Result, Label("PFc"), Scaled(R.PFc, 1, 0.001), 3);
    Add(Result, Label("Freq"), Scaled(R.Freq, 1, 0.01), 2);
}

bool TAcquisition::Pause(std::chrono::milliseconds Wait) {
    if (fWaits == TWaitMode::wmFast || Wait <= 0ms) {
        return !fStop;
    }
    std::unique_lock Lock(fStopLock);
    return !fStopped.wait_for(Lock, Wait, [this] { return fStop.load(); });
}

std::chrono::milliseconds TAcquisition::FrameGap(quint32 BaudRate) {
    // 3.5 characters of 10 bits each.
    const auto Gap =
        std::chrono::milliseconds((35000 + BaudRate - 1) / std::max<quint32>(BaudRate, 1));
    return std::max(Gap, 2ms);
}
