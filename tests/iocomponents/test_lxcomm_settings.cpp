// The serial component's settings: the DCB it builds, what it reads back, when the settings reach
// the port, the receive buffer and RS-485 direction control. Against the fake OS, which records
// what reaches the port; the line settings on a real terminal are in test_lxcomm_open.cpp.
#include "fake_winapi.h"
#include "testcomm.h"

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

using lxtest::TFakeApi;
using lxtest::TTestComm;
using winapi::DWORD;

constexpr char16_t PortPath[] = u"\\\\?\\COM3";

class CommSettings : public ::testing::Test {
protected:
    CommSettings() : fSaved(winapi::SetApi(&Fake)) { Fake.AddDevice(PortPath); }
    ~CommSettings() override {
        Comm.reset();
        winapi::SetApi(fSaved);
    }

    TTestComm& MakeComm() {
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM3"));
        return *Comm;
    }
    // The calls of the given operations, in order.
    std::vector<std::string> CallsOf(const std::vector<std::string>& Operations) const {
        std::vector<std::string> Names;
        for (const lxtest::TFakeCall& Call : Fake.Calls()) {
            for (const std::string& Operation : Operations) {
                if (Call.Operation == Operation) {
                    Names.push_back(Call.Operation);
                }
            }
        }
        return Names;
    }

    TFakeApi Fake;
    std::unique_ptr<TTestComm> Comm;

private:
    winapi::TWinApi* fSaved;
};

TEST_F(CommSettings, NewComponentHoldsItsDefaults) {
    TTestComm& C = MakeComm();
    EXPECT_EQ(C.BufferInSize(), 8192);
    EXPECT_EQ(C.BufferOutSize(), 8192);
    EXPECT_EQ(C.TimeoutRead(), 0u);
    EXPECT_EQ(C.TimeoutWrite(), 0u);
    EXPECT_FALSE(C.RS485Mode());
    EXPECT_TRUE(C.UseMainThread());
    EXPECT_FALSE(C.KeepConnection());
    EXPECT_FALSE(C.Active());
    EXPECT_TRUE(C.TraceStates().Empty());
    EXPECT_EQ(C.TotalSent(), 0u);
    EXPECT_EQ(C.TotalReceived(), 0u);
    EXPECT_EQ(C.CommCfg.dwSize, 52u);
    EXPECT_EQ(C.CommCfg.dcb.DCBlength, 28u);
    EXPECT_EQ(C.TlxCustomComm::GetComName(), QStringLiteral("Unknown"));
}

TEST_F(CommSettings, ByteSizeOutsideFourToEightIsStoredAsEight) {
    TTestComm& C = MakeComm();
    const std::pair<quint8, quint8> Cases[] = {{3, 8}, {9, 8}, {0, 8}, {4, 4}, {7, 7}, {8, 8}};
    for (const auto& [Written, Stored] : Cases) {
        C.SetByteSize(Written);
        EXPECT_EQ(C.ByteSize(), Stored) << "written " << int(Written);
    }
}

TEST_F(CommSettings, ParityOtherThanNoneSetsTheParityFlag) {
    TTestComm& C = MakeComm();
    for (const TParity Parity : {pOdd, pEven, pMark, pSpace}) {
        C.SetParity(Parity);
        EXPECT_EQ(C.CommCfg.dcb.Parity, Parity);
        EXPECT_EQ(C.CommCfg.dcb.Flags & winapi::DCB_fParity, winapi::DCB_fParity);
    }
    C.SetParity(pNone);
    EXPECT_EQ(C.CommCfg.dcb.Flags & winapi::DCB_fParity, 0u);
}

TEST_F(CommSettings, EventCharKeepsTheLowByte) {
    TTestComm& C = MakeComm();
    C.SetEventChar(u'\u0141'); // 0x141
    EXPECT_EQ(C.EventChar(), 0x41);
    EXPECT_EQ(C.CommCfg.dcb.EvtChar, 0x41);
    C.SetEventChar(0xE9);
    EXPECT_EQ(C.EventChar(), 0xE9) << "a byte above 127 reads back unsigned";
}

struct TDcbCase {
    DWORD Before;
    bool RS485;
    TStreamProtocol Protocol;
    DWORD After;
};

