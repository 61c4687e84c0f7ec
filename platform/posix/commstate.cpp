#include "commstate.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

namespace winapi::posix {

namespace {

struct TSpeed {
    unsigned int Code;
    DWORD Rate;
};

// The rates with a code of their own: set by code, so that programs reading the settings with
// the classic termios calls see B9600 and not a bare number.
constexpr TSpeed Speeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

unsigned int SpeedCode(DWORD Rate) {
    const auto Found = std::find_if(std::begin(Speeds), std::end(Speeds),
                                    [Rate](const TSpeed& Speed) { return Speed.Rate == Rate; });
    return Found != std::end(Speeds) ? Found->Code : BOTHER;
}

// Drivers round a rate to what their clock can make; within 3% the rate asked for stands, as it
// does for the system's serial driver on Windows.
bool CloseSpeeds(DWORD Asked, DWORD Got) {
    const std::uint64_t Gap = Asked > Got ? Asked - Got : Got - Asked;
    return Gap * 100 <= std::uint64_t(Asked) * 3;
}

unsigned int SizeBits(BYTE ByteSize) {
    switch (ByteSize) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

BYTE ByteSizeOf(unsigned int Flags) {
    switch (Flags & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

unsigned int ParityBits(BYTE Parity) {
    switch (Parity) {
    case ODDPARITY:
        return PARENB | PARODD;
    case EVENPARITY:
        return PARENB;
    case MARKPARITY:
        return PARENB | CMSPAR | PARODD;
    case SPACEPARITY:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

BYTE ParityOf(unsigned int Flags) {
    if ((Flags & PARENB) == 0) {
        return NOPARITY;
    }
    const bool Odd = (Flags & PARODD) != 0;
    if ((Flags & CMSPAR) != 0) {
        return Odd ? MARKPARITY : SPACEPARITY;
    }
    return Odd ? ODDPARITY : EVENPARITY;
}

bool UsesCtsFlow(const DCB& Dcb) {
    return (Dcb.Flags & DCB_fOutxCtsFlow) != 0 ||
           (Dcb.Flags & DCB_fRtsControlMask) == DCB_fRtsControlHandshake;
}

// The settings that TermiosFromDcb writes, in groups that are compared and read back as wholes.
constexpr unsigned gSpeed = 0x001;
constexpr unsigned gSize = 0x002;
constexpr unsigned gParity = 0x004;
constexpr unsigned gStop = 0x008;
constexpr unsigned gCtsFlow = 0x010;
constexpr unsigned gOutX = 0x020;
constexpr unsigned gInX = 0x040;
constexpr unsigned gParityCheck = 0x080;
constexpr unsigned gFlowChars = 0x100;
constexpr unsigned gAll = 0x1FF;

unsigned Differences(const termios2& A, const termios2& B, bool Framed) {
    const auto Flags = [](unsigned int X, unsigned int Y, unsigned int Mask, unsigned Group) {
        return (X & Mask) != (Y & Mask) ? Group : 0u;
    };
    unsigned Groups = CloseSpeeds(LineSpeed(A), LineSpeed(B)) ? 0u : gSpeed;
    Groups |= Flags(A.c_cflag, B.c_cflag, CSIZE, gSize);
    Groups |= Flags(A.c_cflag, B.c_cflag, PARENB | PARODD | CMSPAR, gParity);
    Groups |= Flags(A.c_cflag, B.c_cflag, CSTOPB, gStop);
    Groups |= Flags(A.c_cflag, B.c_cflag, CRTSCTS, gCtsFlow);
    Groups |= Flags(A.c_iflag, B.c_iflag, IXON, gOutX);
    Groups |= Flags(A.c_iflag, B.c_iflag, IXOFF, gInX);
    Groups |= Flags(A.c_iflag, B.c_iflag, INPCK, gParityCheck);
    Groups |= Flags(A.c_cc[VSTART], B.c_cc[VSTART], 0xFF, gFlowChars);
    Groups |= Flags(A.c_cc[VSTOP], B.c_cc[VSTOP], 0xFF, gFlowChars);
    return Framed ? Groups : Groups & ~(gSize | gParity);
}

void SetFlag(DCB& Dcb, DWORD Flag, bool On) {
    Dcb.Flags = On ? Dcb.Flags | Flag : Dcb.Flags & ~Flag;
}

// Reads the groups named into Dcb from the line.
void ReadGroups(DCB& Dcb, const termios2& Line, unsigned Groups) {
    if ((Groups & gSpeed) != 0) {
        Dcb.BaudRate = LineSpeed(Line);
    }
    if ((Groups & gSize) != 0) {
        Dcb.ByteSize = ByteSizeOf(Line.c_cflag);
    }
    if ((Groups & gParity) != 0) {
        Dcb.Parity = ParityOf(Line.c_cflag);
    }
    if ((Groups & (gStop | gSize)) != 0) {
        const bool Long = (Line.c_cflag & CSTOPB) != 0;
        Dcb.StopBits = !Long ? ONESTOPBIT : Dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    if ((Groups & gCtsFlow) != 0) {
        const bool Hardware = (Line.c_cflag & CRTSCTS) != 0;
        const DWORD Rts = Dcb.Flags & DCB_fRtsControlMask;
        SetFlag(Dcb, DCB_fOutxCtsFlow, Hardware);
        Dcb.Flags &= ~DCB_fRtsControlMask;
        if (Hardware) {
            Dcb.Flags |= DCB_fRtsControlHandshake;
        } else {
            Dcb.Flags |= Rts == DCB_fRtsControlHandshake ? DCB_fRtsControlEnable : Rts;
        }
    }
    if ((Groups & gOutX) != 0) {
        SetFlag(Dcb, DCB_fOutX, (Line.c_iflag & IXON) != 0);
    }
    if ((Groups & gInX) != 0) {
        SetFlag(Dcb, DCB_fInX, (Line.c_iflag & IXOFF) != 0);
    }
    if ((Groups & gParityCheck) != 0) {
        SetFlag(Dcb, DCB_fParity, (Line.c_iflag & INPCK) != 0);
    }
    if ((Groups & gFlowChars) != 0) {
        Dcb.XonChar = char(Line.c_cc[VSTART]);
        Dcb.XoffChar = char(Line.c_cc[VSTOP]);
    }
}

} // namespace

bool IsValidDcb(const DCB& Dcb) {
    if (Dcb.BaudRate == 0 || Dcb.ByteSize < 5 || Dcb.ByteSize > 8 || Dcb.Parity > SPACEPARITY ||
        Dcb.StopBits > TWOSTOPBITS) {
        return false;
    }
    const bool FiveBits = Dcb.ByteSize == 5;
    if ((Dcb.StopBits == ONE5STOPBITS && !FiveBits) || (Dcb.StopBits == TWOSTOPBITS && FiveBits)) {
        return false;
    }
    const bool SoftwareFlow = (Dcb.Flags & (DCB_fOutX | DCB_fInX)) != 0;
    return !SoftwareFlow || Dcb.XonChar != Dcb.XoffChar;
}

termios2 TermiosFromDcb(const DCB& Dcb, const termios2& Base) {
    termios2 Line = Base;
    // A break is reported as an event and an error bit, not as a zero byte in the data.
    Line.c_iflag &= ~(BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXANY | IXOFF |
                      INPCK | IGNPAR | IUCLC | IMAXBEL);
    Line.c_iflag |= IGNBRK;
    // A byte that fails its parity or framing check is dropped, never handed on as a 0x00 that
    // reads like data; the driver's error counters report it (CE_RXPARITY, CE_FRAME).
    Line.c_iflag |= (Dcb.Flags & DCB_fParity) != 0 ? INPCK | IGNPAR : 0;
    Line.c_iflag |= (Dcb.Flags & DCB_fOutX) != 0 ? IXON : 0;
    Line.c_iflag |= (Dcb.Flags & DCB_fInX) != 0 ? IXOFF : 0;
    Line.c_oflag &= ~OPOST;
    Line.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);

    const unsigned int Code = SpeedCode(Dcb.BaudRate);
    Line.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    Line.c_cflag |= CLOCAL | CREAD | Code | SizeBits(Dcb.ByteSize) | ParityBits(Dcb.Parity);
    Line.c_cflag |= Dcb.StopBits != ONESTOPBIT ? CSTOPB : 0;
    Line.c_cflag |= UsesCtsFlow(Dcb) ? CRTSCTS : 0;
    // Input at the output's rate (CIBAUD left 0); the rate fields matter with BOTHER.
    Line.c_ispeed = Dcb.BaudRate;
    Line.c_ospeed = Dcb.BaudRate;

    Line.c_cc[VMIN] = 1;
    Line.c_cc[VTIME] = 0;
    Line.c_cc[VSTART] = cc_t(Dcb.XonChar);
    Line.c_cc[VSTOP] = cc_t(Dcb.XoffChar);
    return Line;
}

bool TakesSettings(const termios2& Asked, const termios2& Got, bool Framed) {
    return Differences(Asked, Got, Framed) == 0;
}

DCB LineDcb(const termios2& Line, const DCB& Kept, bool Framed) {
    DCB Dcb = Kept;
    ReadGroups(Dcb, Line, Differences(TermiosFromDcb(Kept, Line), Line, Framed));
    return Dcb;
}

DCB InitialDcb(const termios2& Line) {
    DCB Dcb = DefaultDcb();
    ReadGroups(Dcb, Line, gAll);
    return Dcb;
}

DCB DefaultDcb() {
    DCB Dcb{};
    Dcb.DCBlength = sizeof(DCB);
    Dcb.BaudRate = 9600;
    Dcb.Flags = DCB_fBinary | DCB_fDtrControlEnable | DCB_fRtsControlEnable;
    Dcb.XonLim = 2048;
    Dcb.XoffLim = 512;
    Dcb.ByteSize = 8;
    Dcb.Parity = NOPARITY;
    Dcb.StopBits = ONESTOPBIT;
    Dcb.XonChar = 0x11;
    Dcb.XoffChar = 0x13;
    return Dcb;
}

void FillCommConfig(COMMCONFIG& Config, const DCB& Dcb) {
    Config = COMMCONFIG{};
    Config.dwSize = sizeof(COMMCONFIG);
    Config.wVersion = 1;
    Config.dcb = Dcb;
    Config.dwProviderSubType = PST_RS232;
}

DWORD LineSpeed(const termios2& Line) {
    const unsigned int Code = Line.c_cflag & CBAUD;
    const auto Found = std::find_if(std::begin(Speeds), std::end(Speeds),
                                    [Code](const TSpeed& Speed) { return Speed.Code == Code; });
    return Found != std::end(Speeds) ? Found->Rate : Line.c_ospeed;
}

} // namespace winapi::posix
