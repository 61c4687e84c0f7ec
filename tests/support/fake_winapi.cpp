#include "fake_winapi.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace lxtest {

using namespace winapi;

namespace {

// Codes the fake produces that the library itself never tests for.
constexpr DWORD ERROR_INVALID_LEVEL = 124;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = NTSTATUS(0xC000000Du);

// The current user's hive as the kernel names it.
constexpr std::u16string_view UserHive = u"\\REGISTRY\\USER\\S-1-5-21-1000-1000-1000-1001";

// Windows compares key, value, module and device names without regard to case.
std::u16string Fold(std::u16string_view Text) {
    std::u16string Folded(Text);
    for (char16_t& Char : Folded) {
        if (Char >= u'a' && Char <= u'z') {
            Char = char16_t(Char - u'a' + u'A');
        }
    }
    return Folded;
}

std::u16string TextOf(LPCWSTR Text) {
    return Text != nullptr ? std::u16string(Text) : std::u16string();
}

std::u16string TextOf(LPCSTR Text) {
    return Text != nullptr ? std::u16string(Text, Text + std::strlen(Text)) : std::u16string();
}

// memcpy that accepts the null data pointer of an empty vector.
void CopyBytes(void* To, const void* From, std::size_t Count) {
    if (Count != 0) {
        std::memcpy(To, From, Count);
    }
}

std::uintptr_t Arg(const void* Pointer) {
    return reinterpret_cast<std::uintptr_t>(Pointer);
}

std::optional<OVERLAPPED> Snapshot(const OVERLAPPED* Overlapped) {
    return Overlapped != nullptr ? std::optional<OVERLAPPED>(*Overlapped) : std::nullopt;
}

template <class T> void Store(T* Out, T Value) {
    if (Out != nullptr) {
        *Out = Value;
    }
}

std::optional<std::u16string> RootPath(HKEY Key) {
    if (Key == HKEY_LOCAL_MACHINE) {
        return u"\\REGISTRY\\MACHINE";
    }
    if (Key == HKEY_CURRENT_USER) {
        return std::u16string(UserHive);
    }
    if (Key == HKEY_USERS) {
        return u"\\REGISTRY\\USER";
    }
    if (Key == HKEY_CLASSES_ROOT) {
        return u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes";
    }
    return std::nullopt;
}

std::u16string Join(const std::u16string& Path, std::u16string_view SubKey) {
    return SubKey.empty() ? Path : Path + u"\\" + std::u16string(SubKey);
}

bool IsOrdinal(LPCSTR Name) {
    return reinterpret_cast<std::uintptr_t>(Name) <= 0xFFFFu;
}

} // namespace

TFakeResult Fail(DWORD Error, std::intptr_t Result) {
    TFakeResult Script;
    Script.Result = Result;
    Script.LastError = Error;
    return Script;
}

TFakeResult Succeed(std::intptr_t Result, DWORD Transferred) {
    TFakeResult Script;
    Script.Result = Result;
    Script.Transferred = Transferred;
    return Script;
}

TFakeResult Returns(std::intptr_t Result) {
    TFakeResult Script;
    Script.Result = Result;
    return Script;
}

TFakeResult Pending() {
    return Fail(ERROR_IO_PENDING, FALSE);
}

TFakeResult AsUsual() {
    TFakeResult Script;
    Script.AsUsual = true;
    return Script;
}

std::vector<BYTE> TextBytes(std::u16string_view Text) {
    std::vector<BYTE> Bytes(Text.size() * sizeof(WCHAR));
    CopyBytes(Bytes.data(), Text.data(), Bytes.size());
    return Bytes;
}

// --- Construction ---------------------------------------------------------------------------

TFakeApi::TFakeApi() {
    for (HKEY Root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_USERS, HKEY_CLASSES_ROOT}) {
        CreateKey(*RootPath(Root));
    }
    Module(u"kernel32.dll").Exports["CancelIo"] = ForwardingExport("CancelIo");
    Module(u"ntdll.dll").Exports["ZwQueryKey"] = ForwardingExport("ZwQueryKey");
}

TFakeApi::~TFakeApi() {
    // Blocks the code under test leaked are counted by LiveLocalAllocs; freeing them here keeps
    // the leak checker on the fault that matters.
    for (auto& [Block, Size] : fLocalBlocks) {
        std::free(Block);
    }
}

// --- Scripting and observation --------------------------------------------------------------

void TFakeApi::ScriptNext(const std::string& Operation, const TFakeResult& Result, int Times) {
    TLock Lock(fMutex);
    auto& Queue = fScripts[Operation];
    for (int Index = 0; Index < Times; ++Index) {
        Queue.push_back(Result);
    }
}

