// The panel's acquisition: the exchanges with the bench's four sources, the PT/CT ratios read on
// connecting, and the scaling and formatting of every value into the window's labels and log.
//
// It knows the window only through TAcquisitionView (label texts by object name, the log, one
// pass of the message loop), so the same core serves the operator window, tests and a headless
// front end. Everything runs on the caller's thread; every wait is a sleep of that thread.
//
// Decisions a change must keep:
// - Each exchange waits at most ReplyTimeout (1 s) for its whole reply before it reads, polling the
//   input queue without running the message loop: a reply that never comes (a silent or short
//   source) would otherwise hold the window for good, and running the loop there would let a
//   timer tick start a second refresh in the middle of an exchange, mixing two requests' replies.
//   On expiry the source's labels keep their text, the input queue is emptied (a late reply must
//   not be taken for the next source's), one log line names the source, and the sequence goes on.
// - A port that closes between request and reply (the component closes a lost port on its own
//   thread) ends that read quietly: the next refresh reports the closed port.
// - ReadI3AC_PTCT repeats at most MaxRatioReads times while a ratio reads 0, then logs once and
//   leaves the ratios as last read. A source that does not answer ends it at once.
// - Raw value times ratios is computed in 64 bits: PT x CT alone reaches 2^32, and a 32-bit
//   product wraps to a negative reading.
// - Numbers are fixed point in ASCII digits without group separators; only the decimal separator
//   is the user's.
#pragma once

#include "UnitTypesPX4610.h"

#include <QLocale>
#include <QString>
#include <chrono>
#include <cstdint>

class TlxCustomComm;

// Where the acquisition shows what it read.
class TAcquisitionView {
public:
    virtual ~TAcquisitionView() = default;
    // Sets the text of the value label whose object name is Name ("lbl_U_Ua").
    virtual void SetLabelText(const QString& Name, const QString& Text) = 0;
    virtual int LogLineCount() const = 0;
    virtual void ClearLog() = 0;
    // Adds Text as the log's new last line.
    virtual void AppendLogLine(const QString& Text) = 0;
    // Handles the pending messages once: repaints, input, timer ticks.
    virtual void ProcessMessages() = 0;
};

class TAcquisition {
public:
    static constexpr std::chrono::milliseconds DefaultReplyTimeout{1000};
    static constexpr int MaxRatioReads = 20;
    // AddLogLine clears a log that holds more lines than this.
    static constexpr int MaxLogLines = 1000;

    // Comm and View must outlive the acquisition.
    TAcquisition(TlxCustomComm& Comm, TAcquisitionView& View,
                 const QLocale& Locale = QLocale::system());

    // Sends the request frame when the port is open; on a closed port nothing is sent.
    void SendRequest(std::uint8_t Slave, std::uint8_t FunctionCode, std::uint16_t StartRegister,
                     std::uint16_t RegisterCount);
    void ReadU3AC_PTCT();
    void ReadI3AC_PTCT();
    void ReadU3AC();
    void ReadI3AC();
    void Read1AC();
    void ReadUDC();
    // Clears a log of more than MaxLogLines lines, then adds Text.
    void AddLogLine(const QString& Text);

    // The longest wait of one exchange for its whole reply.
    std::chrono::milliseconds ReplyTimeout() const { return fReplyTimeout; }
    void SetReplyTimeout(std::chrono::milliseconds Value) { fReplyTimeout = Value; }

    // The connect sequence: ReadU3AC_PTCT, 100 ms, ReadI3AC_PTCT.
    void ReadRatios();
    // The refresh sequence: the four sources, 100 ms apart.
    void ReadAll();

    // The window's fields: the ratios (0 until read, kept over a close) and the last replies.
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
    enum class TExchange { exReplied, exClosed, exTimedOut };
    // How one three-phase source is shown.
    struct TThreePhaseStyle;

    // Request, wait, reply of Command into Record (Length bytes). A reply that does not come in
    // time is reported in the log under Source.
    TExchange Exchange(TCommandType Command, std::chrono::milliseconds Wait, void* Record,
                       std::size_t Length, const QString& Source);
    TExchange AwaitReply(std::size_t Length);
    void ShowThreePhase(const TRecord_3AC& Record, std::uint16_t PT, std::uint16_t CT,
                        const TThreePhaseStyle& Style);
    void Show(const QString& Name, double Value, int Decimals, const QString& Prefix = {});
    // Value in fixed point with Decimals decimals and the user's decimal separator.
    QString FormatFixed(double Value, int Decimals) const;

    TlxCustomComm& fComm;
    TAcquisitionView& fView;
    QString fDecimalPoint;
    std::chrono::milliseconds fReplyTimeout = DefaultReplyTimeout;
};
