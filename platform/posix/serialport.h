// An open COM port: a terminal device opened for exclusive use, raw, non-blocking, with the
// overlapped transfers, the line settings, the line control and the comm events on it.
//
// Each direction has a queue of requests served in order. A request is tried at once when it
// reaches the head of its queue; what cannot complete at once is finished by the direction's
// worker thread (started on the first pending request, joined on close), which polls the device
// together with an eventfd that close and cancel use to wake it, and with the time left until the
// request's time-out. A request completes by writing its status and count into the caller's
// OVERLAPPED (Internal, InternalHigh) and signalling the record's event, always under the port
// lock, so GetOverlappedResult reads them without a race.
//
// A pending WaitCommEvent is served the same way by a third worker, which sleeps in epoll on the
// device (edge-triggered, so that bytes left waiting in the input queue do not wake it again and
// again) and on its own eventfd, and looks at the line (commevents.h) whenever it wakes. A thread
// that waits for the wait's event does the same on an epoll of its own (TEventServer), so that
// arriving bytes wake the waiting thread itself rather than the worker, which would then have to
// wake it.
//
// A worker stands aside while a caller serves its own request (or a thread waiting for the event
// watches the line): it does not poll the device then, so that arriving bytes wake one thread,
// not two that then contend for the port lock. The caller that starts serving wakes a worker that
// is already polling, and hands the queue back to it when it stops with requests left. A new wait
// with an event does not wake the worker at all: the thread that waits for the event comes at
// once, and the worker only takes over from a timer if none has come (a caller that looks at
// the record without waiting).
//
// Every access to the device descriptor happens under the port lock after a test of fClosing, or
// in a worker before it is joined: Close() therefore closes the descriptor only after the workers
// have ended and no caller can reach it any more.
#pragma once

#include "commevents.h"
#include "handletable.h"
#include "portmap.h"
#include "uniquefd.h"
#include "waitevent.h"

#include <linux/serial.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace winapi::posix {