int TFakeApi::ScriptsLeft() const {
    TLock Lock(fMutex);
    std::size_t Left = 0;
    for (const auto& [Operation, Queue] : fScripts) {
        Left += Queue.size();
    }
    return int(Left);
}

std::optional<TFakeResult> TFakeApi::Begin(TFakeCall Call) {
    auto Queue = fScripts.find(Call.Operation);
    fCalls.push_back(std::move(Call));
    if (Queue == fScripts.end() || Queue->second.empty()) {
        return std::nullopt;
    }
    TFakeResult Script = std::move(Queue->second.front());
    Queue->second.pop_front();
    if (Script.AsUsual) {
        return std::nullopt;
    }
    if (Script.LastError) {
        SetError(*Script.LastError);
    }
    return Script;
}

void TFakeApi::SetError(DWORD Error) {
    fLastErrors[std::this_thread::get_id()] = Error;
}

HANDLE TFakeApi::NewHandle() {
    fNextHandle += 4;
    return reinterpret_cast<HANDLE>(fNextHandle);
}

std::vector<TFakeCall> TFakeApi::Calls(std::string_view Operation) const {
    TLock Lock(fMutex);
    std::vector<TFakeCall> Found;
    std::copy_if(fCalls.begin(), fCalls.end(), std::back_inserter(Found),
                 [&](const TFakeCall& Call) { return Call.Operation == Operation; });
    return Found;
}

int TFakeApi::CallCount(std::string_view Operation) const {
    TLock Lock(fMutex);
    return int(std::count_if(fCalls.begin(), fCalls.end(),
                             [&](const TFakeCall& Call) { return Call.Operation == Operation; }));
}

std::vector<TFakeCall> TFakeApi::Calls() const {
    TLock Lock(fMutex);
    return fCalls;
}

void TFakeApi::ClearCalls() {
    TLock Lock(fMutex);
    fCalls.clear();
}

int TFakeApi::LiveLocalAllocs() const {
    TLock Lock(fMutex);
    return int(fLocalBlocks.size());
}

int TFakeApi::OpenKeys() const {
    TLock Lock(fMutex);
    return int(fOpenKeys.size());
}

int TFakeApi::LoadedLibraries() const {
    TLock Lock(fMutex);
    int Loads = 0;
    for (const auto& [Name, Module] : fModules) {
        Loads += Module.Loads;
    }
    return Loads;
}

int TFakeApi::OpenHandles() const {
    TLock Lock(fMutex);
    return int(fFiles.size() + fEvents.size());
}

// --- Setting up the system ------------------------------------------------------------------

void TFakeApi::AddKey(HKEY Root, std::u16string_view KeyPath) {
    TLock Lock(fMutex);
    CreateKey(Join(RootPath(Root).value(), KeyPath));
}

void TFakeApi::SetValue(HKEY Root, std::u16string_view KeyPath, std::u16string_view Name,
                        DWORD Type, std::vector<BYTE> Data) {
    TLock Lock(fMutex);
    CreateKey(Join(RootPath(Root).value(), KeyPath)).Store(Name, Type, std::move(Data));
}

void TFakeApi::AddSerialComm(std::u16string_view ValueName, std::u16string_view Port) {
    std::vector<BYTE> Data = TextBytes(Port);
    Data.insert(Data.end(), sizeof(WCHAR), 0);
    SetValue(HKEY_LOCAL_MACHINE, u"HARDWARE\\DEVICEMAP\\SERIALCOMM", ValueName, REG_SZ,
             std::move(Data));
}

void TFakeApi::SetKernelName(HKEY Root, std::u16string_view KeyPath, std::u16string Name) {
    TLock Lock(fMutex);
    CreateKey(Join(RootPath(Root).value(), KeyPath)).KernelName = std::move(Name);
}

std::optional<std::pair<DWORD, std::vector<BYTE>>>
TFakeApi::Value(HKEY Root, std::u16string_view KeyPath, std::u16string_view Name) const {
    TLock Lock(fMutex);
    const TKey* Key = FindKey(Root, KeyPath);
    const TValue* Found = Key != nullptr ? Key->Find(Name) : nullptr;
    if (Found == nullptr) {
        return std::nullopt;
    }
    return std::make_pair(Found->Type, Found->Data);
}

void TFakeApi::SetPlatformId(DWORD PlatformId) {
    TLock Lock(fMutex);
    fPlatformId = PlatformId;
}

void TFakeApi::SetSpoolerPorts(std::vector<std::u16string> Names) {
    TLock Lock(fMutex);
    fSpoolerPorts = std::move(Names);
}

void TFakeApi::SetMessage(DWORD Code, std::u16string Text) {
    TLock Lock(fMutex);
    fMessages[Code] = std::move(Text);
}

