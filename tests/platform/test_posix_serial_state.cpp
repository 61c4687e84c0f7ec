// Line settings of the native backend: a DCB to termios and back, and SetCommState,
// GetCommState, the configuration records and the port properties on real pseudo-terminals.
//
// What a pseudo-terminal shows: it keeps the baud rate (standard codes and BOTHER), the stop-bit,
// flow-control and parity-checking flags and the XON/XOFF characters exactly as set, and the
// master side reports the slave's termios. It keeps bytes at 8 bits without parity whatever is
// set (the kernel forces CS8 and clears PARENB), so byte size and parity are checked on the
// conversion itself and read back from the port's own record. It has no modem lines, no RS-485
// mode and no interrupt counters.
#include "posix/commstate.h"
#include "test_posix_serial.h"

#include <sys/ioctl.h>

#include <cstring>

namespace {

using namespace winapi;
using lxtest::Os;

DCB Dcb(DWORD Baud, BYTE Size, BYTE Parity, BYTE Stop, DWORD Flags = DCB_fBinary) {
    DCB Settings = posix::DefaultDcb();
    Settings.BaudRate = Baud;
    Settings.ByteSize = Size;
    Settings.Parity = Parity;
    Settings.StopBits = Stop;
    Settings.Flags = Flags;
    return Settings;
}

bool SameDcb(const DCB& A, const DCB& B) {
    return std::memcmp(&A, &B, sizeof(DCB)) == 0;
}

std::string Describe(const DCB& Settings) {
    return std::to_string(Settings.BaudRate) + " " + std::to_string(Settings.ByteSize) + "/" +
           std::to_string(Settings.Parity) + "/" + std::to_string(Settings.StopBits) + " flags " +
           std::to_string(Settings.Flags);
}

termios2 RawLine() {
    termios2 Line{};
    Line.c_cflag = B38400 | CS8 | CREAD | CLOCAL;
    Line.c_iflag = ICRNL | IXON;
    Line.c_lflag = ICANON | ECHO | ISIG;
    Line.c_oflag = OPOST;
    return Line;
}

// --- The conversion ------------------------------------------------------------------------

TEST(SerialSettings, EveryFramingOfTheDcbReachesTermiosAndComesBack) {
    const struct {
        DCB Settings;
        unsigned int Cflag; // the framing bits expected: size, parity, stop bits, flow
        unsigned int Iflag;
    } Cases[] = {
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT), CS8, 0},
        {Dcb(19200, 7, EVENPARITY, ONESTOPBIT), CS7 | PARENB, 0},
        {Dcb(1200, 6, ODDPARITY, TWOSTOPBITS), CS6 | PARENB | PARODD | CSTOPB, 0},
        {Dcb(300, 5, MARKPARITY, ONE5STOPBITS), CS5 | PARENB | PARODD | CMSPAR | CSTOPB, 0},
        {Dcb(115200, 8, SPACEPARITY, TWOSTOPBITS), CS8 | PARENB | CMSPAR | CSTOPB, 0},
        // A byte with a parity or framing error is dropped, not read as 0x00.
        {Dcb(9600, 8, EVENPARITY, ONESTOPBIT, DCB_fBinary | DCB_fParity), CS8 | PARENB,
         INPCK | IGNPAR},
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x2015), CS8 | CRTSCTS, 0},
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT, DCB_fBinary | DCB_fOutxCtsFlow), CS8 | CRTSCTS, 0},
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x1311), CS8, IXON | IXOFF},
        {Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x3011), CS8, 0},
    };
    constexpr unsigned int Framing = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
    for (const auto& Case : Cases) {
        SCOPED_TRACE(Describe(Case.Settings));
        ASSERT_TRUE(posix::IsValidDcb(Case.Settings));
        const termios2 Line = posix::TermiosFromDcb(Case.Settings, RawLine());
        EXPECT_EQ(Line.c_cflag & Framing, Case.Cflag);
        EXPECT_EQ(Line.c_iflag & (INPCK | IGNPAR | PARMRK | IXON | IXOFF | ICRNL), Case.Iflag);
        EXPECT_EQ(Line.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw input";
        EXPECT_EQ(Line.c_oflag & OPOST, 0u) << "raw output";
        EXPECT_EQ(Line.c_cc[VMIN], 1) << "a read of 0 bytes means a hang-up only with VMIN 1";
        EXPECT_EQ(posix::LineSpeed(Line), Case.Settings.BaudRate);
        EXPECT_TRUE(SameDcb(posix::LineDcb(Line, Case.Settings, true), Case.Settings));
    }
}