TEST_F(CommSettings, ApplyDcbKeepsTheUncontrolledBitsAndAddsTheModeBits) {
    const TDcbCase Cases[] = {
        {0, false, spNone, 0x1011},
        {0, false, spXonXoff, 0x1311},
        {0, false, spHardware, 0x2015},
        // RS-485 wins over any flow control: no CTS flow, no XON/XOFF.
        {0, true, spNone, 0x3011},
        {0, true, spXonXoff, 0x3011},
        {0, true, spHardware, 0x3011},
        // Everything set: the kept bits stay, the flow-control bits are rebuilt.
        {0xFFFFFFFF, false, spNone, 0x4CEA | 0x1011},
        {0xFFFFFFFF, true, spHardware, 0x4CEA | 0x3011},
        // DTR handshake keeps its upper bit; the lower bit comes with every mode.
        {0x0020, false, spNone, 0x1031},
    };
    TTestComm& C = MakeComm();
    for (const TDcbCase& Case : Cases) {
        C.SetStreamProtocol(Case.Protocol);
        C.SetRS485Mode(Case.RS485);
        C.CommCfg.dcb = winapi::DCB{};
        C.CommCfg.dcb.Flags = Case.Before;
        C.ApplyDCB();
        const winapi::DCB& Dcb = C.CommCfg.dcb;
        EXPECT_EQ(Dcb.Flags, Case.After) << std::hex << "from " << Case.Before << " RS485 "
                                         << Case.RS485 << " protocol " << Case.Protocol;
        EXPECT_EQ(Dcb.DCBlength, 28u);
        EXPECT_EQ(Dcb.XonLim, 80);
        EXPECT_EQ(Dcb.XoffLim, 200);
        EXPECT_EQ(Dcb.XonChar, 17);
        EXPECT_EQ(Dcb.XoffChar, 19);
    }
    EXPECT_EQ(Fake.CallCount("SetCommState"), 0) << "a closed port is not touched";
}

TEST_F(CommSettings, ReadPortConfigDerivesFlowControlAndRS485InThatOrder) {
    struct TCase {
        DWORD Flags;
        TStreamProtocol Protocol;
        bool RS485;
    };
    const TCase Cases[] = {
        {0x3011, spNone, true}, // RTS toggle also has the bits of "RTS enabled"
        {0x2015, spHardware, false}, {0x1311, spXonXoff, false},
        {0x1011, spNone, false},     {0x0000, spNone, false},
    };
    TTestComm& C = MakeComm();
    for (const TCase& Case : Cases) {
        C.CommCfg.dcb.Flags = Case.Flags;
        C.ReadPortConfig();
        EXPECT_EQ(C.StreamProtocol(), Case.Protocol) << std::hex << Case.Flags;
        EXPECT_EQ(C.RS485Mode(), Case.RS485) << std::hex << Case.Flags;
    }
    EXPECT_EQ(Fake.CallCount("GetCommConfig") + Fake.CallCount("GetCommState"), 0);
}

TEST_F(CommSettings, ReadPortConfigOnAnOpenPortReadsTheDriversDcb) {
    TTestComm& C = MakeComm();
    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    // Another program set XON/XOFF meanwhile.
    winapi::DCB Changed = Fake.CommState(PortPath);
    Changed.Flags = 0x1311;
    Changed.BaudRate = 4800;
    winapi::Api().SetCommState(C.Handle(), &Changed);
    C.ReadPortConfig();
    EXPECT_EQ(C.StreamProtocol(), spXonXoff);
    EXPECT_EQ(C.BaudRate(), 4800u);
    EXPECT_EQ(C.CommCfg.dwSize, 52u);
}

