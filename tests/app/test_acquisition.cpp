// The acquisition against the bench simulator on a real pseudo-terminal, through the serial
// component set up as the panel sets it up. The simulator's values are frozen (each phase its
// own), so every label text is exact; the view records what the acquisition hands it.
#include "SimPeer.h"
#include "UnitAcquisition.h"
#include "UnitBenchComm.h"
#include "UnitUtils.h"
#include "pty.h"

#include <QStringList>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <optional>
#include <thread>

// Label texts in failure messages.
void PrintTo(const QString& Text, std::ostream* Stream) {
    *Stream << '"' << Text.toStdString() << '"';
}

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

class TRecordingView : public TAcquisitionView {
public:
    void ShowSource(const TSourceResult& Result) override {
        Results.push_back(Result);
        for (const TShownValue& Value : Result.Values) {
            Labels[Value.Name] = ShownText(Value, QLatin1Char('.'));
        }
    }
    void AddLogLine(const QString& Text) override { Log.append(Text); }

    std::vector<TSourceResult> Results;
    std::map<QString, QString> Labels;
    QStringList Log;
};

// Frozen, with phase B of the current source leading.
sim::TBenchSettings FrozenBench() {
    sim::TBenchSettings Bench;
    Bench.Frozen = true;
    Bench.Sources[1].LeadingPhases = 0x40;
    return Bench;
}

// The labels of the frozen bench at its default ratios: phase b a little more voltage and less
// current, phase c the other way round.
const std::map<QString, QString> FrozenU3AC{
    {"lbl_U_Ua", "220.0"},  {"lbl_U_Ub", "220.4"},  {"lbl_U_Uc", "219.6"},  {"lbl_U_UAB", "381.4"},
    {"lbl_U_UCA", "380.7"}, {"lbl_U_UBC", "381.1"}, {"lbl_U_Ia", "5.000"},  {"lbl_U_Ib", "4.980"},
    {"lbl_U_Ic", "5.020"},  {"lbl_U_Pa", "~1.0"},   {"lbl_U_Qa", "~0.3"},   {"lbl_U_Sa", "~1.1"},
    {"lbl_U_Pb", "~1.0"},   {"lbl_U_Qb", "~0.3"},   {"lbl_U_Sb", "~1.1"},   {"lbl_U_Pc", "~1.0"},
    {"lbl_U_Qc", "~0.4"},   {"lbl_U_Sc", "~1.1"},   {"lbl_U_PFa", "0.950"}, {"lbl_U_PFb", "0.954"},
    {"lbl_U_PFc", "0.946"}, {"lbl_U_Freq", "50.00"}};
// Phase B leading.
const std::map<QString, QString> FrozenI3AC{
    {"lbl_I_Ua", "220.0"},  {"lbl_I_Ub", "220.4"},  {"lbl_I_Uc", "219.6"},  {"lbl_I_Uab", "381.4"},
    {"lbl_I_Uca", "380.7"}, {"lbl_I_Ubc", "381.1"}, {"lbl_I_Ia", "10.00"},  {"lbl_I_Ib", "9.96"},
    {"lbl_I_Ic", "10.04"},  {"lbl_I_Pa", "~2.090"}, {"lbl_I_Qa", "~0.687"}, {"lbl_I_Sa", "~2.200"},
    {"lbl_I_Pb", "=2.095"}, {"lbl_I_Qb", "=0.658"}, {"lbl_I_Sb", "=2.196"}, {"lbl_I_Pc", "~2.085"},
    {"lbl_I_Qc", "~0.715"}, {"lbl_I_Sc", "~2.204"}, {"lbl_I_PFa", "0.950"}, {"lbl_I_PFb", "0.954"},
    {"lbl_I_PFc", "0.946"}, {"lbl_I_Freq", "50.00"}};