class TSerialPort : public THandleObject,
                    public TEventServer,
                    public std::enable_shared_from_this<TSerialPort> {
public:
    // Opens the device behind Link; null with the calling thread's last error set.
    static std::shared_ptr<TSerialPort> Open(const TPortLink& Link, bool Overlapped);
    ~TSerialPort() override;

    // ReadFile and WriteFile. How long they wait follows SetTimeouts: with no time-outs a read
    // of N bytes completes when N bytes have arrived and a write when every byte is handed to the
    // driver. With an OVERLAPPED on a port opened for overlapped I/O, FALSE with ERROR_IO_PENDING
    // means the request goes on in the background; otherwise the call waits for the result.
    // Event is the object named by the record's hEvent, if any.
    BOOL Read(void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
              std::shared_ptr<TWaitEvent> Event);
    BOOL Write(const void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
               std::shared_ptr<TWaitEvent> Event);
    // GetOverlappedResult, for transfers and for WaitCommEvent.
    BOOL GetResult(OVERLAPPED* Overlapped, DWORD* Transferred, bool Wait);
    // CancelIo: ends the requests that the calling thread started, with ERROR_OPERATION_ABORTED.
    void CancelCallerRequests();
    // TransmitCommChar: the byte goes out ahead of the bytes of the writes still queued.
    BOOL TransmitChar(BYTE Char);
    // FlushFileBuffers: returns when every queued byte has left the driver.
    BOOL Flush();
    // PurgeComm.
    BOOL Purge(DWORD Flags);

    // SetCommState, GetCommState (commstate.h). A DCB asking for RTS toggle turns on the
    // driver's RS-485 mode where the driver has one; where it has none, everything else is
    // applied, RTS is lowered, and the call fails with ERROR_NOT_SUPPORTED: the caller switches
    // RTS itself.
    BOOL SetState(const DCB& Dcb);
    BOOL GetState(DCB& Dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& Timeouts);
    // SetupComm: the sizes are recommendations; the terminal's queues have their own sizes, and
    // GetCommProperties reports these.
    BOOL SetQueueSizes(DWORD InQueue, DWORD OutQueue);
    BOOL GetProperties(COMMPROP& Properties);

    BOOL Escape(DWORD Function);
    BOOL GetModemStatus(DWORD& Status);
    BOOL ClearError(DWORD* Errors, COMSTAT* Stat);

    // SetCommMask: a pending wait ends with the mask 0.
    BOOL SetMask(DWORD Mask);
    // WaitCommEvent. Fails with ERROR_INVALID_PARAMETER while the mask is 0 or another wait is
    // pending, and with ERROR_DEVICE_NOT_CONNECTED once the line has hung up (also a pending
    // wait). Mask is written when the wait succeeds.
    BOOL WaitEvent(DWORD* Mask, OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event);

    // Ends every pending request and wait with ERROR_OPERATION_ABORTED, stops the workers and
    // releases the device and its lock.
    void Close() override;

    // TEventServer, for the event of a pending WaitCommEvent.
    void ServeWaiter(const TWaitEvent& Event,
                     std::chrono::steady_clock::time_point Deadline) override;
    void WakeWaiter() override;

private:
    using TClock = std::chrono::steady_clock;

    enum class TDirection { Read, Write };

    struct TRequest {
        OVERLAPPED* Overlapped = nullptr; // none for a byte of TransmitCommChar
        BYTE* Buffer = nullptr;
        DWORD Count = 0;
        DWORD Done = 0;
        std::thread::id Issuer;
        std::shared_ptr<TWaitEvent> Event;
        COMMTIMEOUTS Timeouts{};
        // Set when the request reaches the head of its queue: the time-outs count from there.
        bool Started = false;
        TClock::time_point Deadline = TClock::time_point::max();
        TClock::time_point LastMoved;
        std::unique_ptr<BYTE> Own; // the byte of TransmitCommChar

        // With nothing to move for now: whether its time-outs end it at Now.
        bool TimedOut(bool Reading, TClock::time_point Now) const;
        // The next moment at which a time-out could end it.
        TClock::time_point NextTimeout(bool Reading) const;
    };

    struct TQueue {
        TQueue(TDirection ADirection, TUniqueFd AWake, TUniqueFd ACallerWake)
            : Direction(ADirection), Wake(std::move(AWake)), CallerWake(std::move(ACallerWake)) {}
        const TDirection Direction;
        const TUniqueFd Wake;       // wakes the worker
        const TUniqueFd CallerWake; // wakes a caller serving its own request (ServeUntilDone)
        bool CallerServing = false; // a caller polls the device for its own request
        bool WorkerPolling = false; // the worker polls the device
        std::deque<TRequest> Requests;
        // A request was queued or the port is closing. Each worker has its own, so that queueing
        // a request wakes only the thread that serves it.
        std::condition_variable Work;
        std::thread Worker;
    };

    struct TEventWait {
        OVERLAPPED* Overlapped;
        DWORD* Mask;
        std::thread::id Issuer;
        std::shared_ptr<TWaitEvent> Event;
    };

    struct TDescriptors {
        TUniqueFd Device;
        TUniqueFd ReadWake;
        TUniqueFd ReadCallerWake;
        TUniqueFd WriteWake;
        TUniqueFd WriteCallerWake;
        TUniqueFd EventWake;
        TUniqueFd EventTimer;
        TUniqueFd Epoll;
        TUniqueFd WaiterWake;
        TUniqueFd WaiterEpoll;
    };

    TSerialPort(TDescriptors Fds, bool Overlapped, const DCB& Dcb);

    BOOL Request(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred,
                 OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event);
    BOOL Start(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
               std::shared_ptr<TWaitEvent> Event);
    void RunWorker(TQueue& Queue);
    // Moves what the device allows for the head request; true when the request completed (done,
    // timed out or failed) and left the queue.
    // True, with ERROR_INVALID_HANDLE for the caller, once the port is closing. Under fLock.
    bool RefusedAsClosing() const;
    // Starts the head request's time-outs, once. Under fLock.
    void StartHead(TQueue& Queue);
    bool Transfer(TQueue& Queue, bool HungUp);
    void Complete(TQueue& Queue, std::deque<TRequest>::iterator Request, NTSTATUS Status);
    void Abort(TQueue& Queue, const std::function<bool(const TRequest&)>& Selected);
    bool IsQueued(const OVERLAPPED* Overlapped) const;
    static BOOL Finish(const OVERLAPPED& Overlapped, DWORD* Transferred);

    void Serve(TQueue& Queue);
    // GetOverlappedResult's wait: see serialport.cpp.
    void ServeUntilDone(std::unique_lock<std::mutex>& Lock, const OVERLAPPED* Overlapped);
    TQueue* QueueHeadedBy(const OVERLAPPED* Overlapped);

    // Waits until the device is ready for the queue's direction, Wake is written (the wake-up is
    // taken) or TimeoutMs (-1: no limit) have passed; true when the device reports a hang-up or
    // an error.
    bool WaitReady(const TQueue& Queue, const TUniqueFd& Wake, int TimeoutMs) const;
    static void Wake(const TUniqueFd& Wake);

    BOOL StartWait(DWORD* Mask, OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event);
    // Ends the pending wait with the events found, a hang-up, or nothing yet (false).
    bool TryEndWait(const TLineSnapshot& Now);
    void EndWait(NTSTATUS Status);
    void ServeEvents();
    // The worker's sleep while it has nothing to watch: until fEventWake or fEventTimer.
    void WaitForTurn() const;
    // Sleeps in Epoll until the line may have changed or TimeoutMs (-1: no limit) have passed;
    // true when Wake was written (the wake-up is taken).
    bool WaitForLine(const TUniqueFd& Epoll, const TUniqueFd& Wake, int TimeoutMs) const;
    void WakeEvents() const;

    // The line as events and errors see it; with the lock held.
    TLineSnapshot Snapshot() const;
    std::optional<TLineCounters> ReadCounters() const;
    std::uint64_t QueuedOutput() const;
    bool DriverSending() const;
    // The transmitter itself still holds a byte (where the driver can tell).
    bool ShiftingOut() const;
    DWORD HoldFlags() const;

    void ApplyLineModes(const DCB& Dcb, bool DriverToggles);
    void SetModemLine(int Line, bool On);
    bool SetDriverToggle(bool On);

    TUniqueFd fFd;
    const TUniqueFd fEventWake;
    // Hands a wait that no thread has come to watch to the worker (see StartWait).
    const TUniqueFd fEventTimer;
    const TUniqueFd fEpoll;
    const TUniqueFd fWaiterWake;  // wakes a thread in ServeWaiter
    const TUniqueFd fWaiterEpoll; // the device and fWaiterWake, for ServeWaiter
    const bool fOverlapped;
    // A pseudo-terminal: no framing, so byte size and parity are only kept in the DCB.
    const bool fFramed;
    const bool fHasCounters;
    std::mutex fLock;
    std::condition_variable fCompleted; // a request or a wait ended
    bool fClosing = false;
    TQueue fReads;
    TQueue fWrites;

    DCB fDcb;
    COMMTIMEOUTS fTimeouts{};
    DWORD fInQueue = 4096;
    DWORD fOutQueue = 4096;
    bool fDriverToggles = false; // the driver's RS-485 mode is on (we turned it on)
    // The driver's RS-485 settings before our first change, put back on close.
    std::optional<serial_rs485> fRs485AsFound;
    bool fOutputHeld = false;    // EscapeCommFunction(SETXOFF)
    std::uint64_t fTaken = 0;    // bytes read or purged since open

    TCommEvents fEvents;
    TLineErrors fErrors;
    std::optional<TEventWait> fEventWait;
    bool fWaiterServing = false; // a thread in ServeWaiter polls the device
    bool fEventWatching = false; // the WaitCommEvent worker sleeps in epoll on the device
    std::thread fEventWorker;
};

} // namespace winapi::posix
