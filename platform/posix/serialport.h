// An open COM port: a terminal device opened for exclusive use, raw, non-blocking, and the
// overlapped transfers on it.
//
// Each direction has a queue of requests served in order. A request is tried at once when it
// reaches the head of its queue; what cannot complete at once is finished by the direction's
// worker thread (started on the first pending request, joined on close), which polls the device
// together with an eventfd that close and cancel use to wake it. A request completes by writing
// its status and count into the caller's OVERLAPPED (Internal, InternalHigh) and signalling the
// record's event, always under the port lock, so GetOverlappedResult reads them without a race.
//
// Every access to the device descriptor happens under the port lock after a test of fClosing, or
// in a worker before it is joined: Close() therefore closes the descriptor only after the workers
// have ended and no caller can reach it any more.
#pragma once

#include "handletable.h"
#include "portmap.h"
#include "uniquefd.h"
#include "waitevent.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace winapi::posix {

class TSerialPort : public THandleObject {
public:
    // Opens the device behind Link; null with the calling thread's last error set.
    static std::shared_ptr<TSerialPort> Open(const TPortLink& Link, bool Overlapped);
    ~TSerialPort() override;

    // ReadFile and WriteFile. A read of N bytes completes when N bytes have arrived, a write when
    // every byte is handed to the driver. With an OVERLAPPED on a port opened for overlapped I/O,
    // FALSE with ERROR_IO_PENDING means the request goes on in the background; otherwise the call
    // waits for the result. Event is the object named by the record's hEvent, if any.
    BOOL Read(void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
              std::shared_ptr<TWaitEvent> Event);
    BOOL Write(const void* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
               std::shared_ptr<TWaitEvent> Event);
    BOOL GetResult(OVERLAPPED* Overlapped, DWORD* Transferred, bool Wait);
    // CancelIo: ends the requests that the calling thread started, with ERROR_OPERATION_ABORTED.
    void CancelCallerRequests();
    // Ends every pending request with ERROR_OPERATION_ABORTED, stops the workers and releases the
    // device and its lock.
    void Close() override;

private:
    enum class TDirection { Read, Write };

    struct TRequest {
        OVERLAPPED* Overlapped;
        BYTE* Buffer;
        DWORD Count;
        DWORD Done;
        std::thread::id Issuer;
        std::shared_ptr<TWaitEvent> Event;
    };

    struct TQueue {
        TQueue(TDirection ADirection, TUniqueFd AWake)
            : Direction(ADirection), Wake(std::move(AWake)) {}
        const TDirection Direction;
        const TUniqueFd Wake;
        std::deque<TRequest> Requests;
        std::thread Worker;
    };

    TSerialPort(TUniqueFd Fd, TUniqueFd ReadWake, TUniqueFd WriteWake, bool Overlapped);

    BOOL Request(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred,
                 OVERLAPPED* Overlapped, std::shared_ptr<TWaitEvent> Event);
    BOOL Start(TQueue& Queue, BYTE* Buffer, DWORD Count, DWORD* Transferred, OVERLAPPED* Overlapped,
               std::shared_ptr<TWaitEvent> Event);
    // Moves what the device allows for the head request, completing it when done or failed.
    void Transfer(TQueue& Queue, bool HungUp);
    void Complete(TQueue& Queue, std::deque<TRequest>::iterator Request, NTSTATUS Status);
    void Abort(const std::function<bool(const TRequest&)>& Selected);
    bool IsQueued(const OVERLAPPED* Overlapped) const;
    static BOOL Finish(const OVERLAPPED& Overlapped, DWORD* Transferred);

    void Serve(TQueue& Queue);
    // Waits until the device is ready for the queue's direction or the worker is woken; true
    // when the device reports a hang-up or an error.
    bool WaitReady(const TQueue& Queue) const;
    static void Wake(const TQueue& Queue);

    TUniqueFd fFd;
    const bool fOverlapped;
    std::mutex fLock;
    std::condition_variable fWork;      // a request was queued, or the port is closing
    std::condition_variable fCompleted; // a request left its queue
    bool fClosing = false;
    TQueue fReads;
    TQueue fWrites;
};

} // namespace winapi::posix
