// The calling thread's last error, the translation of Linux errors into Windows codes, and the
// English texts that FormatMessageW gives for them.
#pragma once

#include "winapi.h"

#include <string>

namespace winapi::posix {

// Sets the code alone; a cause left by an earlier failure is dropped.
void SetLastErrorCode(DWORD Code);
// Sets the code and, in words, why it happened here (a sentence without its final stop).
void SetLastErrorCause(DWORD Code, std::string Cause);
// Sets the Windows code that stands for Errno, with the system's description as the cause; a
// Subject (a device or file) is named in front of it.
void SetLastErrorFromErrno(int Errno, const std::string& Subject = {});
DWORD LastErrorCode();

DWORD ErrorFromErrno(int Errno);
// The system's description of Errno, e.g. "Permission denied".
std::string ErrnoText(int Errno);

// Completion states of overlapped requests (OVERLAPPED.Internal) and their Windows codes.
NTSTATUS StatusFromErrno(int Errno);
DWORD ErrorFromStatus(NTSTATUS Status);

// The message of Code ending in ".\r\n" as on Windows, followed by the cause when Code is the
// calling thread's last error and a cause was given; empty for a code without a message.
std::u16string ErrorMessage(DWORD Code);

} // namespace winapi::posix
