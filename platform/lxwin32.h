// Overlapped device I/O, the registered serial ports and the registry helpers, written once
// against the OS boundary. None of these raises: failures come back as false, an invalid handle,
// an empty text or a shorter list, with the reason left for GetLastErrorText where there is one.
#pragma once

#include "lxsysutils.h"
#include "winapi.h"

#include <string>
#include <string_view>

namespace lx {

using winapi::BOOL;
using winapi::HANDLE;
using winapi::HKEY;
using winapi::OVERLAPPED;

// Opens \\?\Name for overlapped reading and writing, exclusively.
HANDLE OpenDeviceOverlapped(std::u16string_view Name);

// Waits for the operation pending on Overlapped when the last error says it is pending.
bool WaitOverlappedResult(HANDLE Handle, OVERLAPPED& Overlapped, DWORD& Transferred,
                          DWORD& ErrorCode);
bool WriteFileWait(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED& Overlapped);
// True when the write completed at once or is pending; never waits.
bool WriteFileAsync(HANDLE Handle, const void* Buffer, DWORD Count, OVERLAPPED& Overlapped);
bool ReadFileWait(HANDLE Handle, void* Buffer, DWORD Count, OVERLAPPED& Overlapped);

// The system's registered serial ports, ordered by number: "COMn", or "COMn=<device name>".
void EnumSerialPorts(TPortList& List, bool WithDeviceNames);

// Cancels the I/O the calling thread has pending on Handle, binding CancelIo at run time.
bool CancelIoDynamic(HANDLE Handle);

// The path of an open key; with Root, split into a predefined root and a path relative to it.
void GetRegistryKeyPath(HKEY Key, HKEY* Root, std::u16string& Path);
// A text value, without the terminator of a REG_SZ; empty on any failure.
std::u16string RegReadString(HKEY Root, std::u16string_view KeyPath,
                             std::u16string_view ValueName);

} // namespace lx
