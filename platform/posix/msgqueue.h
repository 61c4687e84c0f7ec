// Thread message queues and registered window messages, as user32 keeps them on Windows.
//
// RegisterWindowMessageW gives each name (compared without regard to case) one number from
// 0xC000 to 0xFFFF for the life of the object. A thread has a queue from its first GetMessageW or
// PeekMessageW on; PostThreadMessageW to a thread without one fails with ERROR_INVALID_THREAD_ID,
// as it does on Windows, and so does posting to a queue that holds 10000 messages already
// (ERROR_NOT_ENOUGH_QUOTA). A queue goes when its thread ends, so a thread that later receives the
// same id starts without one. There are no windows: only thread messages (window handle null)
// exist, and a filter or a dispatch naming a window fails with ERROR_INVALID_WINDOW_HANDLE.
#pragma once

#include "winapi.h"

#include <memory>
#include <string_view>

namespace winapi::posix {

class TMessageQueues {
public:
    TMessageQueues();
    ~TMessageQueues();
    TMessageQueues(const TMessageQueues&) = delete;
    TMessageQueues& operator=(const TMessageQueues&) = delete;

    UINT Register(LPCWSTR Name);
    BOOL Post(DWORD ThreadId, UINT Message, WPARAM wParam, LPARAM lParam);
    // GetMessageW for the calling thread, whose id is Caller: waits for a message in the filter
    // (WM_QUIT passes any filter) and returns 0 for WM_QUIT, -1 on a bad argument, else 1.
    BOOL Get(DWORD Caller, MSG* Message, HWND Window, UINT First, UINT Last);
    // PeekMessageW for the calling thread: like Get without waiting; FALSE when nothing is there.
    BOOL Peek(DWORD Caller, MSG* Message, HWND Window, UINT First, UINT Last, UINT Remove);

    struct TState;

private:
    std::shared_ptr<TState> fState;
};

// DispatchMessageW: a thread message has no window procedure to go to.
LRESULT DispatchThreadMessage(const MSG* Message);

} // namespace winapi::posix