// The single-phase source (220 V, 5 A, 0.95) and the DC source (220 V).
const std::map<QString, QString> Frozen1AC{
    {"lbl_U", "220.00"}, {"lbl_I", "5.000"},  {"lbl_P", "1.045"},   {"lbl_Q", "0.343"},
    {"lbl_S", "1.100"},  {"lbl_PF", "0.950"}, {"lbl_Freq", "50.00"}};
const std::map<QString, QString> FrozenUDC{{"lbl_UDC", "220.0"}};

std::map<QString, QString> Merged(std::initializer_list<const std::map<QString, QString>*> Maps) {
    std::map<QString, QString> All;
    for (const auto* Map : Maps) {
        All.insert(Map->begin(), Map->end());
    }
    return All;
}

std::unique_ptr<TBenchComm> PanelComm() {
    auto Comm = std::make_unique<TBenchComm>();
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
    return Comm;
}

// The simulator as COM1 and the panel's port open on it.
class Acquisition : public ::testing::Test {
protected:
    void Start(const sim::TBenchSettings& Bench, sim::TFaultPlan Faults = {},
               const sim::TLineSettings& Line = simtest::FastLine()) {
        Core.reset();
        Comm.reset();
        Simulator.reset();
        View = {};
        Simulator.emplace(Bench, Line, std::move(Faults));
        Folder.Unlink("COM1");
        Folder.Link("COM1", Simulator->Path());
        Comm = PanelComm();
        Comm->SetActive(true);
        ASSERT_TRUE(Comm->Active());
        Core = std::make_unique<TAcquisition>(*Comm, View);
    }
    int RequestsSent() const { return int(Comm->TotalSent() / RequestFrameLength); }

    lxtest::TPortFolder Folder;
    std::optional<simtest::TRunningSimulator> Simulator;
    std::unique_ptr<TBenchComm> Comm;
    TRecordingView View;
    std::unique_ptr<TAcquisition> Core;
};

TEST_F(Acquisition, ConnectAndRefreshShowEverySourceInTheLogsOrder) {
    Start(FrozenBench());

    Core->ReadRatios();
    EXPECT_EQ(Core->FU3AC_PT, 1);
    EXPECT_EQ(Core->FU3AC_CT, 1);
    EXPECT_EQ(Core->FI3AC_PT, 1);
    EXPECT_EQ(Core->FI3AC_CT, 10);
    const std::optional<TRefreshResult> Refresh = Core->ReadAll();

    EXPECT_EQ(View.Log,
              QStringList({"三相调压变比已读", "三相调流变比已读", "三相调压输出已更新",
                           "三相调流输出已更新", "单相调压输出已更新", "直流调压输出已更新"}));
    EXPECT_EQ(View.Labels, Merged({&FrozenU3AC, &FrozenI3AC, &Frozen1AC, &FrozenUDC}));
    ASSERT_TRUE(Refresh);
    for (const TSourceResult& Result : Refresh->Sources) {
        EXPECT_TRUE(Result.Ok()) << int(Result.Source);
    }
    EXPECT_EQ(Refresh->Sources[1].PhaseFlags, (std::array<bool, 3>{false, true, false}));
    EXPECT_EQ(Refresh->Sources[0].Values.size(), 22u);
    EXPECT_EQ(Refresh->Sources[2].Values.size(), 7u);
}

// PT x CT of 10^7 with a raw apparent power of 220: the product passes 2^31, which a 32-bit
// multiplication would wrap to a negative reading.
TEST_F(Acquisition, LargeRatiosScaleWithoutOverflow) {
    sim::TBenchSettings Bench = FrozenBench();
    Bench.Sources[0] = sim::TSourceSettings{1000, 10000, 1.0e6, 2.2e5, 0.95, 0};
    Start(Bench);

    Core->ReadRatios();
    ASSERT_EQ(Core->FU3AC_PT, 1000);
    ASSERT_EQ(Core->FU3AC_CT, 10000);
    Core->ReadU3AC();
    EXPECT_EQ(View.Labels["lbl_U_Ua"], "1000000.0");
    EXPECT_EQ(View.Labels["lbl_U_Ia"], "220000.000");
    EXPECT_EQ(View.Labels["lbl_U_Sa"], "~220000000.0");
    EXPECT_EQ(View.Labels["lbl_U_Pa"], "~209000000.0");
    EXPECT_EQ(View.Labels["lbl_U_PFa"], "0.950");
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
        Start(FrozenBench(), simtest::PlanOf({Case.Fault}));
        Core->ReadI3AC_PTCT();
        EXPECT_EQ(RequestsSent(), Case.Requests);
        EXPECT_EQ(Core->FI3AC_PT, 1);
        EXPECT_EQ(Core->FI3AC_CT, Case.CT);
        EXPECT_EQ(View.Log, QStringList({Case.Line}));
    }
}

