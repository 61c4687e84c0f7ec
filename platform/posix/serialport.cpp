#include "serialport.h"

#include "commstate.h"
#include "lasterror.h"
#include "textcodec.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace winapi::posix {

namespace {

using TClock = std::chrono::steady_clock;

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

// A line control or status call the device refused: a line that has hung up, a device without
// the lines or the function asked for, or another error.
BOOL FailOnDevice(int Errno) {
    switch (Errno) {
    case EIO:
    case ENXIO:
    case ENODEV:
        SetLastErrorCause(ERROR_DEVICE_NOT_CONNECTED, "The line has hung up");
        break;
    case ENOTTY:
    case EINVAL:
        SetLastErrorCause(ERROR_NOT_SUPPORTED, "The device does not have this line or function");
        break;
    default:
        SetLastErrorFromErrno(Errno);
        break;
    }
    return FALSE;
}

bool GetLine(int Fd, termios2& Line) {
    return ::ioctl(Fd, TCGETS2, &Line) == 0;
}

bool SetLine(int Fd, const termios2& Line) {
    return ::ioctl(Fd, TCSETS2, &Line) == 0;
}

// Unix 98 pseudo-terminal slaves have the majors 136 to 143.
bool IsPseudoTerminal(int Fd) {
    struct stat Status {};
    return ::fstat(Fd, &Status) == 0 && S_ISCHR(Status.st_mode) && major(Status.st_rdev) >= 136 &&
           major(Status.st_rdev) <= 143;
}

bool HasCounters(int Fd) {
    serial_icounter_struct Counters{};
    return ::ioctl(Fd, TIOCGICOUNT, &Counters) == 0;
}

TUniqueFd MakeWakeFd() {
    return TUniqueFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
}

// Edge-triggered on the device: a wait wakes when bytes arrive, not while they sit in the queue.
TUniqueFd MakeEpoll(int Device, int Wake) {
    TUniqueFd Epoll(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event OnDevice{};
    OnDevice.events = EPOLLIN | EPOLLET;
    OnDevice.data.fd = Device;
    epoll_event OnWake{};
    OnWake.events = EPOLLIN;
    OnWake.data.fd = Wake;
    if (!Epoll.IsValid() || ::epoll_ctl(Epoll.Get(), EPOLL_CTL_ADD, Device, &OnDevice) != 0 ||
        ::epoll_ctl(Epoll.Get(), EPOLL_CTL_ADD, Wake, &OnWake) != 0) {
        return TUniqueFd();
    }
    return Epoll;
}

// How long a new comm-event wait with an event waits for a thread to come and watch the line
// before the worker watches it: longer than a caller takes to go from WaitCommEvent to its wait,
// short beside anything a caller that looks without waiting would notice.
constexpr long HandOverNs = 1'000'000;

void Drain(int Wake) {
    std::uint64_t Count = 0;
    [[maybe_unused]] const ssize_t Drained = ::read(Wake, &Count, sizeof(Count));
}

// --- Time-outs ------------------------------------------------------------------------------

// A total time-out beyond this is no time-out (and would overflow the clock).
constexpr std::uint64_t LongestTimeoutMs = std::uint64_t(1) << 40;

TClock::time_point After(TClock::time_point Start, std::uint64_t Milliseconds) {
    return Milliseconds >= LongestTimeoutMs ? TClock::time_point::max()
                                            : Start + std::chrono::milliseconds(Milliseconds);
}

// MAXDWORD, MAXDWORD, 0 < constant < MAXDWORD: return what is there, or wait up to the constant
// for the first byte.
bool WaitsForFirstByte(const COMMTIMEOUTS& Timeouts) {
    return Timeouts.ReadIntervalTimeout == MAXDWORD &&
           Timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
           Timeouts.ReadTotalTimeoutConstant != 0 && Timeouts.ReadTotalTimeoutConstant != MAXDWORD;
}

// MAXDWORD, 0, 0: return at once with what is there.
bool ReturnsAtOnce(const COMMTIMEOUTS& Timeouts) {
    return Timeouts.ReadIntervalTimeout == MAXDWORD && Timeouts.ReadTotalTimeoutMultiplier == 0 &&
           Timeouts.ReadTotalTimeoutConstant == 0;
}

bool HasInterval(const COMMTIMEOUTS& Timeouts) {
    return Timeouts.ReadIntervalTimeout != 0 && Timeouts.ReadIntervalTimeout != MAXDWORD;
}

// When the total time-out of a request that starts now ends.
TClock::time_point TotalDeadline(bool Reading, const COMMTIMEOUTS& Timeouts, DWORD Count,
                                 TClock::time_point Now) {
    if (Reading && WaitsForFirstByte(Timeouts)) {
        return After(Now, Timeouts.ReadTotalTimeoutConstant);
    }
    const DWORD Multiplier =
        Reading ? Timeouts.ReadTotalTimeoutMultiplier : Timeouts.WriteTotalTimeoutMultiplier;
    const DWORD Constant =
        Reading ? Timeouts.ReadTotalTimeoutConstant : Timeouts.WriteTotalTimeoutConstant;
    if (Multiplier == 0 && Constant == 0) {
        return TClock::time_point::max();
    }
    return After(Now, std::uint64_t(Multiplier) * Count + Constant);
}

int MillisecondsUntil(TClock::time_point When) {
    if (When == TClock::time_point::max()) {
        return -1;
    }
    const auto Left = std::chrono::ceil<std::chrono::milliseconds>(When - TClock::now()).count();
    return int(std::clamp<std::int64_t>(Left, 0, 1 << 30));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Opening and closing

std::shared_ptr<TSerialPort> TSerialPort::Open(const TPortLink& Link, bool Overlapped) {
    TDescriptors Fds;
    Fds.Device =
        TUniqueFd(::open(Link.LinkPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    const int Fd = Fds.Device.Get();
    if (!Fds.Device.IsValid()) {
        ReportOpenError(Link, errno);
        return nullptr;
    }
    // The lock is what refuses a second opener, root included (root passes TIOCEXCL). It belongs
    // to this open file description and goes with its last descriptor.
    termios2 Line{};
    if (::flock(Fd, LOCK_EX | LOCK_NB) != 0 || !GetLine(Fd, Line)) {
        ReportOpenError(Link, errno);
        return nullptr;
    }
    // Raw 8-bit bytes at the rate the device had; the caller's SetCommState follows.
    const DCB Initial = InitialDcb(Line);
    if (!SetLine(Fd, TermiosFromDcb(Initial, Line)) || ::ioctl(Fd, TIOCEXCL) != 0) {
        ReportOpenError(Link, errno);
        return nullptr;
    }
    Fds.ReadWake = MakeWakeFd();
    Fds.ReadCallerWake = MakeWakeFd();
    Fds.WriteWake = MakeWakeFd();
    Fds.WriteCallerWake = MakeWakeFd();
    Fds.EventWake = MakeWakeFd();
    Fds.EventTimer = TUniqueFd(::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (Fds.EventWake.IsValid()) {
        Fds.Epoll = MakeEpoll(Fd, Fds.EventWake.Get());
    }
    Fds.WaiterWake = MakeWakeFd();
    if (Fds.WaiterWake.IsValid()) {
        Fds.WaiterEpoll = MakeEpoll(Fd, Fds.WaiterWake.Get());
    }
    if (!Fds.ReadWake.IsValid() || !Fds.ReadCallerWake.IsValid() || !Fds.WriteWake.IsValid() ||
        !Fds.WriteCallerWake.IsValid() || !Fds.Epoll.IsValid() || !Fds.WaiterEpoll.IsValid() ||
        !Fds.EventTimer.IsValid()) {
        SetLastErrorFromErrno(errno);
        ::ioctl(Fd, TIOCNXCL);
        return nullptr;
    }
    return std::shared_ptr<TSerialPort>(new TSerialPort(std::move(Fds), Overlapped, Initial));
}

TSerialPort::TSerialPort(TDescriptors Fds, bool Overlapped, const DCB& Dcb)
    : fFd(std::move(Fds.Device)), fEventWake(std::move(Fds.EventWake)),
      fEventTimer(std::move(Fds.EventTimer)), fEpoll(std::move(Fds.Epoll)),
      fWaiterWake(std::move(Fds.WaiterWake)), fWaiterEpoll(std::move(Fds.WaiterEpoll)),
      fOverlapped(Overlapped), fFramed(!IsPseudoTerminal(fFd.Get())),
      fHasCounters(HasCounters(fFd.Get())),
      fReads(TDirection::Read, std::move(Fds.ReadWake), std::move(Fds.ReadCallerWake)),
      fWrites(TDirection::Write, std::move(Fds.WriteWake), std::move(Fds.WriteCallerWake)),
      fDcb(Dcb) {
    fErrors.Reset(ReadCounters());
}

TSerialPort::~TSerialPort() {
    Close();
}

void TSerialPort::Close() {
    {
        std::unique_lock Lock(fLock);
        if (fClosing) {
            return;
        }
        fClosing = true;
        const auto All = [](const TRequest&) { return true; };
        Abort(fReads, All);
        Abort(fWrites, All);
        if (fEventWait) {
            EndWait(STATUS_CANCELLED);
        }
        fReads.Work.notify_all();
        fWrites.Work.notify_all();
        fCompleted.notify_all();
        // A caller serving its own request polls the device outside the lock; the completions
        // above have woken it, and it lets go of the device before the descriptor is closed.
        fCompleted.wait(Lock, [this] {
            return !fReads.CallerServing && !fWrites.CallerServing && !fWaiterServing;
        });
    }
    for (TQueue* Queue : {&fReads, &fWrites}) {
        Wake(Queue->Wake);
        if (Queue->Worker.joinable()) {
            Queue->Worker.join();
        }
    }
    Wake(fEventWake);
    if (fEventWorker.joinable()) {
        fEventWorker.join();
    }
    // The driver's RS-485 settings would outlive us and surprise the next program: they go back
    // to what the board had, which may be a mode that was on before we came.
    if (fRs485AsFound) {
        ::ioctl(fFd.Get(), TIOCSRS485, &*fRs485AsFound);
    }
    // Exclusive mode outlives the descriptor on a terminal that stays open elsewhere (the master
    // side of a pseudo-terminal): give it up so that the next opener is not refused.
    ::ioctl(fFd.Get(), TIOCNXCL);
    fFd.Reset();
}

bool TSerialPort::RefusedAsClosing() const {
    if (fClosing) {
        SetLastErrorCode(ERROR_INVALID_HANDLE);
    }
    return fClosing;
}

// ---------------------------------------------------------------------------------------------
// Transfers

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
    if (RefusedAsClosing()) {
        return FALSE;
    }
    Overlapped->Internal = StatusValue(STATUS_PENDING);
    Overlapped->InternalHigh = 0;
    if (Event) {
        Event->Reset();
    }
    TRequest& Added = Queue.Requests.emplace_back();
    Added.Overlapped = Overlapped;
    Added.Buffer = Buffer;
    Added.Count = Count;
    Added.Issuer = std::this_thread::get_id();
    Added.Event = std::move(Event);
    Added.Timeouts = fTimeouts;
    if (Queue.Direction == TDirection::Write && Count > 0) {
        fEvents.OutputQueued();
    }
    if (Queue.Requests.size() == 1) {
        Transfer(Queue, false);
    }
    if (StatusOf(*Overlapped) != STATUS_PENDING) {
        return Finish(*Overlapped, Transferred);
    }
    RunWorker(Queue);
    SetLastErrorCode(ERROR_IO_PENDING);
    return FALSE;
}

void TSerialPort::RunWorker(TQueue& Queue) {
    if (!Queue.Worker.joinable()) {
        Queue.Worker = std::thread(&TSerialPort::Serve, this, std::ref(Queue));
    }
    Queue.Work.notify_one();
}

void TSerialPort::StartHead(TQueue& Queue) {
    TRequest& Head = Queue.Requests.front();
    if (!Head.Started) {
        Head.Started = true;
        Head.LastMoved = TClock::now();
        Head.Deadline = TotalDeadline(Queue.Direction == TDirection::Read, Head.Timeouts,
                                      Head.Count, Head.LastMoved);
    }
}

bool TSerialPort::Transfer(TQueue& Queue, bool HungUp) {
    StartHead(Queue);
    TRequest& Head = Queue.Requests.front();
    const bool Reading = Queue.Direction == TDirection::Read;
    while (Head.Done < Head.Count) {
        BYTE* At = Head.Buffer + Head.Done;
        const std::size_t Left = Head.Count - Head.Done;
        const ssize_t Moved = Reading ? ::read(fFd.Get(), At, Left) : ::write(fFd.Get(), At, Left);
        if (Moved > 0) {
            Head.Done += DWORD(Moved);
            Head.LastMoved = TClock::now();
            fTaken += Reading ? std::uint64_t(Moved) : 0;
            continue;
        }
        NTSTATUS Ended = STATUS_PENDING;
        if (Moved == 0 || (errno == EAGAIN && HungUp)) {
            // With VMIN 1 only a hung-up line reads as end of file.
            Ended = STATUS_DEVICE_NOT_CONNECTED;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN) {
            Ended = StatusFromErrno(errno);
        } else if (Head.TimedOut(Reading, TClock::now())) {
            // A time-out is a success with the bytes moved so far.
            Ended = STATUS_TIMEOUT;
        }
        if (Ended == STATUS_PENDING) {
            return false;
        }
        Complete(Queue, Queue.Requests.begin(), Ended);
        return true;
    }
    Complete(Queue, Queue.Requests.begin(), STATUS_SUCCESS);
    return true;
}

bool TSerialPort::TRequest::TimedOut(bool Reading, TClock::time_point Now) const {
    if (Reading && ReturnsAtOnce(Timeouts)) {
        return true;
    }
    if (Reading && Done > 0 && WaitsForFirstByte(Timeouts)) {
        return true;
    }
    return Now >= NextTimeout(Reading);
}

TSerialPort::TClock::time_point TSerialPort::TRequest::NextTimeout(bool Reading) const {
    // The interval counts from the last byte, once one has come.
    if (Reading && Done > 0 && HasInterval(Timeouts)) {
        return std::min(Deadline,
                        LastMoved + std::chrono::milliseconds(Timeouts.ReadIntervalTimeout));
    }
    return Deadline;
}

void TSerialPort::Complete(TQueue& Queue, std::deque<TRequest>::iterator Request, NTSTATUS Status) {
    if (Request->Overlapped != nullptr) {
        Request->Overlapped->Internal = StatusValue(Status);
        Request->Overlapped->InternalHigh = Request->Done;
    }
    if (Request->Event) {
        Request->Event->Set();
    }
    Queue.Requests.erase(Request);
    fCompleted.notify_all();
    if (Queue.CallerServing) {
        Wake(Queue.CallerWake);
    }
    // The output may have drained: a pending wait looks for EV_TXEMPTY. A finished write changes
    // nothing else a wait looks at, so without EV_TXEMPTY in the mask the wait sleeps on (one
    // thread wake-up less per exchange).
    if (Queue.Direction == TDirection::Write && (fEvents.Mask() & EV_TXEMPTY) != 0) {
        WakeEvents();
    }
}

void TSerialPort::Abort(TQueue& Queue, const std::function<bool(const TRequest&)>& Selected) {
    bool Removed = false;
    for (auto It = Queue.Requests.begin(); It != Queue.Requests.end();) {
        if (Selected(*It)) {
            const auto Offset = It - Queue.Requests.begin();
            Complete(Queue, It, STATUS_CANCELLED);
            It = Queue.Requests.begin() + Offset;
            Removed = true;
        } else {
            ++It;
        }
    }
    if (Removed) {
        Wake(Queue.Wake);
    }
}

bool TSerialPort::IsQueued(const OVERLAPPED* Overlapped) const {
    const auto Uses = [Overlapped](const TRequest& Request) {
        return Request.Overlapped == Overlapped;
    };
    return std::any_of(fReads.Requests.begin(), fReads.Requests.end(), Uses) ||
           std::any_of(fWrites.Requests.begin(), fWrites.Requests.end(), Uses) ||
           (fEventWait && fEventWait->Overlapped == Overlapped);
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
        ServeUntilDone(Lock, Overlapped);
    }
    return Finish(*Overlapped, Transferred);
}

// A caller that waits for its transfer moves the bytes itself while its request heads its queue,
// polling the device beside the worker: when they come it completes the request without waiting
// to be woken by the worker, which saves a thread wake-up on every exchange. The port lock decides
// which of the two moves them; a completion by anyone else (the worker, a cancel, a close) wakes
// the caller through the queue's CallerWake.
void TSerialPort::ServeUntilDone(std::unique_lock<std::mutex>& Lock, const OVERLAPPED* Overlapped) {
    while (IsQueued(Overlapped)) {
        // One caller at a time polls for a queue (two may wait for the same record).
        TQueue* Queue = fClosing ? nullptr : QueueHeadedBy(Overlapped);
        if (Queue == nullptr || Queue->CallerServing) {
            // A comm-event wait that no thread watches: the worker watches it now, not when the
            // timer of StartWait runs out.
            if (!fClosing && fEventWait && fEventWait->Overlapped == Overlapped &&
                !fEventWatching && !fWaiterServing) {
                Wake(fEventWake);
            }
            fCompleted.wait(Lock);
            continue;
        }
        const bool Reading = Queue->Direction == TDirection::Read;
        // A request that came to the head when the one before it ended has not started yet: its
        // time-outs start now, or the wait below would have none.
        StartHead(*Queue);
        const int Timeout = MillisecondsUntil(Queue->Requests.front().NextTimeout(Reading));
        Queue->CallerServing = true;
        if (Queue->WorkerPolling) {
            Wake(Queue->Wake); // the worker stands aside
        }
        Lock.unlock();
        const bool HungUp = WaitReady(*Queue, Queue->CallerWake, Timeout);
        Lock.lock();
        Queue->CallerServing = false;
        fCompleted.notify_all(); // Close() may wait for the device to be let go
        if (QueueHeadedBy(Overlapped) == Queue) {
            Transfer(*Queue, HungUp);
        }
        // Done with this queue: the next request, and its time-outs, are the worker's.
        if (QueueHeadedBy(Overlapped) != Queue && !Queue->Requests.empty()) {
            Queue->Work.notify_one();
        }
    }
}

TSerialPort::TQueue* TSerialPort::QueueHeadedBy(const OVERLAPPED* Overlapped) {
    for (TQueue* Queue : {&fReads, &fWrites}) {
        if (!Queue->Requests.empty() && Queue->Requests.front().Overlapped == Overlapped) {
            return Queue;
        }
    }
    return nullptr;
}

void TSerialPort::CancelCallerRequests() {
    const std::thread::id Caller = std::this_thread::get_id();
    const auto ByCaller = [Caller](const TRequest& Request) { return Request.Issuer == Caller; };
    std::lock_guard Lock(fLock);
    Abort(fReads, ByCaller);
    Abort(fWrites, ByCaller);
    if (fEventWait && fEventWait->Issuer == Caller) {
        EndWait(STATUS_CANCELLED);
    }
}

void TSerialPort::Serve(TQueue& Queue) {
    std::unique_lock Lock(fLock);
    bool HungUp = false;
    for (;;) {
        // While a caller serves its own request, its bytes and time-outs are its own to watch.
        Queue.Work.wait(
            Lock, [&] { return fClosing || (!Queue.Requests.empty() && !Queue.CallerServing); });
        if (fClosing) {
            return;
        }
        // A request that completes lets the next one start at once: its time-outs may end it
        // without the device ever becoming ready.
        while (!Queue.Requests.empty() && Transfer(Queue, HungUp)) {
        }
        if (Queue.Requests.empty()) {
            HungUp = false;
            continue;
        }
        const bool Reading = Queue.Direction == TDirection::Read;
        const int Timeout = MillisecondsUntil(Queue.Requests.front().NextTimeout(Reading));
        Queue.WorkerPolling = true;
        Lock.unlock();
        HungUp = WaitReady(Queue, Queue.Wake, Timeout);
        Lock.lock();
        Queue.WorkerPolling = false;
    }
}

bool TSerialPort::WaitReady(const TQueue& Queue, const TUniqueFd& Wake, int TimeoutMs) const {
    const short Ready = Queue.Direction == TDirection::Read ? POLLIN : POLLOUT;
    pollfd Fds[2] = {{fFd.Get(), Ready, 0}, {Wake.Get(), POLLIN, 0}};
    while (::poll(Fds, 2, TimeoutMs) < 0 && errno == EINTR) {
    }
    if ((Fds[1].revents & POLLIN) != 0) {
        Drain(Wake.Get());
    }
    return (Fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void TSerialPort::Wake(const TUniqueFd& Wake) {
    const std::uint64_t One = 1;
    [[maybe_unused]] const ssize_t Written = ::write(Wake.Get(), &One, sizeof(One));
}

BOOL TSerialPort::TransmitChar(BYTE Char) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    TRequest& Added = fWrites.Requests.emplace_front();
    Added.Own = std::make_unique<BYTE>(Char);
    Added.Buffer = Added.Own.get();
    Added.Count = 1;
    Added.Issuer = std::this_thread::get_id();
    Added.Timeouts = fTimeouts;
    fEvents.OutputQueued();
    if (fWrites.Requests.size() == 1) {
        Transfer(fWrites, false);
    }
    if (!fWrites.Requests.empty()) {
        RunWorker(fWrites);
    }
    return TRUE;
}

BOOL TSerialPort::Flush() {
    std::unique_lock Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    for (;;) {
        if (fClosing) {
            SetLastErrorCode(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        if (!fWrites.Requests.empty()) {
            fCompleted.wait(Lock);
            continue;
        }
        int Pending = 0;
        if (::ioctl(fFd.Get(), TIOCOUTQ, &Pending) != 0) {
            return FailOnDevice(errno);
        }
        if (!DriverSending()) {
            return TRUE;
        }
        // The driver does not announce that it has drained; look again a byte time later.
        fCompleted.wait_for(Lock, std::chrono::milliseconds(1));
    }
}

BOOL TSerialPort::Purge(DWORD Flags) {
    if ((Flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) != 0) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    const auto All = [](const TRequest&) { return true; };
    if ((Flags & PURGE_TXABORT) != 0) {
        Abort(fWrites, All);
    }
    if ((Flags & PURGE_RXABORT) != 0) {
        Abort(fReads, All);
    }
    if ((Flags & PURGE_RXCLEAR) != 0) {
        int Waiting = 0;
        ::ioctl(fFd.Get(), FIONREAD, &Waiting);
        if (::ioctl(fFd.Get(), TCFLSH, TCIFLUSH) != 0) {
            return FailOnDevice(errno);
        }
        // Purged bytes count as taken; bytes that came between the count and the flush are gone
        // too, and must not hide the next arrival from EV_RXCHAR.
        fTaken += std::uint64_t(std::max(Waiting, 0));
        fEvents.InputPurged(Snapshot().Arrived);
    }
    if ((Flags & PURGE_TXCLEAR) != 0 && ::ioctl(fFd.Get(), TCFLSH, TCOFLUSH) != 0) {
        return FailOnDevice(errno);
    }
    WakeEvents();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Settings

BOOL TSerialPort::SetState(const DCB& Dcb) {
    if (!IsValidDcb(Dcb)) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    termios2 Current{};
    if (!GetLine(fFd.Get(), Current)) {
        return FailOnDevice(errno);
    }
    const termios2 Asked = TermiosFromDcb(Dcb, Current);
    termios2 Got{};
    if (!SetLine(fFd.Get(), Asked) || !GetLine(fFd.Get(), Got)) {
        return FailOnDevice(errno);
    }
    // A driver adjusts what it cannot do; Windows drivers refuse such a DCB and keep the old one.
    if (!TakesSettings(Asked, Got, fFramed)) {
        SetLine(fFd.Get(), Current);
        SetLastErrorCause(ERROR_INVALID_PARAMETER, "The device cannot take these line settings");
        return FALSE;
    }
    fDcb = Dcb;
    fDcb.DCBlength = sizeof(DCB);
    const bool Toggle = (Dcb.Flags & DCB_fRtsControlMask) == DCB_fRtsControlToggle;
    if (Toggle != fDriverToggles) {
        fDriverToggles = SetDriverToggle(Toggle) && Toggle;
    }
    ApplyLineModes(Dcb, fDriverToggles);
    if (Toggle && !fDriverToggles) {
        SetLastErrorCause(ERROR_NOT_SUPPORTED,
                          "The driver cannot switch RTS by itself; the caller has to switch it");
        return FALSE;
    }
    return TRUE;
}

BOOL TSerialPort::GetState(DCB& Dcb) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    termios2 Line{};
    if (!GetLine(fFd.Get(), Line)) {
        return FailOnDevice(errno);
    }
    Dcb = LineDcb(Line, fDcb, fFramed);
    return TRUE;
}

BOOL TSerialPort::SetTimeouts(const COMMTIMEOUTS& Timeouts) {
    // Waiting for ever for the first byte and then returning at once is no time-out at all.
    if (Timeouts.ReadIntervalTimeout == MAXDWORD &&
        Timeouts.ReadTotalTimeoutMultiplier == MAXDWORD &&
        Timeouts.ReadTotalTimeoutConstant == MAXDWORD) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    // Requests already made keep the time-outs they were made with.
    fTimeouts = Timeouts;
    return TRUE;
}

BOOL TSerialPort::SetQueueSizes(DWORD InQueue, DWORD OutQueue) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    fInQueue = InQueue;
    fOutQueue = OutQueue;
    return TRUE;
}

BOOL TSerialPort::GetProperties(COMMPROP& Properties) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    Properties = COMMPROP{};
    Properties.wPacketLength = sizeof(COMMPROP);
    Properties.wPacketVersion = 2;
    Properties.dwServiceMask = SP_SERIALCOMM;
    Properties.dwMaxBaud = BAUD_USER;
    Properties.dwProvSubType = PST_RS232;
    // No special characters: the event character is not watched for.
    Properties.dwProvCapabilities = PCF_DTRDSR | PCF_RTSCTS | PCF_RLSD | PCF_PARITY_CHECK |
                                    PCF_XONXOFF | PCF_SETXCHAR | PCF_TOTALTIMEOUTS |
                                    PCF_INTTIMEOUTS;
    Properties.dwSettableParams = SP_PARITY | SP_BAUD | SP_DATABITS | SP_STOPBITS | SP_HANDSHAKING |
                                  SP_PARITY_CHECK | SP_RLSD;
    Properties.dwSettableBaud = BAUD_075 | BAUD_110 | BAUD_134_5 | BAUD_150 | BAUD_300 | BAUD_600 |
                                BAUD_1200 | BAUD_1800 | BAUD_2400 | BAUD_4800 | BAUD_7200 |
                                BAUD_9600 | BAUD_14400 | BAUD_19200 | BAUD_38400 | BAUD_56K |
                                BAUD_128K | BAUD_115200 | BAUD_57600 | BAUD_USER;
    Properties.wSettableData = DATABITS_5 | DATABITS_6 | DATABITS_7 | DATABITS_8;
    Properties.wSettableStopParity = STOPBITS_10 | STOPBITS_15 | STOPBITS_20 | PARITY_NONE |
                                     PARITY_ODD | PARITY_EVEN | PARITY_MARK | PARITY_SPACE;
    Properties.dwCurrentTxQueue = fOutQueue;
    Properties.dwCurrentRxQueue = fInQueue;
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Line control and status

BOOL TSerialPort::Escape(DWORD Function) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    int Done = -1;
    const int Fd = fFd.Get();
    const int Rts = TIOCM_RTS;
    const int Dtr = TIOCM_DTR;
    switch (Function) {
    case SETXOFF:
        Done = ::ioctl(Fd, TCXONC, TCOOFF);
        fOutputHeld = fOutputHeld || Done == 0;
        break;
    case SETXON:
        Done = ::ioctl(Fd, TCXONC, TCOON);
        fOutputHeld = fOutputHeld && Done != 0;
        break;
    case SETRTS:
        Done = ::ioctl(Fd, TIOCMBIS, &Rts);
        break;
    case CLRRTS:
        Done = ::ioctl(Fd, TIOCMBIC, &Rts);
        break;
    case SETDTR:
        Done = ::ioctl(Fd, TIOCMBIS, &Dtr);
        break;
    case CLRDTR:
        Done = ::ioctl(Fd, TIOCMBIC, &Dtr);
        break;
    case SETBREAK:
        Done = ::ioctl(Fd, TIOCSBRK);
        break;
    case CLRBREAK:
        Done = ::ioctl(Fd, TIOCCBRK);
        break;
    default:
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Done == 0 ? TRUE : FailOnDevice(errno);
}

BOOL TSerialPort::GetModemStatus(DWORD& Status) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    int Lines = 0;
    if (::ioctl(fFd.Get(), TIOCMGET, &Lines) != 0) {
        return FailOnDevice(errno);
    }
    Status =
        ((Lines & TIOCM_CTS) != 0 ? MS_CTS_ON : 0) | ((Lines & TIOCM_DSR) != 0 ? MS_DSR_ON : 0) |
        ((Lines & TIOCM_RI) != 0 ? MS_RING_ON : 0) | ((Lines & TIOCM_CD) != 0 ? MS_RLSD_ON : 0);
    return TRUE;
}

BOOL TSerialPort::ClearError(DWORD* Errors, COMSTAT* Stat) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    int Waiting = 0;
    int InDriver = 0;
    if (::ioctl(fFd.Get(), FIONREAD, &Waiting) != 0 ||
        ::ioctl(fFd.Get(), TIOCOUTQ, &InDriver) != 0) {
        return FailOnDevice(errno);
    }
    const DWORD Found = fErrors.Take(ReadCounters());
    if (Errors != nullptr) {
        *Errors = Found;
    }
    if (Stat != nullptr) {
        Stat->Flags = HoldFlags();
        Stat->cbInQue = DWORD(std::max(Waiting, 0));
        // The byte in the transmitter counts as not yet sent: RTS must not drop under it.
        const std::uint64_t Out = QueuedOutput() + std::uint64_t(std::max(InDriver, 0)) +
                                  (InDriver <= 0 && ShiftingOut() ? 1 : 0);
        Stat->cbOutQue = DWORD(std::min<std::uint64_t>(Out, MAXDWORD));
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Comm events

BOOL TSerialPort::SetMask(DWORD Mask) {
    constexpr DWORD Known = EV_RXCHAR | EV_RXFLAG | EV_TXEMPTY | EV_CTS | EV_DSR | EV_RLSD |
                            EV_BREAK | EV_ERR | EV_RING | EV_PERR | EV_RX80FULL | EV_EVENT1 |
                            EV_EVENT2;
    if ((Mask & ~Known) != 0) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    fEvents.SetMask(Mask, Snapshot());
    if (fEventWait) {
        *fEventWait->Mask = 0;
        EndWait(STATUS_SUCCESS);
    }
    return TRUE;
}

BOOL TSerialPort::WaitEvent(DWORD* Mask, OVERLAPPED* Overlapped,
                            std::shared_ptr<TWaitEvent> Event) {
    if (fOverlapped && Overlapped != nullptr) {
        return StartWait(Mask, Overlapped, std::move(Event));
    }
    OVERLAPPED Local{};
    if (StartWait(Mask, &Local, nullptr) != FALSE) {
        return TRUE;
    }
    return LastErrorCode() == ERROR_IO_PENDING ? GetResult(&Local, nullptr, true) : FALSE;
}

BOOL TSerialPort::StartWait(DWORD* Mask, OVERLAPPED* Overlapped,
                            std::shared_ptr<TWaitEvent> Event) {
    std::lock_guard Lock(fLock);
    if (RefusedAsClosing()) {
        return FALSE;
    }
    if (fEventWait || fEvents.Mask() == 0) {
        SetLastErrorCode(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Overlapped->Internal = StatusValue(STATUS_PENDING);
    Overlapped->InternalHigh = 0;
    if (Event) {
        Event->Reset();
    }
    fEventWait = TEventWait{Overlapped, Mask, std::this_thread::get_id(), std::move(Event)};
    if (TryEndWait(Snapshot())) {
        return Finish(*Overlapped, nullptr);
    }
    if (!fEventWorker.joinable()) {
        fEventWorker = std::thread(&TSerialPort::ServeEvents, this);
    }
    if (fEventWait->Event) {
        // The thread that waits for the event watches the line: the worker is not woken now, only
        // when the timer runs out while no thread watches. Setting it again moves it on, so while
        // waits follow each other quickly it never runs out.
        fEventWait->Event->Serve(weak_from_this());
        const itimerspec HandOver{{0, 0}, {0, HandOverNs}};
        ::timerfd_settime(fEventTimer.Get(), 0, &HandOver, nullptr);
    } else {
        Wake(fEventWake);
    }
    SetLastErrorCode(ERROR_IO_PENDING);
    return FALSE;
}

bool TSerialPort::TryEndWait(const TLineSnapshot& Now) {
    if (Now.HungUp) {
        EndWait(STATUS_DEVICE_NOT_CONNECTED);
        return true;
    }
    const DWORD Events = fEvents.Occurred(Now);
    if (Events == 0) {
        return false;
    }
    fEvents.Reported(Events, Now);
    *fEventWait->Mask = Events;
    EndWait(STATUS_SUCCESS);
    return true;
}

void TSerialPort::EndWait(NTSTATUS Status) {
    fEventWait->Overlapped->Internal = StatusValue(Status);
    fEventWait->Overlapped->InternalHigh = 0;
    if (fEventWait->Event) {
        fEventWait->Event->Set();
        fEventWait->Event->EndServe();
    }
    fEventWait.reset();
    fCompleted.notify_all();
}

void TSerialPort::ServeEvents() {
    std::unique_lock Lock(fLock);
    while (!fClosing) {
        // A thread waiting for the wait's event watches the line itself meanwhile.
        if (!fEventWait || fWaiterServing) {
            Lock.unlock();
            WaitForTurn();
            Lock.lock();
            continue;
        }
        const TLineSnapshot Now = Snapshot();
        if (TryEndWait(Now)) {
            continue;
        }
        const int Timeout = fEvents.PollInterval(Now);
        fEventWatching = true;
        Lock.unlock();
        WaitForLine(fEpoll, fEventWake, Timeout);
        Lock.lock();
        fEventWatching = false;
    }
}

void TSerialPort::WaitForTurn() const {
    pollfd Fds[2] = {{fEventWake.Get(), POLLIN, 0}, {fEventTimer.Get(), POLLIN, 0}};
    while (::poll(Fds, 2, -1) < 0 && errno == EINTR) {
    }
    for (const pollfd& Fd : Fds) {
        if ((Fd.revents & POLLIN) != 0) {
            Drain(Fd.fd);
        }
    }
}

void TSerialPort::ServeWaiter(const TWaitEvent& Event, TClock::time_point Deadline) {
    std::unique_lock Lock(fLock);
    const auto Pending = [&] {
        return !fClosing && fEventWait && fEventWait->Event.get() == &Event;
    };
    if (!Pending()) {
        return;
    }
    // Two threads wait for the same event: one polls, the other hears of the end.
    if (fWaiterServing) {
        if (Deadline == TClock::time_point::max()) {
            fCompleted.wait(Lock);
        } else {
            fCompleted.wait_until(Lock, Deadline);
        }
        return;
    }
    while (Pending()) {
        const TLineSnapshot Now = Snapshot();
        if (TryEndWait(Now)) {
            return;
        }
        const int Left = MillisecondsUntil(Deadline);
        if (Left == 0) {
            break;
        }
        const int Poll = fEvents.PollInterval(Now);
        const int Timeout = Poll < 0 ? Left : Left < 0 ? Poll : std::min(Poll, Left);
        fWaiterServing = true;
        if (fEventWatching) {
            Wake(fEventWake); // the worker stands aside
        }
        Lock.unlock();
        const bool Woken = WaitForLine(fWaiterEpoll, fWaiterWake, Timeout);
        Lock.lock();
        fWaiterServing = false;
        fCompleted.notify_all(); // Close() may wait for the device to be let go
        // Woken because the line may have changed (a finished write, a purge) or the event was
        // set: only the latter ends the watch.
        if (Woken && Event.Signalled()) {
            break;
        }
    }
    // Leaving with a wait pending (this one after a time-out or a SetEvent, or one started
    // meanwhile): the worker watches again.
    if (!fClosing && fEventWait) {
        Wake(fEventWake);
    }
}

void TSerialPort::WakeWaiter() {
    Wake(fWaiterWake);
}

bool TSerialPort::WaitForLine(const TUniqueFd& Epoll, const TUniqueFd& Wake, int TimeoutMs) const {
    epoll_event Ready[2];
    int Count = 0;
    while ((Count = ::epoll_wait(Epoll.Get(), Ready, 2, TimeoutMs)) < 0 && errno == EINTR) {
    }
    bool Woken = false;
    for (int Index = 0; Index < Count; ++Index) {
        if (Ready[Index].data.fd == Wake.Get()) {
            Drain(Wake.Get());
            Woken = true;
        }
    }
    return Woken;
}

void TSerialPort::WakeEvents() const {
    // Whoever watches the line for the pending wait looks again; a worker standing aside is woken
    // when the waiter that watches instead stops.
    if (fEventWatching) {
        Wake(fEventWake);
    }
    if (fWaiterServing) {
        Wake(fWaiterWake);
    }
}

TLineSnapshot TSerialPort::Snapshot() const {
    TLineSnapshot Now;
    pollfd Line{fFd.Get(), POLLIN, 0};
    int Waiting = 0;
    Now.HungUp =
        (::poll(&Line, 1, 0) > 0 && (Line.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) ||
        ::ioctl(fFd.Get(), FIONREAD, &Waiting) != 0;
    Now.Arrived = fTaken + std::uint64_t(std::max(Waiting, 0));
    Now.Queued = QueuedOutput();
    Now.DriverSending = DriverSending();
    Now.Counters = ReadCounters();
    return Now;
}

std::optional<TLineCounters> TSerialPort::ReadCounters() const {
    serial_icounter_struct Raw{};
    if (!fHasCounters || ::ioctl(fFd.Get(), TIOCGICOUNT, &Raw) != 0) {
        return std::nullopt;
    }
    TLineCounters Counters;
    Counters.Cts = std::uint32_t(Raw.cts);
    Counters.Dsr = std::uint32_t(Raw.dsr);
    Counters.Rng = std::uint32_t(Raw.rng);
    Counters.Dcd = std::uint32_t(Raw.dcd);
    Counters.Break = std::uint32_t(Raw.brk);
    Counters.Frame = std::uint32_t(Raw.frame);
    Counters.Overrun = std::uint32_t(Raw.overrun);
    Counters.Parity = std::uint32_t(Raw.parity);
    Counters.BufferOverrun = std::uint32_t(Raw.buf_overrun);
    return Counters;
}

std::uint64_t TSerialPort::QueuedOutput() const {
    std::uint64_t Queued = 0;
    for (const TRequest& Request : fWrites.Requests) {
        Queued += Request.Count - Request.Done;
    }
    return Queued;
}

bool TSerialPort::DriverSending() const {
    int Pending = 0;
    return (::ioctl(fFd.Get(), TIOCOUTQ, &Pending) == 0 && Pending > 0) || ShiftingOut();
}

bool TSerialPort::ShiftingOut() const {
    // A UART that says so is still shifting out its last byte; others (a pseudo-terminal) are
    // empty when their queue is.
    unsigned int Status = 0;
    return ::ioctl(fFd.Get(), TIOCSERGETLSR, &Status) == 0 && (Status & TIOCSER_TEMT) == 0;
}

DWORD TSerialPort::HoldFlags() const {
    DWORD Flags = fOutputHeld ? COMSTAT_fXoffHold : 0;
    const auto Ahead = [](const TRequest& Request) { return Request.Overlapped == nullptr; };
    if (std::any_of(fWrites.Requests.begin(), fWrites.Requests.end(), Ahead)) {
        Flags |= COMSTAT_fTxim;
    }
    int Lines = 0;
    if ((fDcb.Flags & DCB_fOutxCtsFlow) != 0 && !fWrites.Requests.empty() &&
        ::ioctl(fFd.Get(), TIOCMGET, &Lines) == 0 && (Lines & TIOCM_CTS) == 0) {
        Flags |= COMSTAT_fCtsHold;
    }
    return Flags;
}

// DTR is on unless the DCB disables it (Linux has no DTR handshake); RTS follows its mode, and in
// a toggle the driver cannot do, stays low until the caller raises it for a send.
void TSerialPort::ApplyLineModes(const DCB& Dcb, bool DriverToggles) {
    SetModemLine(TIOCM_DTR, (Dcb.Flags & DCB_fDtrControlMask) != 0);
    switch (Dcb.Flags & DCB_fRtsControlMask) {
    case DCB_fRtsControlEnable:
        SetModemLine(TIOCM_RTS, true);
        break;
    case DCB_fRtsControlToggle:
        if (!DriverToggles) {
            SetModemLine(TIOCM_RTS, false);
        }
        break;
    case DCB_fRtsControlHandshake:
        break; // the driver switches it
    default:
        SetModemLine(TIOCM_RTS, false);
        break;
    }
}

void TSerialPort::SetModemLine(int Line, bool On) {
    // A device without modem lines (a pseudo-terminal) refuses; nothing depends on it.
    ::ioctl(fFd.Get(), On ? TIOCMBIS : TIOCMBIC, &Line);
}

bool TSerialPort::SetDriverToggle(bool On) {
    // The board's own settings (RTS polarity, delays, bus termination) stay: the DCB only says
    // whether the driver switches RTS.
    serial_rs485 Settings{};
    if (::ioctl(fFd.Get(), TIOCGRS485, &Settings) != 0) {
        return false;
    }
    if (!fRs485AsFound) {
        fRs485AsFound = Settings;
    }
    if (On) {
        Settings.flags |= SER_RS485_ENABLED;
        // No polarity set: RTS high while sending, as the DCB's toggle means.
        if ((Settings.flags & (SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND)) == 0) {
            Settings.flags |= SER_RS485_RTS_ON_SEND;
        }
    } else {
        Settings.flags &= ~std::uint32_t(SER_RS485_ENABLED);
    }
    if (::ioctl(fFd.Get(), TIOCSRS485, &Settings) != 0) {
        return false;
    }
    // A driver may accept the call and still leave the mode off.
    return !On || (::ioctl(fFd.Get(), TIOCGRS485, &Settings) == 0 &&
                   (Settings.flags & SER_RS485_ENABLED) != 0);
}

} // namespace winapi::posix