TEST_F(CommSettings, SettingsWrittenWhileClosedWaitForTheNextOpen) {
    TTestComm& C = MakeComm();
    Fake.ClearCalls();
    C.SetBaudRate(9600);
    C.SetParity(pEven);
    C.SetStopBits(sbTwo);
    C.SetByteSize(7);
    C.SetStreamProtocol(spXonXoff);
    C.SetTimeoutRead(20);
    C.SetTimeoutWrite(300);
    C.SetBufferInSize(1024);
    C.SetBufferOutSize(2048);
    EXPECT_TRUE(Fake.Calls().empty()) << Fake.Calls().front().Operation;

    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    const winapi::DCB Dcb = Fake.CommState(PortPath);
    EXPECT_EQ(Dcb.BaudRate, 9600u);
    EXPECT_EQ(Dcb.Parity, winapi::EVENPARITY);
    EXPECT_EQ(Dcb.StopBits, winapi::TWOSTOPBITS);
    EXPECT_EQ(Dcb.ByteSize, 7);
    EXPECT_EQ(Dcb.Flags & 0x7FFF, 0x1311u | winapi::DCB_fParity);
    const winapi::COMMTIMEOUTS Timeouts = Fake.CommTimeouts(PortPath);
    EXPECT_EQ(Timeouts.ReadIntervalTimeout, 20u);
    EXPECT_EQ(Timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(Timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(Timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(Timeouts.WriteTotalTimeoutConstant, 300u);
    const auto Setup = Fake.Calls("SetupComm");
    ASSERT_EQ(Setup.size(), 1u);
    EXPECT_EQ(Setup[0].Args[1], 1024u);
    EXPECT_EQ(Setup[0].Args[2], 2048u);
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR);
}

TEST_F(CommSettings, OpeningAppliesErrorsQueuesTimeoutsDcbThenTheEventMask) {
    TTestComm& C = MakeComm();
    Fake.ClearCalls();
    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    const std::vector<std::string> Expected = {"ClearCommError", "SetupComm", "SetCommTimeouts",
                                               "SetCommState", "SetCommMask"};
    std::vector<std::string> Seen = CallsOf(Expected);
    Seen.resize(std::min(Seen.size(), Expected.size()));
    EXPECT_EQ(Seen, Expected);
}

TEST_F(CommSettings, SettingsWrittenWhileOpenReachThePortAtOnce) {
    TTestComm& C = MakeComm();
    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    Fake.ClearCalls();

    C.SetBaudRate(115200);
    EXPECT_EQ(Fake.CommState(PortPath).BaudRate, 115200u);
    C.SetStreamProtocol(spNone);
    EXPECT_EQ(Fake.CommState(PortPath).Flags & 0x3FFF, 0x1011u);
    C.SetTimeoutRead(7);
    EXPECT_EQ(Fake.CommTimeouts(PortPath).ReadIntervalTimeout, 7u);

    C.SetBufferInSize(4096);
    C.SetBufferOutSize(512);
    const auto Setup = Fake.Calls("SetupComm");
    ASSERT_EQ(Setup.size(), 2u);
    EXPECT_EQ(std::vector<std::uintptr_t>(Setup[0].Args.begin() + 1, Setup[0].Args.end()),
              (std::vector<std::uintptr_t>{4096, 8192}));
    EXPECT_EQ(std::vector<std::uintptr_t>(Setup[1].Args.begin() + 1, Setup[1].Args.end()),
              (std::vector<std::uintptr_t>{4096, 512}));
    EXPECT_EQ(C.ReceiveBufferSize(), 8192u) << "the receive buffer keeps its size while open";
}

TEST_F(CommSettings, ReceiveBufferIsNeverSmallerThan8192AndGoesWithTheThreads) {
    const std::pair<quint16, quint32> Cases[] = {{1024, 8192}, {8192, 8192}, {20000, 20000}};
    TTestComm& C = MakeComm();
    for (const auto& [InSize, BufferSize] : Cases) {
        C.SetBufferInSize(InSize);
        C.SetActive(true);
        ASSERT_TRUE(C.Active());
        EXPECT_EQ(C.ReceiveBufferSize(), BufferSize) << "BufferInSize " << InSize;
        C.SetActive(false);
        EXPECT_EQ(C.ReceiveBufferSize(), 0u);
    }
}

TEST_F(CommSettings, SoftwareRS485OnASystemThatCannotToggleRts) {
    Fake.SetPlatformId(winapi::VER_PLATFORM_WIN32_WINDOWS);
    TTestComm& C = MakeComm();
    C.SetRS485Mode(true);
    EXPECT_TRUE(C.IsSoftwareRS485());
    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR | winapi::EV_TXEMPTY);
    // The driver is still asked to toggle: the DCB is the same on every system.
    EXPECT_EQ(Fake.CommState(PortPath).Flags & winapi::DCB_fRtsControlMask,
              winapi::DCB_fRtsControlToggle);
}

TEST_F(CommSettings, DriverThatCannotToggleRtsTurnsSoftwareRS485On) {
    TTestComm& C = MakeComm();
    C.SetActive(true);
    ASSERT_TRUE(C.Active());
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR);

    // Asked for RTS toggle, the driver applies the rest and says it cannot.
    Fake.ScriptNext("SetCommState", lxtest::Fail(winapi::ERROR_NOT_SUPPORTED));
    C.SetRS485Mode(true);
    EXPECT_TRUE(C.IsSoftwareRS485());
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR | winapi::EV_TXEMPTY)
        << "the transmit-empty event lowers RTS";

    C.SetRS485Mode(false);
    EXPECT_FALSE(C.IsSoftwareRS485());
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR);

    // A driver that toggles by itself leaves RTS to the driver.
    C.SetRS485Mode(true);
    EXPECT_FALSE(C.IsSoftwareRS485());
    EXPECT_EQ(Fake.CommMask(PortPath), winapi::EV_RXCHAR);
}

} // namespace
