#include "serialport.h"

#include "lasterror.h"
#include "textcodec.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

// OVERLAPPED.Internal holds the 32-bit status, as on Windows.
ULONG_PTR StatusValue(NTSTATUS Status) {
    return ULONG_PTR(std::uint32_t(Status));
}

NTSTATUS StatusOf(const OVERLAPPED& Overlapped) {
    return NTSTATUS(std::uint32_t(Overlapped.Internal));
}

void ReportOpenError(const TPortLink& Link, int Errno) {
    const std::string Name = ToUtf8(Link.Name);
    switch (Errno) {
    case EBUSY:
    case EWOULDBLOCK:
        SetLastErrorCause(ERROR_ACCESS_DENIED,
                          "The port is already open in another program or handle");
        break;
    case ENOENT:
        SetLastErrorCause(ERROR_FILE_NOT_FOUND,
                          Name + " links to " + Link.DevicePath + ", which does not exist");
        break;
    case ENOTTY:
        SetLastErrorCause(ERROR_NOT_SUPPORTED,
                          Name + " links to " + Link.DevicePath + ", which is not a serial device");
        break;
    default:
        SetLastErrorFromErrno(Errno, Link.DevicePath);
        break;
    }
}

// Raw bytes both ways, no modem-control hang-ups on open. VMIN 1 matters: a non-blocking read
// then returns 0 only when the line has hung up, never merely because nothing has arrived.
bool MakeRaw(int Fd) {
    termios Settings{};
    if (::tcgetattr(Fd, &Settings) != 0) {
        return false;
    }
    ::cfmakeraw(&Settings);
    Settings.c_cflag |= CLOCAL | CREAD;
    Settings.c_cc[VMIN] = 1;
    Settings.c_cc[VTIME] = 0;
    return ::tcsetattr(Fd, TCSANOW, &Settings) == 0;
}

TUniqueFd MakeWakeFd() {
    return TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

} // namespace

