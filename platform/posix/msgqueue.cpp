#include "msgqueue.h"

#include "lasterror.h"
#include "textcodec.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace winapi::posix {

namespace {

constexpr UINT FirstRegistered = 0xC000;
constexpr UINT LastRegistered = 0xFFFF;
// As on Windows: a thread that stops taking its messages cannot make the poster's memory grow
// without bound.
constexpr std::size_t QueueLimit = 10000;

struct TQueue {
    std::deque<MSG> Messages;
    std::condition_variable Posted;
};

bool Passes(const MSG& Message, UINT First, UINT Last) {
    return Message.message == WM_QUIT || (First == 0 && Last == 0) ||
           (Message.message >= First && Message.message <= Last);
}

// Our messages are all thread messages: null and -1 ("thread messages only") take them.
bool IsThreadFilter(HWND Window) {
    return Window == nullptr || Window == reinterpret_cast<HWND>(LONG_PTR(-1));
}

DWORD Milliseconds() {
    const auto Now = std::chrono::steady_clock::now().time_since_epoch();
    return DWORD(std::chrono::duration_cast<std::chrono::milliseconds>(Now).count());
}

} // namespace

struct TMessageQueues::TState {
    std::mutex Lock;
    std::map<std::u16string, UINT> Names; // by folded name
    UINT Next = FirstRegistered;
    std::unordered_map<DWORD, std::unique_ptr<TQueue>> Queues;

    // The caller's queue, made on its first use; with Lock held.
    TQueue& QueueOf(DWORD Caller, const std::shared_ptr<TState>& Self);
    // Takes (or, with Remove false, copies) the first message in the filter.
    bool Take(TQueue& Queue, MSG& Message, UINT First, UINT Last, bool Remove);
};

namespace {

// The queues a thread has, removed when the thread ends: thread ids are reused, and a new thread
// must not find the messages of an old one.
class TThreadQueues {
public:
    ~TThreadQueues() {
        for (const auto& [Owner, Id] : fOwned) {
            if (const std::shared_ptr<TMessageQueues::TState> State = Owner.lock()) {
                std::lock_guard Lock(State->Lock);
                State->Queues.erase(Id);
            }
        }
    }
    void Add(const std::shared_ptr<TMessageQueues::TState>& State, DWORD Id) {
        fOwned.emplace_back(State, Id);
    }

private:
    std::vector<std::pair<std::weak_ptr<TMessageQueues::TState>, DWORD>> fOwned;
};

thread_local TThreadQueues tThreadQueues;

} // namespace

TQueue& TMessageQueues::TState::QueueOf(DWORD Caller, const std::shared_ptr<TState>& Self) {
    std::unique_ptr<TQueue>& Queue = Queues[Caller];
    if (!Queue) {
        Queue = std::make_unique<TQueue>();
        tThreadQueues.Add(Self, Caller);
    }
    return *Queue;
}

bool TMessageQueues::TState::Take(TQueue& Queue, MSG& Message, UINT First, UINT Last, bool Remove) {
    for (auto It = Queue.Messages.begin(); It != Queue.Messages.end(); ++It) {
        if (Passes(*It, First, Last)) {
            Message = *It;
            if (Remove) {
                Queue.Messages.erase(It);
            }
            return true;
        }
    }
    return false;
}

TMessageQueues::TMessageQueues() : fState(std::make_shared<TState>()) {}

TMessageQueues::~TMessageQueues() = default;

UINT TMessageQueues::Register(LPCWSTR Name) {
    if (Name == nullptr || *Name == 0) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string Folded(Name);
    for (char16_t& Char : Folded) {
        Char = FoldCase(Char);
    }
    std::lock_guard Lock(fState->Lock);
    const auto Found = fState->Names.find(Folded);
    if (Found != fState->Names.end()) {
        return Found->second;
    }
    if (fState->Next > LastRegistered) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    return fState->Names[Folded] = fState->Next++;
}

BOOL TMessageQueues::Post(DWORD ThreadId, UINT Message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard Lock(fState->Lock);
    const auto Found = fState->Queues.find(ThreadId);
    if (Found == fState->Queues.end()) {
        SetLastErrorCode(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    TQueue& Queue = *Found->second;
    if (Queue.Messages.size() >= QueueLimit) {
        SetLastErrorCode(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    Queue.Messages.push_back(MSG{nullptr, Message, wParam, lParam, Milliseconds(), POINT{0, 0}});
    Queue.Posted.notify_one();
    return TRUE;
}

BOOL TMessageQueues::Get(DWORD Caller, MSG* Message, HWND Window, UINT First, UINT Last) {
    if (Message == nullptr) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!IsThreadFilter(Window)) {
        SetLastErrorCode(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    std::unique_lock Lock(fState->Lock);
    TQueue& Queue = fState->QueueOf(Caller, fState);
    Queue.Posted.wait(Lock, [&] { return fState->Take(Queue, *Message, First, Last, true); });
    return Message->message == WM_QUIT ? FALSE : TRUE;
}

BOOL TMessageQueues::Peek(DWORD Caller, MSG* Message, HWND Window, UINT First, UINT Last,
                          UINT Remove) {
    if (Message == nullptr) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!IsThreadFilter(Window)) {
        SetLastErrorCode(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::lock_guard Lock(fState->Lock);
    TQueue& Queue = fState->QueueOf(Caller, fState);
    return fState->Take(Queue, *Message, First, Last, (Remove & PM_REMOVE) != 0) ? TRUE : FALSE;
}

LRESULT DispatchThreadMessage(const MSG* Message) {
    if (Message != nullptr && Message->hwnd != nullptr) {
        SetLastErrorCode(ERROR_INVALID_WINDOW_HANDLE);
    }
    return 0;
}

} // namespace winapi::posix