void TFakeApi::SetForegroundWindow(HWND Window) {
    TLock Lock(fMutex);
    fForegroundWindow = Window;
}

void TFakeApi::SetModulePresent(std::u16string_view Name, bool Present) {
    TLock Lock(fMutex);
    Module(Name).Present = Present;
}

void TFakeApi::SetExport(std::u16string_view Name, const std::string& ProcName, FARPROC Proc) {
    TLock Lock(fMutex);
    TModule& Found = Module(Name);
    if (Proc != nullptr) {
        Found.Present = true;
        Found.Exports[ProcName] = Proc;
    } else {
        Found.Exports.erase(ProcName);
    }
}

void TFakeApi::AddDevice(std::u16string_view Path) {
    TLock Lock(fMutex);
    const auto [Device, Added] = fDevices.try_emplace(Fold(Path));
    if (Added) {
        Device->second.Dcb = fDefaultDcb;
    }
}

void TFakeApi::QueueInput(std::u16string_view Path, const std::vector<BYTE>& Bytes) {
    TLock Lock(fMutex);
    TDevice& Device = fDevices.at(Fold(Path));
    Device.Input.insert(Device.Input.end(), Bytes.begin(), Bytes.end());
    if (!Bytes.empty()) {
        RaiseEvents(Device, EV_RXCHAR);
    }
}

std::vector<BYTE> TFakeApi::Output(std::u16string_view Path) const {
    TLock Lock(fMutex);
    return fDevices.at(Fold(Path)).Output;
}

// --- Lookups (with the lock held) -----------------------------------------------------------

const TFakeApi::TValue* TFakeApi::TKey::Find(std::u16string_view Name) const {
    const std::u16string Folded = Fold(Name);
    for (const TValue& Value : Values) {
        if (Fold(Value.Name) == Folded) {
            return &Value;
        }
    }
    return nullptr;
}

void TFakeApi::TKey::Store(std::u16string_view Name, DWORD Type, std::vector<BYTE> Data) {
    if (auto* Existing = const_cast<TValue*>(Find(Name))) {
        Existing->Type = Type;
        Existing->Data = std::move(Data);
    } else {
        Values.push_back({std::u16string(Name), Type, std::move(Data)});
    }
}

TFakeApi::TKey& TFakeApi::CreateKey(const std::u16string& Path) {
    // Parents exist as on a real system; the first component after \REGISTRY is a hive.
    constexpr std::size_t HiveStart = std::u16string_view(u"\\REGISTRY").size();
    for (std::size_t Slash = Path.find(u'\\', HiveStart + 1); Slash != std::u16string::npos;
         Slash = Path.find(u'\\', Slash + 1)) {
        const std::u16string Parent = Path.substr(0, Slash);
        fKeys.try_emplace(Fold(Parent), TKey{Parent, std::nullopt, {}});
    }
    return fKeys.try_emplace(Fold(Path), TKey{Path, std::nullopt, {}}).first->second;
}

std::optional<std::u16string> TFakeApi::KeyPathOf(HKEY Key) const {
    if (auto Root = RootPath(Key)) {
        return Root;
    }
    const auto Open = fOpenKeys.find(Key);
    if (Open == fOpenKeys.end()) {
        return std::nullopt;
    }
    return Open->second;
}

TFakeApi::TKey* TFakeApi::FindKey(HKEY Key) {
    const auto Path = KeyPathOf(Key);
    if (!Path) {
        return nullptr;
    }
    const auto Found = fKeys.find(Fold(*Path));
    return Found != fKeys.end() ? &Found->second : nullptr;
}

const TFakeApi::TKey* TFakeApi::FindKey(HKEY Root, std::u16string_view KeyPath) const {
    const auto Found = fKeys.find(Fold(Join(RootPath(Root).value(), KeyPath)));
    return Found != fKeys.end() ? &Found->second : nullptr;
}

HKEY TFakeApi::OpenHandleFor(const TKey& Key) {
    const auto Handle = static_cast<HKEY>(NewHandle());
    fOpenKeys[Handle] = Key.Path;
    return Handle;
}

TFakeApi::TModule* TFakeApi::FindModule(std::u16string_view Name) {
    const auto Found = fModules.find(Fold(Name));
    return Found != fModules.end() && Found->second.Present ? &Found->second : nullptr;
}

TFakeApi::TModule* TFakeApi::FindModule(HMODULE Handle) {
    for (auto& [Name, Module] : fModules) {
        if (Module.Handle == Handle && Module.Present) {
            return &Module;
        }
    }
    return nullptr;
}

TFakeApi::TModule& TFakeApi::Module(std::u16string_view Name) {
    auto [Found, Added] = fModules.try_emplace(Fold(Name));
    if (Added) {
        Found->second.Handle = static_cast<HMODULE>(NewHandle());
    }
    return Found->second;
}