TEST(SerialSettings, RatesWithoutACodeOfTheirOwnUseTheExactRate) {
    for (const DWORD Rate : {DWORD(12345), DWORD(250000), DWORD(31250)}) {
        const termios2 Line = posix::TermiosFromDcb(Dcb(Rate, 8, NOPARITY, ONESTOPBIT), RawLine());
        EXPECT_EQ(Line.c_cflag & CBAUD, unsigned(BOTHER));
        EXPECT_EQ(Line.c_ospeed, Rate);
        EXPECT_EQ(Line.c_ispeed, Rate);
        EXPECT_EQ(posix::LineSpeed(Line), Rate);
    }
    const termios2 Standard = posix::TermiosFromDcb(Dcb(57600, 8, NOPARITY, ONESTOPBIT), RawLine());
    EXPECT_EQ(Standard.c_cflag & CBAUD, unsigned(B57600));
}

TEST(SerialSettings, TheLineWinsWhereItDiffersFromTheDcbAndTheRestIsKept) {
    DCB Kept = Dcb(9600, 7, EVENPARITY, ONESTOPBIT, 0x2015 | DCB_fAbortOnError | DCB_fNull);
    Kept.XonLim = 80;
    Kept.EvtChar = 0x7E;
    termios2 Line = posix::TermiosFromDcb(Kept, RawLine());
    // Another program changed the line: 4800 baud, 8 bits, no parity, no hardware flow control.
    Line.c_cflag = (Line.c_cflag & ~(CBAUD | CSIZE | PARENB | CRTSCTS)) | B4800 | CS8;
    const DCB Read = posix::LineDcb(Line, Kept, true);
    EXPECT_EQ(Read.BaudRate, 4800u);
    EXPECT_EQ(Read.ByteSize, 8);
    EXPECT_EQ(Read.Parity, NOPARITY);
    EXPECT_EQ(Read.Flags & (DCB_fOutxCtsFlow | DCB_fRtsControlMask), DCB_fRtsControlEnable);
    EXPECT_EQ(Read.Flags & (DCB_fAbortOnError | DCB_fNull | DCB_fDtrControlMask),
              DCB_fAbortOnError | DCB_fNull | DCB_fDtrControlEnable);
    EXPECT_EQ(Read.XonLim, 80);
    EXPECT_EQ(Read.EvtChar, 0x7E);
    // A line without framing keeps the DCB's byte size and parity.
    const DCB Unframed = posix::LineDcb(Line, Kept, false);
    EXPECT_EQ(Unframed.ByteSize, 7);
    EXPECT_EQ(Unframed.Parity, EVENPARITY);
}

TEST(SerialSettings, DcbsTheSystemRefusesAreRefused) {
    DCB SameFlowChars = Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x1311);
    SameFlowChars.XonChar = SameFlowChars.XoffChar;
    const DCB Refused[] = {
        Dcb(0, 8, NOPARITY, ONESTOPBIT),     Dcb(9600, 4, NOPARITY, ONESTOPBIT),
        Dcb(9600, 9, NOPARITY, ONESTOPBIT),  Dcb(9600, 8, 5, ONESTOPBIT),
        Dcb(9600, 8, NOPARITY, 3),           Dcb(9600, 8, NOPARITY, ONE5STOPBITS),
        Dcb(9600, 5, NOPARITY, TWOSTOPBITS), SameFlowChars,
    };
    for (const DCB& Settings : Refused) {
        EXPECT_FALSE(posix::IsValidDcb(Settings)) << Describe(Settings);
    }
}

// --- On a pseudo-terminal ------------------------------------------------------------------

class SerialState : public lxtest::SerialPort {
protected:
    // The slave's settings, as the master side reports them.
    termios2 PeerLine() {
        termios2 Line{};
        EXPECT_EQ(::ioctl(Pty.MasterFd(), TCGETS2, &Line), 0);
        return Line;
    }
    DCB State() {
        DCB Settings{};
        EXPECT_EQ(Os().GetCommState(Port, &Settings), TRUE);
        return Settings;
    }
};

