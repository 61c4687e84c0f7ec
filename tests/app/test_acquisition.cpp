// The acquisition against the bench simulator on a real pseudo-terminal, through the serial
// component set up as the panel sets it up. The simulator's values are frozen, so every label
// text is exact; the view records what the acquisition shows.
#include "SimPeer.h"
#include "UnitAcquisition.h"
#include "UnitMain.h"
#include "lxcomm.h"
#include "pty.h"

#include <QLocale>
#include <QStringList>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class TRecordingView : public TAcquisitionView {
public:
    void SetLabelText(const QString& Name, const QString& Text) override { Labels[Name] = Text; }
    int LogLineCount() const override { return int(Log.size()); }
    void ClearLog() override { Log.clear(); }
    void AppendLogLine(const QString& Text) override { Log.append(Text); }
    void ProcessMessages() override { ++Processed; }

    std::map<QString, QString> Labels;
    QStringList Log;
    int Processed = 0;
};

sim::TBenchSettings FrozenBench() {
    sim::TBenchSettings Bench;
    Bench.Frozen = true;
    return Bench;
}

// The simulator as COM1 and the panel's port open on it.
class Acquisition : public ::testing::Test {
protected:
    void Start(const sim::TBenchSettings& Bench, sim::TFaultPlan Faults = {},
               const QLocale& Locale = QLocale::c()) {
        Simulator.emplace(Bench, simtest::FastLine(), std::move(Faults));
        Folder.Unlink("COM1");
        Folder.Link("COM1", Simulator->Path());
        Comm = std::make_unique<TlxComm>();
        Comm->SetBaudRate(9600);
        Comm->SetByteSize(8);
        Comm->SetParity(pNone);
        Comm->SetStopBits(sbOne);
        Comm->SetStreamProtocol(spHardware);
        Comm->SetBufferInSize(1024);
        Comm->SetBufferOutSize(1024);
        Comm->SetTimeoutRead(0);
        Comm->SetTimeoutWrite(0);
        Comm->SetRS485Mode(true);
        Comm->SetUseMainThread(false);
        Comm->SetComPortNo(1);
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
        Core = std::make_unique<TAcquisition>(*Comm, View, Locale);
    }
    int RequestsSent() const { return int(Comm->TotalSent() / RequestFrameLength); }

    lxtest::TPortFolder Folder;
    std::optional<simtest::TRunningSimulator> Simulator;
    std::unique_ptr<TlxComm> Comm;
    TRecordingView View;
    std::unique_ptr<TAcquisition> Core;
};

TEST_F(Acquisition, ConnectAndRefreshShowEverySourceInTheLogsOrder) {
    sim::TBenchSettings Bench = FrozenBench();
    Bench.Sources[1].LeadingPhases = 0x40; // phase B of the current source
    Start(Bench);

    Core->ReadRatios();
    EXPECT_EQ(Core->FU3AC_PT, 1);
    EXPECT_EQ(Core->FU3AC_CT, 1);
    EXPECT_EQ(Core->FI3AC_PT, 1);
    EXPECT_EQ(Core->FI3AC_CT, 10);
    Core->ReadAll();

    EXPECT_EQ(View.Log,
              QStringList({"三相调压变比已读", "三相调流变比已读", "三相调压输出已更新",
                           "三相调流输出已更新", "单相调压输出已更新", "直流调压输出已更新"}));
    EXPECT_EQ(View.Processed, 4) << "each source read handles the pending messages once";
    const std::map<QString, QString> Expected{
        // Voltage source at PT 1, CT 1: 220 V, 5 A, power factor 0.95, 50 Hz.
        {"lbl_U_Ua", "220.0"},
        {"lbl_U_Ub", "220.0"},
        {"lbl_U_Uc", "220.0"},
        {"lbl_U_UAB", "381.1"},
        {"lbl_U_UCA", "381.1"},
        {"lbl_U_UBC", "381.1"},
        {"lbl_U_Ia", "5.000"},
        {"lbl_U_Ib", "5.000"},
        {"lbl_U_Ic", "5.000"},
        {"lbl_U_Pa", "~1.0"},
        {"lbl_U_Qa", "~0.3"},
        {"lbl_U_Sa", "~1.1"},
        {"lbl_U_Pb", "~1.0"},
        {"lbl_U_Qb", "~0.3"},
        {"lbl_U_Sb", "~1.1"},
        {"lbl_U_Pc", "~1.0"},
        {"lbl_U_Qc", "~0.3"},
        {"lbl_U_Sc", "~1.1"},
        {"lbl_U_PFa", "0.950"},
        {"lbl_U_PFb", "0.950"},
        {"lbl_U_PFc", "0.950"},
        {"lbl_U_Freq", "50.00"},
        // Current source at PT 1, CT 10: 220 V, 10 A, phase B leading.
        {"lbl_I_Ua", "220.0"},
        {"lbl_I_Ub", "220.0"},
        {"lbl_I_Uc", "220.0"},
        {"lbl_I_Uab", "381.1"},
        {"lbl_I_Uca", "381.1"},
        {"lbl_I_Ubc", "381.1"},
        {"lbl_I_Ia", "10.00"},
        {"lbl_I_Ib", "10.00"},
        {"lbl_I_Ic", "10.00"},
        {"lbl_I_Pa", "~2.090"},
        {"lbl_I_Qa", "~0.687"},
        {"lbl_I_Sa", "~2.200"},
        {"lbl_I_Pb", "=2.090"},
        {"lbl_I_Qb", "=0.687"},
        {"lbl_I_Sb", "=2.200"},
        {"lbl_I_Pc", "~2.090"},
        {"lbl_I_Qc", "~0.687"},
        {"lbl_I_Sc", "~2.200"},
        {"lbl_I_PFa", "0.950"},
        {"lbl_I_PFb", "0.950"},
        {"lbl_I_PFc", "0.950"},
        {"lbl_I_Freq", "50.00"},
        // Single-phase source: 220 V, 5 A, 0.95; DC source 220 V.
        {"lbl_U", "220.00"},
        {"lbl_I", "5.000"},
        {"lbl_P", "1.045"},
        {"lbl_Q", "0.343"},
        {"lbl_S", "1.100"},
        {"lbl_PF", "0.950"},
        {"lbl_Freq", "50.00"},
        {"lbl_UDC", "220.0"}};
    EXPECT_EQ(View.Labels, Expected);
}