TFakeApi::TDevice* TFakeApi::FindDevice(HANDLE File) {
    const auto Open = fFiles.find(File);
    return Open != fFiles.end() ? &fDevices.at(Open->second) : nullptr;
}

// --- Errors and local memory ----------------------------------------------------------------

DWORD TFakeApi::GetLastError() {
    TLock Lock(fMutex);
    const auto Found = fLastErrors.find(std::this_thread::get_id());
    return Found != fLastErrors.end() ? Found->second : ERROR_SUCCESS;
}

void TFakeApi::SetLastError(DWORD dwErrCode) {
    TLock Lock(fMutex);
    SetError(dwErrCode);
}

DWORD TFakeApi::FormatMessageW(DWORD dwFlags, const void* /*lpSource*/, DWORD dwMessageId,
                               DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                               void* /*Arguments*/) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"FormatMessageW", {dwFlags, dwMessageId, dwLanguageId, nSize}})) {
        return DWORD(Script->Result);
    }
    const auto Message = fMessages.find(dwMessageId);
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || Message == fMessages.end()) {
        SetError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    const std::u16string& Text = Message->second;
    const std::size_t Bytes = (Text.size() + 1) * sizeof(WCHAR);
    LPWSTR Target = lpBuffer;
    if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
        Target = static_cast<LPWSTR>(std::malloc(Bytes));
        fLocalBlocks[Target] = Bytes;
        *reinterpret_cast<LPWSTR*>(lpBuffer) = Target;
    } else if (nSize < Text.size() + 1) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(Target, Text.c_str(), Bytes);
    return DWORD(Text.size());
}

HLOCAL TFakeApi::LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"LocalAlloc", {uFlags, uBytes}})) {
        return reinterpret_cast<HLOCAL>(Script->Result);
    }
    void* Block = std::malloc(std::max<SIZE_T>(uBytes, 1));
    // Without LMEM_ZEROINIT the block holds garbage, as it may on Windows.
    std::memset(Block, (uFlags & LMEM_ZEROINIT) != 0 ? 0 : 0xCD, uBytes);
    fLocalBlocks[Block] = uBytes;
    return Block;
}

HLOCAL TFakeApi::LocalFree(HLOCAL hMem) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"LocalFree", {Arg(hMem)}})) {
        return reinterpret_cast<HLOCAL>(Script->Result);
    }
    if (hMem == nullptr) {
        return nullptr;
    }
    if (fLocalBlocks.erase(hMem) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    std::free(hMem);
    return nullptr;
}

// --- Files and overlapped I/O ---------------------------------------------------------------

HANDLE TFakeApi::CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                             void* lpSecurityAttributes, DWORD dwCreationDisposition,
                             DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"CreateFileW",
                             {dwDesiredAccess, dwShareMode, Arg(lpSecurityAttributes),
                              dwCreationDisposition, dwFlagsAndAttributes, Arg(hTemplateFile)},
                             TextOf(lpFileName)})) {
        return reinterpret_cast<HANDLE>(Script->Result);
    }
    const std::u16string Path = Fold(TextOf(lpFileName));
    if (fDevices.count(Path) == 0) {
        SetError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE File = NewHandle();
    fFiles[File] = Path;
    return File;
}

BOOL TFakeApi::ReadFile(HANDLE hFile, void* lpBuffer, DWORD nNumberOfBytesToRead,
                        DWORD* lpNumberOfBytesRead, OVERLAPPED* lpOverlapped) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"ReadFile",
                             {Arg(hFile), nNumberOfBytesToRead, Arg(lpOverlapped)},
                             {},
                             Snapshot(lpOverlapped)})) {
        CopyBytes(lpBuffer, Script->Data.data(),
                  std::min<std::size_t>(Script->Data.size(), nNumberOfBytesToRead));
        Store(lpNumberOfBytesRead, Script->Transferred);
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const DWORD Count = DWORD(std::min<std::size_t>(Device->Input.size(), nNumberOfBytesToRead));
    std::copy_n(Device->Input.begin(), Count, static_cast<BYTE*>(lpBuffer));
    Device->Input.erase(Device->Input.begin(), Device->Input.begin() + Count);
    Store(lpNumberOfBytesRead, Count);
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = 0;
        lpOverlapped->InternalHigh = Count;
    }
    return TRUE;
}

