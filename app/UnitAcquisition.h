// The panel's acquisition: the exchanges with the bench's four sources, the PT/CT ratios read on
// connecting, the check of every reply, and the scaling of every value into the numbers shown.
//
// It knows its front end only through TAcquisitionView (each source's result, the log lines), so
// the same core serves the operator window, tests and a headless poller. It runs on whichever
// thread calls it, which need not be the window's: the window runs it on a worker thread and
// shows what the view hands it.
//
// Decisions a change must keep:
// - The input queue is emptied before each request, and a reply is taken only when its address,
//   function, byte count and CRC are those of the request (UnitReply). A frame that is anything
//   else (a late reply of another source, stray bytes, a bad CRC) is never decoded: that
//   source's result carries the reason, its labels keep their text, the ratios stay as they
//   were, and one log line names the source and the reason. The "updated" and "ratios read"
//   lines are logged only for replies that passed.
// - Each exchange waits at most ReplyTimeout (1 s) for its reply after the request's fixed wait,
//   in the serial component's own bounded read (no polling loop). An exception reply ends the
//   wait as soon as its 5 bytes are in. A frame that settles the matter (a whole frame of another
//   slave, a bad CRC) ends it once the line has been silent for the inter-frame gap.
// - Bytes right behind a reply (without the inter-frame silence) make it a frame of the wrong
//   length: the reply is rejected, not shown beside bytes of unknown origin.
// - Waits: wmFixed keeps the fixed waits before each read and the 100 ms between the sources;
//   wmFast sends, waits only for the reply and goes on at once. Every wait ends early on
//   RequestStop, and a sequence stops between two exchanges once asked to.
// - ReadI3AC_PTCT repeats at most MaxRatioReads times while a ratio reads 0, then logs once and
//   leaves the ratios as last read. A source that does not answer ends it at once.
// - Raw value times ratios is computed in 64 bits: PT x CT alone reaches 2^32, and a 32-bit
//   product wraps to a negative reading.
#pragma once

#include "UnitReadings.h"
#include "UnitTypesPX4610.h"

#include <QString>
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

class TBenchComm;

// Where the acquisition hands what it read; called on the acquisition's thread.
class TAcquisitionView {
public:
    virtual ~TAcquisitionView() = default;
    // A source's read ended, with or without a reply that passed.
    virtual void ShowSource(const TSourceResult& Result) = 0;
    // A log line of the reading methods; the view applies the log's line limit.
    virtual void AddLogLine(const QString& Text) = 0;
};

enum class TWaitMode { wmFixed, wmFast };

class TAcquisition {
public:
    static constexpr std::chrono::milliseconds DefaultReplyTimeout{1000};
    static constexpr int MaxRatioReads = 20;

    // Comm and View must outlive the acquisition.
    TAcquisition(TBenchComm& Comm, TAcquisitionView& View, TWaitMode Waits = TWaitMode::wmFixed);

    // Sends the request frame when the port is open; on a closed port nothing is sent.
    void SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode, std::uint16_t StartRegister,
                     std::uint16_t RegisterCount);
    void ReadU3AC_PTCT();
    void ReadI3AC_PTCT();
    std::optional<TSourceResult> ReadU3AC();
    std::optional<TSourceResult> ReadI3AC();
    std::optional<TSourceResult> Read1AC();
    std::optional<TSourceResult> ReadUDC();

    // The connect sequence: ReadU3AC_PTCT, 100 ms, ReadI3AC_PTCT.
    void ReadRatios();
    // The refresh sequence: the four sources, 100 ms apart. None when it was stopped or the port
    // closed before its end.
    std::optional<TRefreshResult> ReadAll();

    // From any thread: the running sequence ends at its next wait or exchange, and every wait
    // until BeginSequence ends at once.
    void RequestStop();
    // On the component's thread, before a sequence is started: clears a stop and takes the line
    // speed for the inter-frame gap.
    void BeginSequence();
    bool StopRequested() const { return fStop; }

    std::chrono::milliseconds ReplyTimeout() const { return fReplyTimeout; }
    void SetReplyTimeout(std::chrono::milliseconds Value) { fReplyTimeout = Value; }
    TWaitMode Waits() const { return fWaits; }
    void SetWaits(TWaitMode Value) { fWaits = Value; }

    // The window's fields: the ratios (0 until read, kept over a close) and the last replies
    // that passed. Written by the acquisition's thread only.
    std::uint16_t FU3AC_PT = 0;
    std::uint16_t FU3AC_CT = 0;
    std::uint16_t FI3AC_PT = 0;
    std::uint16_t FI3AC_CT = 0;
    TRecord_3AC_PTCT FRecord_U3AC_PTCT{};
    TRecord_3AC_PTCT FRecord_I3AC_PTCT{};
    TRecord_3AC FRecord_U3AC{};
    TRecord_3AC FRecord_I3AC{};
    TRecord_1AC FRecord_1AC{};
    TRecord_UDC FRecord_UDC{};

private:
    // How one exchange ended: a reply that passed, one that did not (Status says why), or no
    // verdict because the port closed or a stop was asked for.
    struct TExchangeEnd {
        bool Ended = false; // closed or stopped
        TReplyStatus Status = TReplyStatus::rsTimeout;
        std::uint8_t ExceptionCode = 0;
        bool Passed() const { return !Ended && Status == TReplyStatus::rsOk; }
    };
    struct TThreePhaseStyle;

    // Request, fixed wait, checked reply of Command into Record (Length bytes). A reply that does
    // not pass is reported in the log under Source.
    TExchangeEnd Exchange(TCommandType Command, std::chrono::milliseconds Wait, void* Record,
                          std::size_t Length, const QString& Source);
    // Collects bytes until the reply of Shape is found or the matter is settled.
    TReplyScan AwaitReply(const TReplyShape& Shape, std::vector<std::uint8_t>& Bytes);
    // After a reply that passed: whether bytes follow it without the inter-frame silence.
    bool BytesFollow(const TReplyScan& Scan, std::size_t Received, bool AllAtFirstLook);
    // The result of a source whose exchange ended; none when it ended without a verdict.
    std::optional<TSourceResult> Finish(TSource Source, const TExchangeEnd& End);
    void ShowThreePhase(const TRecord_3AC& Record, std::uint16_t PT, std::uint16_t CT,
                        const TThreePhaseStyle& Style, TSourceResult& Result);
    // The fixed waits: a sleep that RequestStop ends; false when stopped. wmFast skips them.
    bool Pause(std::chrono::milliseconds Wait);
    // The quiet time that ends a frame on the line: 3.5 characters, never under 2 ms.
    static std::chrono::milliseconds FrameGap(quint32 BaudRate);
    void AddLogLine(const QString& Text) { fView.AddLogLine(Text); }
    quint32 ReadMore(std::vector<std::uint8_t>& Bytes, std::size_t Count,
                     std::chrono::milliseconds Within);

    TBenchComm& fComm;
    TAcquisitionView& fView;
    TWaitMode fWaits;
    std::chrono::milliseconds fReplyTimeout = DefaultReplyTimeout;
    std::chrono::milliseconds fFrameGap;
    std::atomic<bool> fStop = false;
    std::mutex fStopLock;
    std::condition_variable fStopped;
};

// The log line of a reply that did not pass, for Source ("三相调压"): "三相调压应答超时", ...
QString RejectedLogLine(const QString& Source, TReplyStatus Status, std::uint8_t ExceptionCode);
