// The line-level checks of the serial port component on a real pseudo-terminal: the DSR handshake
// test and the identification sequence of external Plug and Play devices, with the device's modem
// lines supplied by pnpdevice.h where the terminal has none.
#include "lxcomm.h"
#include "pnpdevice.h"
#include "pty.h"
#include "qtprint.h"
#include "recording_log.h"

#include <QElapsedTimer>
#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using lxtest::TPnpDeviceApi;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TRecordingLog;

const QString ConnectError = QStringLiteral("Device Connect Initialization Error");

// A modem's identification with every mandatory field and a checksum, 7-bit.
const std::string ModemId = "(\x01$MDC0288\\00314159\\MODEM\\MDC0144,ATM0096\\ZIP 288C4)";

// Installs a backend for the scope's life and puts the previous one back.
class TApiScope {
public:
    explicit TApiScope(winapi::TWinApi& Backend) : fPrevious(winapi::SetApi(&Backend)) {}
    ~TApiScope() { winapi::SetApi(fPrevious); }
    TApiScope(const TApiScope&) = delete;
    TApiScope& operator=(const TApiScope&) = delete;

private:
    winapi::TWinApi* fPrevious;
};

// The terminal's output speed as the master side reports the line.
speed_t LineSpeed(const TPtyPair& Pty) {
    termios Settings{};
    ::tcgetattr(Pty.MasterFd(), &Settings);
    return ::cfgetospeed(&Settings);
}

// A port COM9 on a pseudo-terminal with a Plug and Play device behind it that sends Answer when
// woken.
class SerialCommPnp : public testing::Test {
protected:
    SerialCommPnp() {
        Folder.Link("COM9", Pty.SlavePath());
        Comm = std::make_unique<TlxComm>();
        Comm->SetComPortNo(9);
        Comm->SetLog(&Log);
    }

    void Woken() {
        SpeedAtWake = LineSpeed(Pty);
        if (!Answer.empty()) {
            Pty.Write(Answer);
        }
    }

    TPortFolder Folder;
    TPtyPair Pty;
    std::string Answer;
    speed_t SpeedAtWake = 0;
    TPnpDeviceApi Device{[this] { Woken(); }};
    TApiScope Scope{Device};
    TRecordingLog Log;
    std::unique_ptr<TlxComm> Comm;
};

TEST_F(SerialCommPnp, TheIdentificationIsReadAt1200BaudAndTheLineIsRestored) {
    Answer = ModemId;
    Comm->SetTraceStates({tsRxChar, tsCTS});
    EXPECT_EQ(Comm->GetPNPDeviceString(), QString::fromLatin1(ModemId));
    EXPECT_EQ(Device.Wakes(), 1);
    EXPECT_EQ(SpeedAtWake, speed_t(B1200));
    // Closed before, closed after, with the component's own settings.
    EXPECT_FALSE(Comm->Active());
    EXPECT_EQ(Comm->BaudRate(), 19200u);
    EXPECT_EQ(Comm->ByteSize(), 8);
    EXPECT_EQ(Comm->TraceStates(), (TTraceStates{tsRxChar, tsCTS}));
}

TEST_F(SerialCommPnp, AnOpenPortStaysOpenWithItsLineSettingsBack) {
    Answer = ModemId;
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    EXPECT_EQ(Comm->GetPNPDeviceString(), QString::fromLatin1(ModemId));
    EXPECT_TRUE(Comm->Active());
    EXPECT_EQ(LineSpeed(Pty), speed_t(B19200));
    Comm->SetActive(false);
}

