#include "UnitAcquisition.h"

#include "UnitUtils.h"
#include "lxcomm.h"

#include <thread>

using namespace std::chrono_literals;

namespace {

using TClock = std::chrono::steady_clock;

// How often a wait for a reply looks at the input queue.
constexpr auto PollInterval = 2ms;
constexpr auto SequencePause = 100ms;

const QString SourceU3AC = QStringLiteral("三相调压");
const QString SourceI3AC = QStringLiteral("三相调流");
const QString Source1AC = QStringLiteral("单相调压");
const QString SourceUDC = QStringLiteral("直流调压");

// Raw value times the ratios, in 64 bits (see the header), times the scale.
double Scaled(std::uint32_t Raw, std::int64_t Ratios, double Scale) {
    return double(std::int64_t(Raw) * Ratios) * Scale;
}

QString PhasePrefix(const TRecord_3AC& Record, std::uint8_t Phase) {
    return PhaseFlag(Record, Phase) ? QStringLiteral("=") : QStringLiteral("~");
}

} // namespace

struct TAcquisition::TThreePhaseStyle {
    QString Prefix;       // "lbl_U_" or "lbl_I_"
    const char* Lines[3]; // the line voltages' label suffixes
    int CurrentDecimals;  // of Ia, Ib, Ic
    double PowerScale;    // of P, Q and S, times PT x CT
    int PowerDecimals;    // of P, Q and S
};

TAcquisition::TAcquisition(TlxCustomComm& Comm, TAcquisitionView& View, const QLocale& Locale)
    : fComm(Comm), fView(View), fDecimalPoint(Locale.decimalPoint()) {}

void TAcquisition::SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode,
                               std::uint16_t StartRegister, std::uint16_t RegisterCount) {
    const TRequestFrame Frame =
        BuildRequestFrame(Slave, FunctionCode, StartRegister, RegisterCount);
    if (fComm.Active()) {
        fComm.SendData(reinterpret_cast<const char*>(Frame.data()), quint32(Frame.size()));
    }
}

void TAcquisition::ReadU3AC_PTCT() {
    if (Exchange(TCommandType::ctU3AC_PTCT, 0ms, &FRecord_U3AC_PTCT, sizeof FRecord_U3AC_PTCT,
                 SourceU3AC) != TExchange::exReplied) {
        return;
    }
    FU3AC_PT = Swap16(FRecord_U3AC_PTCT.PT);
    FU3AC_CT = Swap16(FRecord_U3AC_PTCT.CT);
    fComm.ClearDeviceBuffers();
    AddLogLine(QStringLiteral("三相调压变比已读"));
}