TEST_F(SerialState, ATableOfSettingsReadsBackAsSetAndShowsOnTheLine) {
    DCB Carried = Dcb(4800, 8, NOPARITY, ONESTOPBIT,
                      DCB_fBinary | DCB_fDtrControlHandshake | DCB_fDsrSensitivity |
                          DCB_fTXContinueOnXoff | DCB_fErrorChar | DCB_fNull | DCB_fAbortOnError);
    Carried.XonLim = 80;
    Carried.XoffLim = 200;
    Carried.ErrorChar = '?';
    Carried.EofChar = 0x1A;
    Carried.EvtChar = '\n';
    const DCB Table[] = {
        Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x1011),
        Dcb(19200, 7, EVENPARITY, ONESTOPBIT, 0x1011 | DCB_fParity),
        Dcb(38400, 6, ODDPARITY, TWOSTOPBITS, 0x1311),
        Dcb(300, 5, MARKPARITY, ONE5STOPBITS, 0x2015),
        Dcb(12345, 8, SPACEPARITY, TWOSTOPBITS, 0x1011),
        Dcb(2000000, 8, NOPARITY, ONESTOPBIT, 0x2015),
        Carried,
    };
    for (const DCB& Settings : Table) {
        SCOPED_TRACE(Describe(Settings));
        DCB Given = Settings;
        ASSERT_EQ(Os().SetCommState(Port, &Given), TRUE);
        EXPECT_TRUE(SameDcb(State(), Settings));
        const termios2 Line = PeerLine();
        EXPECT_EQ(posix::LineSpeed(Line), Settings.BaudRate);
        EXPECT_EQ((Line.c_cflag & CSTOPB) != 0, Settings.StopBits != ONESTOPBIT);
        EXPECT_EQ((Line.c_cflag & CRTSCTS) != 0, (Settings.Flags & DCB_fOutxCtsFlow) != 0);
        EXPECT_EQ((Line.c_iflag & IXON) != 0, (Settings.Flags & DCB_fOutX) != 0);
        EXPECT_EQ((Line.c_iflag & IXOFF) != 0, (Settings.Flags & DCB_fInX) != 0);
        EXPECT_EQ((Line.c_iflag & INPCK) != 0, (Settings.Flags & DCB_fParity) != 0);
        EXPECT_EQ(Line.c_cc[VSTART], cc_t(Settings.XonChar));
        EXPECT_EQ(Line.c_cc[VSTOP], cc_t(Settings.XoffChar));
        // What a pseudo-terminal does not frame: 8 bits, no parity.
        EXPECT_EQ(Line.c_cflag & (CSIZE | PARENB), unsigned(CS8));
    }
}

TEST_F(SerialState, StandardRatesShowTheirCodeAndOthersTheExactRate) {
    DCB Settings = Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x1011);
    ASSERT_EQ(Os().SetCommState(Port, &Settings), TRUE);
    EXPECT_EQ(PeerLine().c_cflag & CBAUD, unsigned(B9600));
    Settings.BaudRate = 250000;
    ASSERT_EQ(Os().SetCommState(Port, &Settings), TRUE);
    EXPECT_EQ(PeerLine().c_cflag & CBAUD, unsigned(BOTHER));
    EXPECT_EQ(PeerLine().c_ospeed, 250000u);
}

TEST_F(SerialState, ARefusedDcbLeavesThePortAsItWas) {
    DCB Good = Dcb(19200, 8, NOPARITY, ONESTOPBIT, 0x1011);
    ASSERT_EQ(Os().SetCommState(Port, &Good), TRUE);
    DCB Bad = Dcb(9600, 4, NOPARITY, ONESTOPBIT, 0x1011);
    EXPECT_EQ(Os().SetCommState(Port, &Bad), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(SameDcb(State(), Good));
    EXPECT_EQ(posix::LineSpeed(PeerLine()), 19200u);
}

TEST_F(SerialState, ChangesMadeBehindThePortsBackShowInGetCommState) {
    DCB Settings = Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x2015);
    ASSERT_EQ(Os().SetCommState(Port, &Settings), TRUE);
    termios2 Line = PeerLine();
    Line.c_cflag = (Line.c_cflag & ~(CBAUD | CRTSCTS)) | B1200;
    ASSERT_EQ(::ioctl(Pty.MasterFd(), TCSETS2, &Line), 0);
    const DCB Read = State();
    EXPECT_EQ(Read.BaudRate, 1200u);
    EXPECT_EQ(Read.Flags & (DCB_fOutxCtsFlow | DCB_fRtsControlMask), DCB_fRtsControlEnable);
}