BOOL TFakeApi::WriteFile(HANDLE hFile, const void* lpBuffer, DWORD nNumberOfBytesToWrite,
                         DWORD* lpNumberOfBytesWritten, OVERLAPPED* lpOverlapped) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"WriteFile",
                             {Arg(hFile), nNumberOfBytesToWrite, Arg(lpOverlapped)},
                             {},
                             Snapshot(lpOverlapped)})) {
        Store(lpNumberOfBytesWritten, Script->Transferred);
        return BOOL(Script->Result);
    }
    TDevice* Device = FindDevice(hFile);
    if (Device == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    const auto* Bytes = static_cast<const BYTE*>(lpBuffer);
    Device->Output.insert(Device->Output.end(), Bytes, Bytes + nNumberOfBytesToWrite);
    if (nNumberOfBytesToWrite > 0) {
        RaiseEvents(*Device, EV_TXEMPTY);
    }
    Store(lpNumberOfBytesWritten, nNumberOfBytesToWrite);
    if (lpOverlapped != nullptr) {
        lpOverlapped->Internal = 0;
        lpOverlapped->InternalHigh = nNumberOfBytesToWrite;
    }
    return TRUE;
}

BOOL TFakeApi::GetOverlappedResult(HANDLE hFile, OVERLAPPED* lpOverlapped,
                                   DWORD* lpNumberOfBytesTransferred, BOOL bWait) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetOverlappedResult",
                             {Arg(hFile), Arg(lpOverlapped), DWORD(bWait)},
                             {},
                             Snapshot(lpOverlapped)})) {
        Store(lpNumberOfBytesTransferred, Script->Transferred);
        return BOOL(Script->Result);
    }
    if (fFiles.count(hFile) == 0 || lpOverlapped == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Store(lpNumberOfBytesTransferred, DWORD(lpOverlapped->InternalHigh));
    return TRUE;
}

BOOL TFakeApi::CancelIo(HANDLE hFile) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"CancelIo", {Arg(hFile)}})) {
        return BOOL(Script->Result);
    }
    if (fFiles.count(hFile) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL TFakeApi::CloseHandle(HANDLE hObject) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"CloseHandle", {Arg(hObject)}})) {
        return BOOL(Script->Result);
    }
    if (TDevice* Device = FindDevice(hObject);
        Device != nullptr && Device->Wait && Device->Wait->File == hObject) {
        EndCommWait(*Device, STATUS_CANCELLED, 0);
    }
    if (fFiles.erase(hObject) == 0 && fEvents.erase(hObject) == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    fEventChanged.notify_all();
    return TRUE;
}

// --- Events ---------------------------------------------------------------------------------

HANDLE TFakeApi::CreateEventW(void* lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                              LPCWSTR lpName) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"CreateEventW",
                             {Arg(lpEventAttributes), DWORD(bManualReset), DWORD(bInitialState)},
                             TextOf(lpName)})) {
        return reinterpret_cast<HANDLE>(Script->Result);
    }
    const HANDLE Event = NewHandle();
    fEvents[Event] = {bManualReset != FALSE, bInitialState != FALSE};
    return Event;
}

BOOL TFakeApi::SetEvent(HANDLE hEvent) {
    return SignalEvent("SetEvent", hEvent, true);
}

BOOL TFakeApi::ResetEvent(HANDLE hEvent) {
    return SignalEvent("ResetEvent", hEvent, false);
}

BOOL TFakeApi::SignalEvent(const char* Operation, HANDLE hEvent, bool Signalled) {
    TLock Lock(fMutex);
    if (auto Script = Begin({Operation, {Arg(hEvent)}})) {
        return BOOL(Script->Result);
    }
    const auto Event = fEvents.find(hEvent);
    if (Event == fEvents.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Event->second.Signalled = Signalled;
    fEventChanged.notify_all();
    return TRUE;
}

DWORD TFakeApi::WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"WaitForSingleObject", {Arg(hHandle), dwMilliseconds}})) {
        return DWORD(Script->Result);
    }
    // Waits until the event is signalled or closed; iterators do not survive the wait.
    const auto Ready = [&] {
        const auto Event = fEvents.find(hHandle);
        return Event == fEvents.end() || Event->second.Signalled;
    };
    if (dwMilliseconds == INFINITE) {
        fEventChanged.wait(Lock, Ready);
    } else {
        fEventChanged.wait_for(Lock, std::chrono::milliseconds(dwMilliseconds), Ready);
    }
    const auto Event = fEvents.find(hHandle);
    if (Event == fEvents.end()) {
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!Event->second.Signalled) {
        return WAIT_TIMEOUT;
    }
    if (!Event->second.ManualReset) {
        Event->second.Signalled = false;
    }
    return WAIT_OBJECT_0;
}

// --- Modules --------------------------------------------------------------------------------

HMODULE TFakeApi::LoadLibraryW(LPCWSTR lpLibFileName) {
    return FindModuleHandle("LoadLibraryW", lpLibFileName, true);
}