// One source at fault at a time, on a line paced like the real one: the faulty source's
// result carries the reason, its labels are not touched, one log line names it, and every other
// source shows exactly what it shows on a clean line. A late reply is never taken for the next
// source's, and the ratios stay as read.
TEST_F(Acquisition, AFaultySourceIsRejectedWithItsReasonAndTheOthersStayExact) {
    struct TCase {
        const char* Fault;
        std::size_t Source;
        const char* Status;
        const char* Line;
    };
    const TCase Cases[] = {
        {"1:garbage:1", 0, "length", "三相调压应答长度错误"},
        {"2:bad-crc", 1, "crc", "三相调流应答 CRC 错误"},
        {"1:slow:1150", 0, "timeout", "三相调压应答超时"},
        {"3:wrong-address", 2, "address", "单相调压应答地址错误"},
        {"4:short", 3, "length", "直流调压应答长度错误"},
        {"3:silent", 2, "timeout", "单相调压应答超时"},
    };
    const std::map<QString, QString>* Labels[] = {&FrozenU3AC, &FrozenI3AC, &Frozen1AC, &FrozenUDC};
    const char* Updated[] = {"三相调压输出已更新", "三相调流输出已更新", "单相调压输出已更新",
                             "直流调压输出已更新"};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Fault);
        Start(FrozenBench(), simtest::PlanOf({Case.Fault}), sim::TLineSettings{});
        Core->FU3AC_PT = 1;
        Core->FU3AC_CT = 1;
        Core->FI3AC_PT = 1;
        Core->FI3AC_CT = 10;
        // Twice: the second refresh shows that the first left nothing on the line behind it.
        for (int Refresh = 0; Refresh < 2; ++Refresh) {
            View = {};
            const std::optional<TRefreshResult> Result = Core->ReadAll();
            ASSERT_TRUE(Result);
            QStringList Log;
            std::map<QString, QString> Expected;
            for (std::size_t Source = 0; Source < SourceCount; ++Source) {
                const TSourceResult& R = Result->Sources[Source];
                if (Source == Case.Source) {
                    EXPECT_EQ(R.StatusText(), Case.Status);
                    EXPECT_TRUE(R.Values.empty());
                    Log << Case.Line;
                } else {
                    EXPECT_EQ(R.StatusText(), "ok") << Source;
                    Expected.insert(Labels[Source]->begin(), Labels[Source]->end());
                    Log << Updated[Source];
                }
            }
            EXPECT_EQ(View.Labels, Expected);
            EXPECT_EQ(View.Log, Log);
        }
        EXPECT_EQ(Core->FI3AC_CT, 10);
    }
}

// Slave 1's ratio reply comes after the bound: it is not taken as slave 2's, whose ratios are
// read as they are.
TEST_F(Acquisition, ALateRatioReplyIsNotTakenForTheNextSources) {
    Start(FrozenBench(), simtest::PlanOf({"1:slow:1150"}), sim::TLineSettings{});
    Core->ReadRatios();
    EXPECT_EQ(View.Log, QStringList({"三相调压应答超时", "三相调流变比已读"}));
    EXPECT_EQ(Core->FU3AC_PT, 0);
    EXPECT_EQ(Core->FI3AC_PT, 1);
    EXPECT_EQ(Core->FI3AC_CT, 10);
}