void TAcquisition::ReadI3AC_PTCT() {
    for (int Reads = 1;; ++Reads) {
        if (Exchange(TCommandType::ctI3AC_PTCT, 50ms, &FRecord_I3AC_PTCT, sizeof FRecord_I3AC_PTCT,
                     SourceI3AC) != TExchange::exReplied) {
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

void TAcquisition::ReadU3AC() {
    if (Exchange(TCommandType::ctU3AC, 100ms, &FRecord_U3AC, sizeof FRecord_U3AC, SourceU3AC) !=
        TExchange::exReplied) {
        return;
    }
    DecodeRecord(FRecord_U3AC);
    static const TThreePhaseStyle Style{QStringLiteral("lbl_U_"), {"UAB", "UCA", "UBC"}, 3, 0.1, 1};
    ShowThreePhase(FRecord_U3AC, FU3AC_PT, FU3AC_CT, Style);
    AddLogLine(QStringLiteral("三相调压输出已更新"));
    fView.ProcessMessages();
}

void TAcquisition::ReadI3AC() {
    if (Exchange(TCommandType::ctI3AC, 100ms, &FRecord_I3AC, sizeof FRecord_I3AC, SourceI3AC) !=
        TExchange::exReplied) {
        return;
    }
    DecodeRecord(FRecord_I3AC);
    static const TThreePhaseStyle Style{
        QStringLiteral("lbl_I_"), {"Uab", "Uca", "Ubc"}, 2, 0.0001, 3};
    ShowThreePhase(FRecord_I3AC, FI3AC_PT, FI3AC_CT, Style);
    AddLogLine(QStringLiteral("三相调流输出已更新"));
    fView.ProcessMessages();
}

void TAcquisition::Read1AC() {
    if (Exchange(TCommandType::ct1AC, 60ms, &FRecord_1AC, sizeof FRecord_1AC, Source1AC) !=
        TExchange::exReplied) {
        return;
    }
    DecodeRecord(FRecord_1AC);
    const TRecord_1AC& R = FRecord_1AC;
    Show(QStringLiteral("lbl_U"), Scaled(R.U, 1, 0.001), 2);
    Show(QStringLiteral("lbl_I"), Scaled(R.I, 1, 0.001), 3);
    Show(QStringLiteral("lbl_P"), Scaled(R.P, 1, 0.001), 3);
    Show(QStringLiteral("lbl_Q"), Scaled(R.Q, 1, 0.001), 3);
    Show(QStringLiteral("lbl_S"), Scaled(R.S, 1, 0.001), 3);
    Show(QStringLiteral("lbl_PF"), Scaled(R.PF, 1, 0.001), 3);
    Show(QStringLiteral("lbl_Freq"), Scaled(R.Freq, 1, 0.001), 2);
    AddLogLine(QStringLiteral("单相调压输出已更新"));
    fView.ProcessMessages();
}

void TAcquisition::ReadUDC() {
    if (Exchange(TCommandType::ctUDC, 50ms, &FRecord_UDC, sizeof FRecord_UDC, SourceUDC) !=
        TExchange::exReplied) {
        return;
    }
    DecodeRecord(FRecord_UDC);
    Show(QStringLiteral("lbl_UDC"), double(FRecord_UDC.singleU), 1);
    AddLogLine(QStringLiteral("直流调压输出已更新"));
    fView.ProcessMessages();
}

void TAcquisition::AddLogLine(const QString& Text) {
    if (fView.LogLineCount() > MaxLogLines) {
        fView.ClearLog();
    }
    fView.AppendLogLine(Text);
}

void TAcquisition::ReadRatios() {
    ReadU3AC_PTCT();
    std::this_thread::sleep_for(SequencePause);
    ReadI3AC_PTCT();
}

void TAcquisition::ReadAll() {
    ReadU3AC();
    std::this_thread::sleep_for(SequencePause);
    ReadI3AC();
    std::this_thread::sleep_for(SequencePause);
    Read1AC();
    std::this_thread::sleep_for(SequencePause);
    ReadUDC();
}

TAcquisition::TExchange TAcquisition::Exchange(TCommandType Command, std::chrono::milliseconds Wait,
                                               void* Record, std::size_t Length,
                                               const QString& Source) {
    const TCommandRequest Request = *CommandRequest(Command);
    SendRequest(Request.Slave, Request.Function, Request.FirstRegister, Request.RegisterCount);
    std::this_thread::sleep_for(Wait);
    const TExchange Result = AwaitReply(Length);
    if (Result == TExchange::exTimedOut) {
        fComm.ClearDeviceInput();
        AddLogLine(QStringLiteral("%1应答超时").arg(Source));
        return Result;
    }
    if (Result == TExchange::exReplied) {
        fComm.Read(Record, quint32(Length));
        // A port lost during the read leaves the record part old, part new.
        if (!fComm.Active()) {
            return TExchange::exClosed;
        }
    }
    return Result;
}

TAcquisition::TExchange TAcquisition::AwaitReply(std::size_t Length) {
    const auto Deadline = TClock::now() + fReplyTimeout;
    for (;;) {
        if (!fComm.Active()) {
            return TExchange::exClosed;
        }
        if (fComm.ReadyForRead() >= Length) {
            return TExchange::exReplied;
        }
        if (TClock::now() >= Deadline) {
            return TExchange::exTimedOut;
        }
        std::this_thread::sleep_for(PollInterval);
    }
}

void TAcquisition::ShowThreePhase(const TRecord_3AC& R, std::uint16_t PT, std::uint16_t CT,
                                  const TThreePhaseStyle& Style) {
    const auto Label = [&Style](const char* Quantity) {
        return Style.Prefix + QLatin1String(Quantity);
    };
    const std::int64_t Power = std::int64_t(PT) * CT;
    Show(Label("Ua"), Scaled(R.Ua, PT, 0.1), 1);
    Show(Label("Ub"), Scaled(R.Ub, PT, 0.1), 1);
    Show(Label("Uc"), Scaled(R.Uc, PT, 0.1), 1);
    Show(Label(Style.Lines[0]), Scaled(R.UAB, PT, 0.1), 1);
    Show(Label(Style.Lines[1]), Scaled(R.UCA, PT, 0.1), 1);
    Show(Label(Style.Lines[2]), Scaled(R.UBC, PT, 0.1), 1);
    Show(Label("Ia"), Scaled(R.Ia, CT, 0.001), Style.CurrentDecimals);
    Show(Label("Ib"), Scaled(R.Ib, CT, 0.001), Style.CurrentDecimals);
    Show(Label("Ic"), Scaled(R.Ic, CT, 0.001), Style.CurrentDecimals);
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
        const QString Prefix = PhasePrefix(R, Phase);
        Show(Label(Row.P), Scaled(Row.PValue, Power, Style.PowerScale), Style.PowerDecimals,
             Prefix);
        Show(Label(Row.Q), Scaled(Row.QValue, Power, Style.PowerScale), Style.PowerDecimals,
             Prefix);
        Show(Label(Row.S), Scaled(Row.SValue, Power, Style.PowerScale), Style.PowerDecimals,
             Prefix);
    }
    Show(Label("PFa"), Scaled(R.PFa, 1, 0.001), 3);
    Show(Label("PFb"), Scaled(R.PFb, 1, 0.001), 3);
    Show(Label("PFc"), Scaled(R.PFc, 1, 0.001), 3);
    Show(Label("Freq"), Scaled(R.Freq, 1, 0.01), 2);
}

void TAcquisition::Show(const QString& Name, double Value, int Decimals, const QString& Prefix) {
    fView.SetLabelText(Name, Prefix + FormatFixed(Value, Decimals));
}

QString TAcquisition::FormatFixed(double Value, int Decimals) const {
    QString Text = QString::number(Value, 'f', Decimals);
    return Text.replace(QLatin1Char('.'), fDecimalPoint);
}