HMODULE TFakeApi::GetModuleHandleW(LPCWSTR lpModuleName) {
    return FindModuleHandle("GetModuleHandleW", lpModuleName, false);
}

HMODULE TFakeApi::FindModuleHandle(const char* Operation, LPCWSTR Name, bool Load) {
    TLock Lock(fMutex);
    if (auto Script = Begin({Operation, {}, TextOf(Name)})) {
        return reinterpret_cast<HMODULE>(Script->Result);
    }
    TModule* Found = FindModule(TextOf(Name));
    if (Found == nullptr) {
        SetError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    Found->Loads += Load ? 1 : 0;
    return Found->Handle;
}

FARPROC TFakeApi::GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    TLock Lock(fMutex);
    const std::u16string Name = IsOrdinal(lpProcName) ? std::u16string() : TextOf(lpProcName);
    if (auto Script = Begin({"GetProcAddress", {Arg(hModule)}, Name})) {
        return reinterpret_cast<FARPROC>(Script->Result);
    }
    TModule* Found = FindModule(hModule);
    if (Found == nullptr) {
        SetError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const auto Export =
        IsOrdinal(lpProcName) ? Found->Exports.end() : Found->Exports.find(std::string(lpProcName));
    if (Export == Found->Exports.end()) {
        SetError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return Export->second;
}

BOOL TFakeApi::FreeLibrary(HMODULE hLibModule) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"FreeLibrary", {Arg(hLibModule)}})) {
        return BOOL(Script->Result);
    }
    TModule* Found = FindModule(hLibModule);
    if (Found == nullptr || Found->Loads == 0) {
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --Found->Loads;
    return TRUE;
}

// --- Time and system ------------------------------------------------------------------------

void TFakeApi::Sleep(DWORD dwMilliseconds) {
    {
        TLock Lock(fMutex);
        Begin({"Sleep", {dwMilliseconds}});
        fTickCount += dwMilliseconds;
    }
    std::this_thread::yield();
}

DWORD TFakeApi::GetTickCount() {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetTickCount", {}})) {
        return DWORD(Script->Result);
    }
    return fTickCount;
}

BOOL TFakeApi::GetVersionExW(OSVERSIONINFOW* lpVersionInformation) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetVersionExW", {Arg(lpVersionInformation)}})) {
        return BOOL(Script->Result);
    }
    if (lpVersionInformation == nullptr ||
        lpVersionInformation->dwOSVersionInfoSize != sizeof(OSVERSIONINFOW)) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const bool Legacy = fPlatformId == VER_PLATFORM_WIN32_WINDOWS;
    lpVersionInformation->dwMajorVersion = Legacy ? 4 : 10;
    lpVersionInformation->dwMinorVersion = Legacy ? 10 : 0;
    lpVersionInformation->dwBuildNumber = Legacy ? 2222 : 19045;
    lpVersionInformation->dwPlatformId = fPlatformId;
    lpVersionInformation->szCSDVersion[0] = 0;
    return TRUE;
}

// --- Threads and COM ------------------------------------------------------------------------

HANDLE TFakeApi::GetCurrentThread() {
    TLock Lock(fMutex);
    Begin({"GetCurrentThread", {}});
    // The pseudo handle Windows gives for the calling thread.
    return reinterpret_cast<HANDLE>(LONG_PTR(-2));
}

DWORD TFakeApi::GetCurrentThreadId() {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetCurrentThreadId", {}})) {
        return DWORD(Script->Result);
    }
    return ThreadIdOf(std::this_thread::get_id());
}

BOOL TFakeApi::SetThreadPriority(HANDLE hThread, int nPriority) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"SetThreadPriority", {Arg(hThread), std::uintptr_t(nPriority)}})) {
        return BOOL(Script->Result);
    }
    return TRUE;
}

HRESULT TFakeApi::CoInitializeEx(void* pvReserved, DWORD dwCoInit) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"CoInitializeEx", {Arg(pvReserved), dwCoInit}})) {
        return HRESULT(Script->Result);
    }
    return S_OK;
}

void TFakeApi::CoUninitialize() {
    TLock Lock(fMutex);
    Begin({"CoUninitialize", {}});
}

// --- Registry -------------------------------------------------------------------------------