// PT x CT of 10^7 with a raw apparent power of 220: the product passes 2^31, which a 32-bit
// multiplication would wrap to a negative reading. A German locale's decimal comma, and no
// group separators.
TEST_F(Acquisition, LargeRatiosScaleWithoutOverflowInTheUsersDecimalSeparator) {
    sim::TBenchSettings Bench = FrozenBench();
    Bench.Sources[0] = sim::TSourceSettings{1000, 10000, 1.0e6, 2.2e5, 0.95, 0};
    Start(Bench, {}, QLocale(QLocale::German, QLocale::Germany));

    Core->ReadRatios();
    ASSERT_EQ(Core->FU3AC_PT, 1000);
    ASSERT_EQ(Core->FU3AC_CT, 10000);
    Core->ReadU3AC();
    EXPECT_EQ(View.Labels["lbl_U_Ua"], "1000000,0");
    EXPECT_EQ(View.Labels["lbl_U_Ia"], "220000,000");
    EXPECT_EQ(View.Labels["lbl_U_Sa"], "~220000000,0");
    EXPECT_EQ(View.Labels["lbl_U_Pa"], "~209000000,0");
    EXPECT_EQ(View.Labels["lbl_U_PFa"], "0,950");
}

// The current source answers CT = 0 in its first N ratio replies: the read repeats with a new
// request each time, up to its bound, and logs once.
TEST_F(Acquisition, CurrentRatiosAreReadAgainWhileCTIsZeroUpToABound) {
    struct TCase {
        const char* Fault;
        int Requests;
        std::uint16_t CT;
        const char* Line;
    };
    const TCase Cases[] = {
        {"2:ct-zero:2", 3, 10, "三相调流变比已读"},
        {"2:ct-zero:100", TAcquisition::MaxRatioReads, 0, "三相调流变比为 0，未能读出"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Fault);
        Core.reset();
        Comm.reset();
        Simulator.reset();
        View = {};
        Start(FrozenBench(), simtest::PlanOf({Case.Fault}));
        Core->ReadI3AC_PTCT();
        EXPECT_EQ(RequestsSent(), Case.Requests);
        EXPECT_EQ(Core->FI3AC_PT, 1);
        EXPECT_EQ(Core->FI3AC_CT, Case.CT);
        EXPECT_EQ(View.Log, QStringList({Case.Line}));
    }
}

// A source that stays silent and one that answers half its reply: each read gives up after its
// bound, leaves its labels alone, logs the source, empties the input queue, and the sequence goes
// on to the next source; the exchanges after it are whole again.
TEST_F(Acquisition, ASilentOrShortSourceEndsItsReadAfterTheBound) {
    Start(FrozenBench(), simtest::PlanOf({"3:silent", "4:short"}));
    Core->ReadRatios();
    View.Log.clear();

    const auto Begin = TClock::now();
    Core->ReadAll();
    const auto Took = TClock::now() - Begin;
    EXPECT_LT(Took, 2 * TAcquisition::DefaultReplyTimeout + 3s);
    EXPECT_EQ(View.Log, QStringList({"三相调压输出已更新", "三相调流输出已更新", "单相调压应答超时",
                                     "直流调压应答超时"}));
    for (const char* Label : {"lbl_U", "lbl_I", "lbl_PF", "lbl_Freq", "lbl_UDC"}) {
        EXPECT_EQ(View.Labels.count(Label), 0u) << Label;
    }
    EXPECT_EQ(Comm->ReadyForRead(), 0u) << "the short reply's bytes are gone";

    View.Labels.clear();
    Core->ReadU3AC();
    EXPECT_EQ(View.Labels["lbl_U_Ua"], "220.0");
    EXPECT_EQ(View.Log.last(), "三相调压输出已更新");
}

// The line goes down at the request (an unplugged adapter): the component closes the port on its
// own thread, and the read ends without waiting out its bound (long here, so that a slow machine
// finds the loss well within it) and without a log line.
TEST_F(Acquisition, APortLostBeforeTheReplyEndsTheReadQuietly) {
    Start(FrozenBench(), simtest::PlanOf({"4:hangup:0"}));
    Core->SetReplyTimeout(10s);
    const auto Begin = TClock::now();
    Core->ReadUDC();
    EXPECT_LT(TClock::now() - Begin, 5s);
    EXPECT_FALSE(Comm->Active());
    EXPECT_TRUE(View.Log.isEmpty());
    EXPECT_TRUE(View.Labels.empty());
}

TEST(AcquisitionLog, MoreThanAThousandLinesAreClearedBeforeTheNextOne) {
    TlxComm Closed;
    TRecordingView View;
    TAcquisition Core(Closed, View);
    for (int i = 0; i < TAcquisition::MaxLogLines; ++i) {
        View.AppendLogLine(QString::number(i));
    }
    Core.AddLogLine("a");
    EXPECT_EQ(View.LogLineCount(), 1001);
    Core.AddLogLine("b");
    EXPECT_EQ(View.Log, QStringList({"b"}));
}

} // namespace