TEST_F(SerialState, RtsToggleThatTheDriverCannotDoIsLeftToTheCaller) {
    DCB Settings = Dcb(9600, 8, NOPARITY, ONESTOPBIT, 0x3011);
    EXPECT_EQ(Os().SetCommState(Port, &Settings), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_NOT_SUPPORTED) << "a pseudo-terminal has no RS-485 mode";
    // Everything else is in force, and the request stands for the caller to carry out.
    EXPECT_EQ(posix::LineSpeed(PeerLine()), 9600u);
    EXPECT_EQ(State().Flags & DCB_fRtsControlMask, DCB_fRtsControlToggle);
    Settings.Flags = 0x1011;
    EXPECT_EQ(Os().SetCommState(Port, &Settings), TRUE);
}

TEST_F(SerialState, ConfigurationRecordsSayHowBigTheyMustBe) {
    DCB Settings = Dcb(57600, 8, EVENPARITY, ONESTOPBIT, 0x1011);
    ASSERT_EQ(Os().SetCommState(Port, &Settings), TRUE);
    COMMCONFIG Config{};
    DWORD Size = sizeof(COMMCONFIG) - 1;
    EXPECT_EQ(Os().GetCommConfig(Port, &Config, &Size), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Size, sizeof(COMMCONFIG));
    ASSERT_EQ(Os().GetCommConfig(Port, &Config, &Size), TRUE);
    EXPECT_EQ(Config.dwSize, sizeof(COMMCONFIG));
    EXPECT_EQ(Config.dwProviderSubType, PST_RS232);
    EXPECT_TRUE(SameDcb(Config.dcb, Settings));

    Size = 0;
    EXPECT_EQ(Os().GetDefaultCommConfigW(u"COM9", nullptr, &Size), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(Size, sizeof(COMMCONFIG));
    ASSERT_EQ(Os().GetDefaultCommConfigW(u"com9", &Config, &Size), TRUE);
    EXPECT_EQ(Config.dcb.BaudRate, 9600u);
    EXPECT_EQ(Config.dcb.ByteSize, 8);
    EXPECT_EQ(Config.dcb.Parity, NOPARITY);
    EXPECT_EQ(Config.dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(Config.dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(Os().GetDefaultCommConfigW(u"COM8", &Config, &Size), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SerialState, PropertiesReportTheSettableParametersAndTheQueueSizes) {
    ASSERT_EQ(Os().SetupComm(Port, 8192, 1024), TRUE);
    COMMPROP Properties{};
    ASSERT_EQ(Os().GetCommProperties(Port, &Properties), TRUE);
    EXPECT_EQ(Properties.wPacketLength, sizeof(COMMPROP));
    EXPECT_EQ(Properties.dwProvSubType, PST_RS232);
    EXPECT_EQ(Properties.dwMaxBaud, BAUD_USER);
    EXPECT_EQ(Properties.wSettableData, DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8);
    EXPECT_NE(Properties.wSettableStopParity & STOPBITS_15, 0);
    EXPECT_NE(Properties.wSettableStopParity & PARITY_SPACE, 0);
    EXPECT_EQ(Properties.dwCurrentRxQueue, 8192u);
    EXPECT_EQ(Properties.dwCurrentTxQueue, 1024u);
}

TEST_F(SerialState, SettingsCallsOnWhatIsNotAnOpenPortFail) {
    const HANDLE Closed = Port;
    ClosePort();
    DCB Settings = posix::DefaultDcb();
    COMMTIMEOUTS Timeouts{};
    COMMPROP Properties{};
    EXPECT_EQ(Os().SetCommState(Closed, &Settings), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Os().GetCommState(Closed, &Settings), FALSE);
    EXPECT_EQ(Os().SetCommTimeouts(Closed, &Timeouts), FALSE);
    EXPECT_EQ(Os().SetupComm(Closed, 1, 1), FALSE);
    EXPECT_EQ(Os().GetCommProperties(Closed, &Properties), FALSE);
    EXPECT_EQ(Os().GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