LSTATUS TFakeApi::RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                                HKEY* phkResult) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"RegOpenKeyExW", {Arg(hKey), ulOptions, samDesired}, TextOf(lpSubKey)})) {
        return LSTATUS(Script->Result);
    }
    const auto Path = KeyPathOf(hKey);
    if (!Path) {
        return LSTATUS(ERROR_INVALID_HANDLE);
    }
    if (phkResult == nullptr) {
        return LSTATUS(ERROR_INVALID_PARAMETER);
    }
    const auto Found = fKeys.find(Fold(Join(*Path, TextOf(lpSubKey))));
    if (Found == fKeys.end()) {
        return LSTATUS(ERROR_FILE_NOT_FOUND);
    }
    *phkResult = OpenHandleFor(Found->second);
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS TFakeApi::RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD /*Reserved*/,
                                  LPWSTR /*lpClass*/, DWORD dwOptions, REGSAM samDesired,
                                  void* /*lpSecurityAttributes*/, HKEY* phkResult,
                                  DWORD* lpdwDisposition) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"RegCreateKeyExW", {Arg(hKey), dwOptions, samDesired}, TextOf(lpSubKey)})) {
        return LSTATUS(Script->Result);
    }
    const auto Path = KeyPathOf(hKey);
    if (!Path) {
        return LSTATUS(ERROR_INVALID_HANDLE);
    }
    if (phkResult == nullptr) {
        return LSTATUS(ERROR_INVALID_PARAMETER);
    }
    const std::u16string Full = Join(*Path, TextOf(lpSubKey));
    const bool Existed = fKeys.count(Fold(Full)) != 0;
    *phkResult = OpenHandleFor(CreateKey(Full));
    Store(lpdwDisposition, Existed ? REG_OPENED_EXISTING_KEY : REG_CREATED_NEW_KEY);
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS TFakeApi::RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, DWORD* lpcchValueName,
                                DWORD* /*lpReserved*/, DWORD* lpType, BYTE* lpData,
                                DWORD* lpcbData) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"RegEnumValueW",
                             {Arg(hKey), dwIndex, lpcchValueName ? *lpcchValueName : 0u,
                              lpcbData ? *lpcbData : 0u, Arg(lpType)}})) {
        return LSTATUS(Script->Result);
    }
    const TKey* Key = FindKey(hKey);
    if (Key == nullptr) {
        return LSTATUS(ERROR_INVALID_HANDLE);
    }
    if (lpValueName == nullptr || lpcchValueName == nullptr) {
        return LSTATUS(ERROR_INVALID_PARAMETER);
    }
    if (dwIndex >= Key->Values.size()) {
        return LSTATUS(ERROR_NO_MORE_ITEMS);
    }
    const TValue& Value = Key->Values[dwIndex];
    // The name capacity counts the terminator; the data capacity is in bytes.
    if (Value.Name.size() + 1 > *lpcchValueName) {
        return LSTATUS(ERROR_MORE_DATA);
    }
    if (lpData != nullptr && (lpcbData == nullptr || Value.Data.size() > *lpcbData)) {
        Store(lpcbData, DWORD(Value.Data.size()));
        return LSTATUS(ERROR_MORE_DATA);
    }
    std::memcpy(lpValueName, Value.Name.c_str(), (Value.Name.size() + 1) * sizeof(WCHAR));
    *lpcchValueName = DWORD(Value.Name.size());
    if (lpData != nullptr) {
        CopyBytes(lpData, Value.Data.data(), Value.Data.size());
    }
    Store(lpcbData, DWORD(Value.Data.size()));
    Store(lpType, Value.Type);
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS TFakeApi::RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD* /*lpReserved*/,
                                   DWORD* lpType, BYTE* lpData, DWORD* lpcbData) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"RegQueryValueExW",
                             {Arg(hKey), Arg(lpData), lpcbData != nullptr ? *lpcbData : 0u},
                             TextOf(lpValueName)})) {
        return LSTATUS(Script->Result);
    }
    const TKey* Key = FindKey(hKey);
    if (Key == nullptr) {
        return LSTATUS(ERROR_INVALID_HANDLE);
    }
    const TValue* Value = Key->Find(TextOf(lpValueName));
    if (Value == nullptr) {
        return LSTATUS(ERROR_FILE_NOT_FOUND);
    }
    if (lpData != nullptr && lpcbData == nullptr) {
        return LSTATUS(ERROR_INVALID_PARAMETER);
    }
    Store(lpType, Value->Type);
    const DWORD Capacity = lpcbData != nullptr ? *lpcbData : 0;
    Store(lpcbData, DWORD(Value->Data.size()));
    if (lpData == nullptr) {
        return LSTATUS(ERROR_SUCCESS);
    }
    if (Value->Data.size() > Capacity) {
        return LSTATUS(ERROR_MORE_DATA);
    }
    CopyBytes(lpData, Value->Data.data(), Value->Data.size());
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS TFakeApi::RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD /*Reserved*/, DWORD dwType,
                                 const BYTE* lpData, DWORD cbData) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"RegSetValueExW", {Arg(hKey), dwType, cbData}, TextOf(lpValueName)})) {
        return LSTATUS(Script->Result);
    }
    TKey* Key = FindKey(hKey);
    if (Key == nullptr) {
        return LSTATUS(ERROR_INVALID_HANDLE);
    }
    Key->Store(TextOf(lpValueName), dwType,
               std::vector<BYTE>(lpData, lpData + (lpData != nullptr ? cbData : 0)));
    return LSTATUS(ERROR_SUCCESS);
}

