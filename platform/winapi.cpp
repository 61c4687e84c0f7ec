// Backend selection and the entry points that callers bind at run time.
#include "winapi.h"

#include <atomic>
#include <cstdint>
#include <cstring>

namespace winapi {

namespace {

// Null means the native backend. It is set at start, before other threads run, and tests swap it
// between cases; the atomic makes each swap visible to every thread without a data race.
std::atomic<TWinApi*> gApi{nullptr};

// Set by the application at start; read by whichever thread opens the dialog.
std::atomic<PFN_CommConfigDialog> gCommConfigDialog{nullptr};

BOOL LX_WINAPI ForwardCancelIo(HANDLE hFile) {
    return Api().CancelIo(hFile);
}

NTSTATUS LX_WINAPI ForwardZwQueryKey(HANDLE KeyHandle, int KeyInformationClass,
                                     void* KeyInformation, ULONG Length, ULONG* ResultLength) {
    return Api().ZwQueryKey(KeyHandle, KeyInformationClass, KeyInformation, Length, ResultLength);
}

// GetProcAddress also takes an ordinal in the low word of the name pointer; no name is there.
bool IsOrdinal(LPCSTR lpProcName) {
    return reinterpret_cast<std::uintptr_t>(lpProcName) <= 0xFFFFu;
}

} // namespace

TWinApi& Api() {
    TWinApi* Backend = gApi.load(std::memory_order_acquire);
    return Backend != nullptr ? *Backend : NativeApi();
}

TWinApi* SetApi(TWinApi* Backend) {
    return gApi.exchange(Backend, std::memory_order_acq_rel);
}

PFN_CommConfigDialog SetCommConfigDialogProvider(PFN_CommConfigDialog Provider) {
    return gCommConfigDialog.exchange(Provider, std::memory_order_acq_rel);
}

PFN_CommConfigDialog CommConfigDialogProvider() {
    return gCommConfigDialog.load(std::memory_order_acquire);
}

FARPROC ForwardingExport(LPCSTR lpProcName) {
    if (IsOrdinal(lpProcName)) {
        return nullptr;
    }
    if (std::strcmp(lpProcName, "CancelIo") == 0) {
        return AsFarProc(&ForwardCancelIo);
    }
    if (std::strcmp(lpProcName, "ZwQueryKey") == 0) {
        return AsFarProc(&ForwardZwQueryKey);
    }
    return nullptr;
}

} // namespace winapi