TEST_F(SerialCommPnp, OnlyAnAnswerThatBeginsWithABeginByteIsAnIdentification) {
    struct TCase {
        const char* What;
        std::string Answer;
        std::string Result;
        int Wakes;
    };
    const TCase Cases[] = {
        // 6-bit characters: the begin and end bytes are 08 and 09.
        {"6-bit", "\x08\x01\x24!-#\x11\x12\x13\x14\x09", "\x08\x01\x24!-#\x11\x12\x13\x14\x09", 1},
        // An old mouse's "M" before the identification is no begin byte.
        {"other id first", "M" + ModemId, "", 1},
        // Bytes after the end byte are not read.
        {"trailing bytes", "(\x01$HAY0001)more", "(\x01$HAY0001)", 1},
        // A device that falls silent before its end byte: what came.
        {"cut short", "(\x01$HAY", "(\x01$HAY", 1},
        // Nothing answers, also not to the second try.
        {"silent", "", "", 2},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.What);
        const int WakesBefore = Device.Wakes();
        Answer = Case.Answer;
        EXPECT_EQ(Comm->GetPNPDeviceString(), QString::fromLatin1(Case.Result));
        EXPECT_EQ(Device.Wakes() - WakesBefore, Case.Wakes);
        EXPECT_FALSE(Comm->Active());
        // Whatever the device sent beyond the identification is gone with the port's close.
        ::tcflush(Pty.MasterFd(), TCIOFLUSH);
    }
}

TEST_F(SerialCommPnp, ADeviceThatNeverSendsItsEndByteIsCutOffAtTheLimit) {
    // Started on the wake-up: a begin byte, then bytes for as long as anyone reads.
    std::atomic<bool> Stop = false;
    std::thread Streamer;
    TPnpDeviceApi Streaming([&] {
        if (Streamer.joinable()) {
            return;
        }
        Streamer = std::thread([&] {
            const int Fd = Pty.MasterFd();
            ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK);
            const std::string Chunk(32, 'A');
            bool First = true;
            QElapsedTimer Running;
            Running.start();
            while (!Stop && Running.elapsed() < 10000) {
                pollfd Writable{Fd, POLLOUT, 0};
                if (::poll(&Writable, 1, 10) == 1) {
                    const std::string Bytes = First ? "(" + Chunk : Chunk;
                    if (::write(Fd, Bytes.data(), Bytes.size()) > 0) {
                        First = false;
                    }
                }
            }
        });
    });
    TApiScope StreamingScope(Streaming);
    QElapsedTimer Clock;
    Clock.start();
    const QString Result = Comm->GetPNPDeviceString();
    const qint64 Elapsed = Clock.elapsed();
    Stop = true;
    if (Streamer.joinable()) {
        Streamer.join();
    }
    ASSERT_EQ(Result.size(), TlxCustomSerialComm::PnpIdMaxLength);
    EXPECT_EQ(Result, QStringLiteral("(") + QString(TlxCustomSerialComm::PnpIdMaxLength - 1, 'A'));
    EXPECT_LT(Elapsed, 5000) << "the caller is held only while the limit is reached";
    EXPECT_FALSE(Comm->Active());
}

TEST_F(SerialCommPnp, TheHandshakeTestRaisesRtsOnceDsrAnswers) {
    Comm->InitDeviceConnect();
    EXPECT_TRUE(Log.Texts().isEmpty()) << "a closed port is not tested";
    Comm->SetActive(true);
    Comm->InitDeviceConnect();
    EXPECT_EQ(Device.Wakes(), 1) << "RTS rose with DTR on";
    EXPECT_EQ(Log.Texts().last(),
              QStringLiteral("lxComm: The device connection was succesful tested"));
    Comm->SetActive(false);
}

// The bare terminal: DSR never comes.
class SerialCommWithoutDevice : public testing::Test {
protected:
    SerialCommWithoutDevice() {
        Folder.Link("COM9", Pty.SlavePath());
        Comm.SetComPortNo(9);
    }

    TPortFolder Folder;
    TPtyPair Pty;
    TlxComm Comm;
};

TEST_F(SerialCommWithoutDevice, BothChecksReportTheMissingHandshakeAndLeaveThePortAsItWas) {
    try {
        Comm.GetPNPDeviceString();
        ADD_FAILURE() << "no error";
    } catch (const ElxError& Error) {
        EXPECT_EQ(QString::fromUtf8(Error.what()), ConnectError);
    }
    EXPECT_FALSE(Comm.Active());

    Comm.SetActive(true);
    EXPECT_THROW(Comm.InitDeviceConnect(), ElxError);
    EXPECT_TRUE(Comm.Active());
    Comm.SetActive(false);
}

} // namespace