LSTATUS TFakeApi::RegCloseKey(HKEY hKey) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"RegCloseKey", {Arg(hKey)}})) {
        return LSTATUS(Script->Result);
    }
    if (RootPath(hKey)) {
        return LSTATUS(ERROR_SUCCESS);
    }
    return LSTATUS(fOpenKeys.erase(hKey) != 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
}

NTSTATUS TFakeApi::ZwQueryKey(HANDLE KeyHandle, int KeyInformationClass, void* KeyInformation,
                              ULONG Length, ULONG* ResultLength) {
    TLock Lock(fMutex);
    if (auto Script =
            Begin({"ZwQueryKey", {Arg(KeyHandle), std::uintptr_t(KeyInformationClass), Length}})) {
        Store(ResultLength, ULONG(Script->Transferred));
        return NTSTATUS(Script->Result);
    }
    if (KeyInformationClass != KeyNameInformation) {
        return STATUS_INVALID_PARAMETER;
    }
    const TKey* Key = FindKey(static_cast<HKEY>(KeyHandle));
    if (Key == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    // The record: the name's length in bytes, then the name without a terminator.
    const std::u16string& Name = Key->KernelName ? *Key->KernelName : Key->Path;
    const ULONG NameBytes = ULONG(Name.size() * sizeof(WCHAR));
    const ULONG Needed = ULONG(offsetof(KEY_NAME_INFORMATION, Name)) + NameBytes;
    Store(ResultLength, Needed);
    if (Length < offsetof(KEY_NAME_INFORMATION, Name) || KeyInformation == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* Record = static_cast<BYTE*>(KeyInformation);
    std::memcpy(Record, &NameBytes, sizeof(NameBytes));
    const ULONG Copied = std::min(Length, Needed) - ULONG(offsetof(KEY_NAME_INFORMATION, Name));
    CopyBytes(Record + offsetof(KEY_NAME_INFORMATION, Name), Name.data(),
              Copied / sizeof(WCHAR) * sizeof(WCHAR));
    return Length < Needed ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

// --- Print spooler and user interface -------------------------------------------------------

BOOL TFakeApi::EnumPortsW(LPWSTR pName, DWORD Level, BYTE* pPorts, DWORD cbBuf, DWORD* pcbNeeded,
                          DWORD* pcReturned) {
    TLock Lock(fMutex);
    if (auto Script = Begin({"EnumPortsW", {Level, Arg(pPorts), cbBuf}, TextOf(pName)})) {
        return BOOL(Script->Result);
    }
    if (Level != 1) {
        SetError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    // The records first, then the names they point to, all in the caller's buffer.
    std::size_t Needed = fSpoolerPorts.size() * sizeof(PORT_INFO_1W);
    for (const std::u16string& Name : fSpoolerPorts) {
        Needed += (Name.size() + 1) * sizeof(WCHAR);
    }
    Store(pcbNeeded, DWORD(Needed));
    Store(pcReturned, DWORD(0));
    if (pPorts == nullptr || cbBuf < Needed) {
        SetError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    BYTE* Names = pPorts + fSpoolerPorts.size() * sizeof(PORT_INFO_1W);
    for (std::size_t Index = 0; Index < fSpoolerPorts.size(); ++Index) {
        const std::u16string& Name = fSpoolerPorts[Index];
        const PORT_INFO_1W Record{reinterpret_cast<LPWSTR>(Names)};
        std::memcpy(pPorts + Index * sizeof(PORT_INFO_1W), &Record, sizeof(Record));
        std::memcpy(Names, Name.c_str(), (Name.size() + 1) * sizeof(WCHAR));
        Names += (Name.size() + 1) * sizeof(WCHAR);
    }
    Store(pcReturned, DWORD(fSpoolerPorts.size()));
    return TRUE;
}

HWND TFakeApi::GetForegroundWindow() {
    TLock Lock(fMutex);
    if (auto Script = Begin({"GetForegroundWindow", {}})) {
        return reinterpret_cast<HWND>(Script->Result);
    }
    return fForegroundWindow;
}

// --- Scope ----------------------------------------------------------------------------------

TFakeApiScope::TFakeApiScope(TFakeApi& Fake) : fPrevious(SetApi(&Fake)) {}

TFakeApiScope::~TFakeApiScope() {
    SetApi(fPrevious);
}

} // namespace lxtest
