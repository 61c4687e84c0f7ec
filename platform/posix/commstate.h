// The line settings of a port: a DCB as the terminal's termios holds it, and back.
//
// termios keeps the baud rate, byte size, parity, stop bits, RTS/CTS and XON/XOFF flow control,
// parity checking and the XON/XOFF characters. The DCB fields it has no place for (XonLim,
// XoffLim, ErrorChar, EofChar, EvtChar, fNull, fAbortOnError, fDsrSensitivity,
// fTXContinueOnXoff, fOutxDsrFlow, the DTR and RTS modes other than handshake) are carried
// unchanged by the port and read back as they were set. The event character is one of them: the
// terminal cannot watch for it, so EV_RXFLAG is never reported.
//
// The kernel's termios2 is used throughout (ioctl TCGETS2/TCSETS2) so that any baud rate can be
// set (BOTHER). Its header clashes with <termios.h>: no file that includes this one may include
// <termios.h>.
#pragma once

#include "winapi.h"

#include <asm/termbits.h>

namespace winapi::posix {

// What SetCommState refuses as Windows does: baud rate 0, a byte size outside 5..8, unknown
// parity or stop-bit codes, 1.5 stop bits with more than 5 data bits, 2 stop bits with 5, and
// XON equal to XOFF while software flow control is on.
bool IsValidDcb(const DCB& Dcb);

// Base with the settings of Dcb: raw bytes both ways, VMIN 1 and VTIME 0 (a read of 0 bytes then
// means a hang-up), the receiver on and the modem lines not watched for carrier.
termios2 TermiosFromDcb(const DCB& Dcb, const termios2& Base);

// Whether the line took what was asked of it. Framed is false for a line that does not frame
// bytes (a pseudo-terminal): the kernel keeps its byte size and parity at 8 bits and none
// whatever is set, so those are not compared.
bool TakesSettings(const termios2& Asked, const termios2& Got, bool Framed);

// The DCB in force: Kept where the line agrees with it, the line's own values where it differs
// (another program changed them, or the driver adjusted them). Byte size and parity of a line
// without framing are always Kept's.
DCB LineDcb(const termios2& Line, const DCB& Kept, bool Framed);

// The DCB of a port that has not been set up yet: what the line holds, with the defaults of the
// system's serial driver for the rest.
DCB InitialDcb(const termios2& Line);

// The system's default configuration of every port (GetDefaultCommConfigW): 9600 baud, 8 data
// bits, no parity, one stop bit, no flow control.
DCB DefaultDcb();

// The COMMCONFIG record around a DCB.
void FillCommConfig(COMMCONFIG& Config, const DCB& Dcb);

// The rate a termios sets, in bits per second.
DWORD LineSpeed(const termios2& Line);

} // namespace winapi::posix