// A slave that refuses with an exception: the read ends as soon as the 5 bytes are in, not at
// the bound.
TEST(AcquisitionException, AnExceptionReplyEndsTheReadAtOnce) {
    lxtest::TPortFolder Folder;
    lxtest::TPtyPair Line;
    Folder.Link("COM1", Line.SlavePath());
    std::unique_ptr<TBenchComm> Comm = PanelComm();
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    TRecordingView View;
    TAcquisition Core(*Comm, View);
    Core.SetReplyTimeout(10s);
    std::thread Slave([&Line] {
        if (Line.Read(RequestFrameLength).size() == RequestFrameLength) {
            const std::vector<std::uint8_t> Reply{4, 0x83, 2};
            const std::uint16_t Crc = CalcCRC16(Reply, 0, 2);
            const char Bytes[] = {4, char(0x83), 2, char(Crc & 0xFF), char(Crc >> 8)};
            Line.Write(std::string_view(Bytes, sizeof Bytes));
        }
    });
    const auto Begin = TClock::now();
    const std::optional<TSourceResult> Result = Core.ReadUDC();
    const auto Took = TClock::now() - Begin;
    Slave.join();
    ASSERT_TRUE(Result);
    EXPECT_EQ(Result->StatusText(), "exception 2");
    EXPECT_LT(Took, 5s);
    EXPECT_EQ(View.Log, QStringList({"直流调压应答异常码 2"}));
}

// Without the fixed waits a refresh is its four exchanges back to back.
TEST_F(Acquisition, FastWaitsReadTheSourcesBackToBack) {
    Start(FrozenBench());
    Core->SetWaits(TWaitMode::wmFast);
    Core->ReadRatios();
    const auto Begin = TClock::now();
    const std::optional<TRefreshResult> Refresh = Core->ReadAll();
    EXPECT_LT(TClock::now() - Begin, 400ms) << "the fixed waits alone add up to 610 ms";
    ASSERT_TRUE(Refresh);
    for (const TSourceResult& Result : Refresh->Sources) {
        EXPECT_TRUE(Result.Ok()) << int(Result.Source);
    }
    EXPECT_EQ(View.Labels, Merged({&FrozenU3AC, &FrozenI3AC, &Frozen1AC, &FrozenUDC}));
}

// A stop asked for from another thread ends the refresh at its next wait, without a result.
TEST_F(Acquisition, AStopEndsTheRefreshAtItsNextWait) {
    Start(FrozenBench(), simtest::PlanOf({"1:silent"}));
    std::thread Stopper([this] {
        std::this_thread::sleep_for(50ms);
        Core->RequestStop();
    });
    const auto Begin = TClock::now();
    const std::optional<TRefreshResult> Refresh = Core->ReadAll();
    Stopper.join();
    EXPECT_FALSE(Refresh);
    EXPECT_LT(TClock::now() - Begin, TAcquisition::DefaultReplyTimeout + 1s);
    EXPECT_EQ(RequestsSent(), 1) << "nothing sent after the stop";
    Core->BeginSequence();
    EXPECT_FALSE(Core->StopRequested());
}

// The line goes down at the request (an unplugged adapter): the component closes the port on its
// own thread, and the read ends without waiting out its bound (long here, so that a slow machine
// finds the loss well within it), without a verdict and without a log line.
TEST_F(Acquisition, APortLostBeforeTheReplyEndsTheReadQuietly) {
    Start(FrozenBench(), simtest::PlanOf({"4:hangup:0"}));
    Core->SetReplyTimeout(10s);
    const auto Begin = TClock::now();
    EXPECT_FALSE(Core->ReadUDC());
    EXPECT_LT(TClock::now() - Begin, 5s);
    EXPECT_FALSE(Comm->Active());
    EXPECT_TRUE(View.Log.isEmpty());
    EXPECT_TRUE(View.Labels.empty());
}

} // namespace