std::shared_ptr<TSerialPort> TSerialPort::Open(const TPortLink& Link, bool Overlapped) {
    TUniqueFd Fd(::open(Link.LinkPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!Fd.IsValid()) {
        ReportOpenError(Link, errno);
        return nullptr;
    }
    // The lock is what refuses a second opener, root included (root passes TIOCEXCL). It belongs
    // to this open file description and goes with its last descriptor.
    if (::flock(Fd.Get(), LOCK_EX | LOCK_NB) != 0 || !MakeRaw(Fd.Get()) ||
        ::ioctl(Fd.Get(), TIOCEXCL) != 0) {
        ReportOpenError(Link, errno);
        return nullptr;
    }
    TUniqueFd ReadWake = MakeWakeFd();
    TUniqueFd WriteWake = MakeWakeFd();
    if (!ReadWake.IsValid() || !WriteWake.IsValid()) {
        SetLastErrorFromErrno(errno);
        ::ioctl(Fd.Get(), TIOCNXCL);
        return nullptr;
    }
    return std::shared_ptr<TSerialPort>(
        new TSerialPort(std::move(Fd), std::move(ReadWake), std::move(WriteWake), Overlapped));
}

TSerialPort::TSerialPort(TUniqueFd Fd, TUniqueFd ReadWake, TUniqueFd WriteWake, bool Overlapped)
    : fFd(std::move(Fd)), fOverlapped(Overlapped), fReads(TDirection::Read, std::move(ReadWake)),
      fWrites(TDirection::Write, std::move(WriteWake)) {}

TSerialPort::~TSerialPort() {
    Close();
}

BOOL TSerialPort::Read(void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
                       std::shared_ptr<TWaitEvent> Event) {
    return Request(fReads, static_cast<BYTE*>(Buffer), Count, Transferred, Overlapped,
                   std::move(Event));
}

BOOL TSerialPort::Write(const void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
                        std::shared_ptr<TWaitEvent> Event) {
    // The buffer is only read from; one request record serves both directions.
    return Request(fWrites, static_cast<BYTE*>(const_cast<void*>(Buffer)), Count, Transferred,
                   Overlapped, std::move(Event));
}

BOOL TSerialPort::Request(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred,
                          OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event) {
    if (fOverlapped && Overlapped != nullptr) {
        return Start(Queue, Buffer, Count, Transferred, Overlapped, std::move(Event));
    }
    // A synchronous call is an overlapped one on a private record, waited for here.
    OVERLAPPED Local{};
    if (Start(Queue, Buffer, Count, Transferred, &Local, nullptr) != FALSE) {
        return TRUE;
    }
    return LastErrorCode() == ERROR_IO_PENDING ? GetResult(&Local, Transferred, true) : FALSE;
}

BOOL TSerialPort::Start(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred,
                        OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event) {
    if (Transferred != nullptr) {
        *Transferred = 0;
    }
    std::lock_guard Lock(fLock);
    if (fClosing) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Overlapped->Internal = StatusValue(STATUS_PENDING);
    Overlapped->InternalHigh = 0;
    if (Event) {
        Event->Reset();
    }
    Queue.Requests.push_back(
        {Overlapped, Buffer, Count, 0, std::this_thread::get_id(), std::move(Event)});
    if (Queue.Requests.size() == 1) {
        Transfer(Queue, false);
    }
    if (StatusOf(*Overlapped) != STATUS_PENDING) {
        return Finish(*Overlapped, Transferred);
    }
    if (!Queue.Worker.joinable()) {
        Queue.Worker = std::thread(&TSerialPort::Serve, this, std::ref(Queue));
    }
    fWork.notify_all();
    SetLastErrorCode(ERROR_IO_PENDING);
    return FALSE;
}

void TSerialPort::Transfer(TQueue& Queue, bool HungUp) {
    TRequest& Head = Queue.Requests.front();
    while (Head.Done < Head.Count) {
        BYTE* At = Head.Buffer + Head.Done;
        const std::size_t Left = Head.Count - Head.Done;
        const ssize_t Moved = Queue.Direction == TDirection::Read ? ::read(fFd.Get(), At, Left)
                                                                  : ::write(fFd.Get(), At, Left);
        if (Moved > 0) {
            Head.Done += DWORD(Moved);
        } else if (Moved == 0) {
            // With VMIN 1 only a hung-up line reads as end of file.
            Complete(Queue, Queue.Requests.begin(), STATUS_DEVICE_NOT_CONNECTED);
            return;
        } else if (errno == EAGAIN) {
            if (HungUp) {
                Complete(Queue, Queue.Requests.begin(), STATUS_DEVICE_NOT_CONNECTED);
            }
            return;
        } else if (errno != EINTR) {
            Complete(Queue, Queue.Requests.begin(), StatusFromErrno(errno));
            return;
        }
    }
    Complete(Queue, Queue.Requests.begin(), STATUS_SUCCESS);
}

void TSerialPort::Complete(TQueue& Queue, std::deque<TRequest>::iterator Request, NTSTATUS Status) {
    Request->Overlapped->Internal = StatusValue(Status);
    Request->Overlapped->InternalHigh = Request->Done;
    if (Request->Event) {
        Request->Event->Set();
    }
    Queue.Requests.erase(Request);
    fCompleted.notify_all();
}

void TSerialPort::Abort(const std::function<bool(const TRequest&)>& Selected) {
    for (TQueue* Queue : {&fReads, &fWrites}) {
        bool Removed = false;
        for (auto It = Queue->Requests.begin(); It != Queue->Requests.end();) {
            if (Selected(*It)) {
                const auto Offset = It - Queue->Requests.begin();
                Complete(*Queue, It, STATUS_CANCELLED);
                It = Queue->Requests.begin() + Offset;
                Removed = true;
            } else {
                ++It;
            }
        }
        if (Removed) {
            Wake(*Queue);
        }
    }
}

bool TSerialPort::IsQueued(const OVERLAPPED* Overlapped) const {
    const auto Uses = [Overlapped](const TRequest& Request) {
        return Request.Overlapped == Overlapped;
    };
    return std::any_of(fReads.Requests.begin(), fReads.Requests.end(), Uses) ||
           std::any_of(fWrites.Requests.begin(), fWrites.Requests.end(), Uses);
}

BOOL TSerialPort::Finish(const OVERLAPPED& Overlapped, DWORD* Transferred) {
    if (Transferred != nullptr) {
        *Transferred = DWORD(Overlapped.InternalHigh);
    }
    const DWORD Error = ErrorFromStatus(StatusOf(Overlapped));
    if (Error != ERROR_SUCCESS) {
        SetLastErrorCode(Error);
        return FALSE;
    }
    return TRUE;
}

BOOL TSerialPort::GetResult(OVERLAPPED* Overlapped, DWORD* Transferred, bool Wait) {
    std::unique_lock Lock(fLock);
    if (IsQueued(Overlapped)) {
        if (!Wait) {
            SetLastErrorCode(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        fCompleted.wait(Lock, [&] { return !IsQueued(Overlapped); });
    }
    return Finish(*Overlapped, Transferred);
}

void TSerialPort::CancelCallerRequests() {
    const std::thread::id Caller = std::this_thread::get_id();
    std::lock_guard Lock(fLock);
    Abort([Caller](const TRequest& Request) { return Request.Issuer == Caller; });
}

void TSerialPort::Close() {
    {
        std::lock_guard Lock(fLock);
        if (fClosing) {
            return;
        }
        fClosing = true;
        Abort([](const TRequest&) { return true; });
        fWork.notify_all();
    }
    for (TQueue* Queue : {&fReads, &fWrites}) {
        Wake(*Queue);
        if (Queue->Worker.joinable()) {
            Queue->Worker.join();
        }
    }
    // Exclusive mode outlives the descriptor on a terminal that stays open elsewhere (the master
    // side of a pseudo-terminal): give it up so that the next opener is not refused.
    ::ioctl(fFd.Get(), TIOCNXCL);
    fFd.Reset();
}

void TSerialPort::Serve(TQueue& Queue) {
    std::unique_lock Lock(fLock);
    bool HungUp = false;
    for (;;) {
        fWork.wait(Lock, [&] { return fClosing || !Queue.Requests.empty(); });
        if (fClosing) {
            return;
        }
        Transfer(Queue, HungUp);
        if (Queue.Requests.empty()) {
            HungUp = false;
            continue;
        }
        Lock.unlock();
        HungUp = WaitReady(Queue);
        Lock.lock();
    }
}

bool TSerialPort::WaitReady(const TQueue& Queue) const {
    const short Ready = Queue.Direction == TDirection::Read ? POLLIN : POLLOUT;
    pollfd Fds[2] = {{fFd.Get(), Ready, 0}, {Queue.Wake.Get(), POLLIN, 0}};
    while (::poll(Fds, 2, -1) < 0 && errno == EINTR) {
    }
    if ((Fds[1].revents & POLLIN) != 0) {
        std::uint64_t Count = 0;
        [[maybe_unused]] const ssize_t Drained = ::read(Queue.Wake.Get(), &Count, sizeof(Count));
    }
    return (Fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TSerialPort::Wake(const TQueue& Queue) {
    const std::uint64_t One = 1;
    [[maybe_unused]] const ssize_t Written = ::write(Queue.Wake.Get(), &One, sizeof(One));
}

} // namespace winapi::posix
