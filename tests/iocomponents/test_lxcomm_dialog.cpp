// The port configuration dialog, driven offscreen as a user would drive it: what it shows, what
// it gives back, from the GUI thread and from another one; and the component's ConfigDialog with
// it on a real pseudo-terminal, open and closed.
#include "eventloop.h"
#include "lxcommdialog.h"
#include "pty.h"
#include "testcomm.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <termios.h>
#include <thread>

namespace {

using lxtest::RunUntil;
using lxtest::TPortFolder;
using lxtest::TPtyPair;
using lxtest::TTestComm;
using winapi::DCB;
using winapi::DWORD;

constexpr int WaitMs = 5000;

QComboBox& Box(TlxCommConfigDialog& Dialog, const char* Name) {
    auto* Found = Dialog.findChild<QComboBox*>(QString::fromLatin1(Name));
    EXPECT_NE(Found, nullptr) << Name;
    return *Found;
}

void Choose(TlxCommConfigDialog& Dialog, const char* Name, const QString& Text) {
    QComboBox& Combo = Box(Dialog, Name);
    const int Index = Combo.findText(Text);
    ASSERT_GE(Index, 0) << Name << " " << qPrintable(Text);
    Combo.setCurrentIndex(Index);
}

QString Shown(TlxCommConfigDialog& Dialog, const char* Name) {
    return Box(Dialog, Name).currentText();
}

// Once the dialog shows: Step plays the user, then OK or Cancel is clicked. Runs on the GUI
// thread's loop, which the dialog's own loop keeps turning.
void WhenTheDialogShows(std::function<void(TlxCommConfigDialog&)> Step, bool Confirm) {
    auto* Poll = new QTimer;
    Poll->setInterval(5);
    QObject::connect(Poll, &QTimer::timeout, [Poll, Step = std::move(Step), Confirm] {
        auto* Dialog = qobject_cast<TlxCommConfigDialog*>(QApplication::activeModalWidget());
        if (Dialog == nullptr) {
            return;
        }
        Poll->stop();
        Poll->deleteLater();
        Step(*Dialog);
        auto* Buttons = Dialog->findChild<QDialogButtonBox*>(QStringLiteral("Buttons"));
        Buttons->button(Confirm ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel)->click();
    });
    Poll->start();
}

winapi::COMMCONFIG Config(DWORD BaudRate, DWORD Flags) {
    winapi::COMMCONFIG Config{};
    Config.dwSize = sizeof(Config);
    Config.dcb.DCBlength = sizeof(DCB);
    Config.dcb.BaudRate = BaudRate;
    Config.dcb.Flags = Flags;
    Config.dcb.ByteSize = 8;
    Config.dcb.Parity = winapi::NOPARITY;
    Config.dcb.StopBits = winapi::ONESTOPBIT;
    Config.dcb.XonChar = 17;
    Config.dcb.XoffChar = 19;
    return Config;
}

constexpr DWORD HardwareFlow = 0x2015;
constexpr DWORD RS485 = 0x3011;
constexpr DWORD AbortOnError = 0x4000;

TEST(CommDialog, ShowsTheRecordAndGivesBackTheUsersChoices) {
    winapi::COMMCONFIG Record = Config(9600, HardwareFlow | AbortOnError);
    QString Title;
    QString Baud, Bits, Parity, Stop, Flow;
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            Title = Dialog.windowTitle();
            Baud = Shown(Dialog, "BaudRate");
            Bits = Shown(Dialog, "DataBits");
            Parity = Shown(Dialog, "Parity");
            Stop = Shown(Dialog, "StopBits");
            Flow = Shown(Dialog, "FlowControl");
            // A rate of the driver's own, typed in.
            Box(Dialog, "BaudRate").setEditText(QStringLiteral("250000"));
            Choose(Dialog, "DataBits", QStringLiteral("7"));
            Choose(Dialog, "Parity", QStringLiteral("Even"));
            Choose(Dialog, "StopBits", QStringLiteral("2"));
            Choose(Dialog, "FlowControl", QStringLiteral("Xon / Xoff"));
        },
        true);
    EXPECT_TRUE(LxCommConfigDialog(u"COM7", nullptr, &Record));
    EXPECT_EQ(Title, QStringLiteral("COM7 Properties"));
    EXPECT_EQ(Baud, QStringLiteral("9600"));
    EXPECT_EQ(Bits, QStringLiteral("8"));
    EXPECT_EQ(Parity, QStringLiteral("None"));
    EXPECT_EQ(Stop, QStringLiteral("1"));
    EXPECT_EQ(Flow, QStringLiteral("Hardware"));

    EXPECT_EQ(Record.dcb.BaudRate, 250000u);
    EXPECT_EQ(Record.dcb.ByteSize, 7);
    EXPECT_EQ(Record.dcb.Parity, winapi::EVENPARITY);
    EXPECT_EQ(Record.dcb.StopBits, winapi::TWOSTOPBITS);
    // The flow bits replaced by XON/XOFF's, parity checking on, the rest kept.
    EXPECT_EQ(Record.dcb.Flags, AbortOnError | 0x1311 | winapi::DCB_fParity);
    EXPECT_EQ(TlxCommConfigDialog::FlowControlOf(Record.dcb), fcXonXoff);
}

TEST(CommDialog, KeepsTheFlowBitsUnlessTheUserPicksAnotherFlowControl) {
    winapi::COMMCONFIG Record = Config(9600, RS485 | AbortOnError);
    QString Flow;
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            Flow = Shown(Dialog, "FlowControl");
            Choose(Dialog, "BaudRate", QStringLiteral("19200"));
        },
        true);
    EXPECT_TRUE(LxCommConfigDialog(u"COM7", nullptr, &Record));
    // An RS-485 line has no flow control of its own, and stays RS-485.
    EXPECT_EQ(Flow, QStringLiteral("None"));
    EXPECT_EQ(Record.dcb.BaudRate, 19200u);
    EXPECT_EQ(Record.dcb.Flags, RS485 | AbortOnError);
}

TEST(CommDialog, CancelLeavesTheRecordAsItWas) {
    const winapi::COMMCONFIG Before = Config(9600, HardwareFlow);
    winapi::COMMCONFIG Record = Before;
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            Choose(Dialog, "BaudRate", QStringLiteral("115200"));
            Choose(Dialog, "FlowControl", QStringLiteral("None"));
        },
        false);
    EXPECT_FALSE(LxCommConfigDialog(u"COM7", nullptr, &Record));
    EXPECT_EQ(std::memcmp(&Record, &Before, sizeof(Record)), 0);
}

TEST(CommDialog, RunsOnTheGuiThreadWhenAskedFromAnother) {
    winapi::COMMCONFIG Record = Config(9600, HardwareFlow);
    bool OnGuiThread = false;
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            OnGuiThread = QThread::currentThread() == qApp->thread();
            Choose(Dialog, "BaudRate", QStringLiteral("4800"));
        },
        true);
    std::atomic<bool> Done = false;
    winapi::BOOL Result = winapi::FALSE;
    std::thread Caller([&] {
        Result = LxCommConfigDialog(u"COM7", nullptr, &Record);
        Done = true;
    });
    EXPECT_TRUE(RunUntil([&] { return Done.load(); }, WaitMs));
    Caller.join();
    EXPECT_TRUE(Result);
    EXPECT_TRUE(OnGuiThread);
    EXPECT_EQ(Record.dcb.BaudRate, 4800u);
}

TEST(CommDialog, RefusesAMissingRecord) {
    winapi::Api().SetLastError(0);
    EXPECT_FALSE(LxCommConfigDialog(u"COM7", nullptr, nullptr));
    EXPECT_EQ(winapi::Api().GetLastError(), winapi::ERROR_INVALID_PARAMETER);
}

// ---------------------------------------------------------------------------------------------
// The component's ConfigDialog on a real port

class CommConfigDialog : public ::testing::Test {
protected:
    CommConfigDialog() : fSavedProvider(LxInstallCommConfigDialog()) {
        Folder.Link("COM9", Pty.SlavePath());
        Comm = std::make_unique<TTestComm>(nullptr, QStringLiteral("COM9"));
        Comm->SetBaudRate(9600);
        Comm->SetStreamProtocol(spNone);
    }
    ~CommConfigDialog() override {
        Comm.reset();
        winapi::SetCommConfigDialogProvider(fSavedProvider);
    }

    termios LineSettings() const {
        termios Settings{};
        EXPECT_EQ(::tcgetattr(Pty.MasterFd(), &Settings), 0);
        return Settings;
    }

    TPortFolder Folder;
    TPtyPair Pty;
    std::unique_ptr<TTestComm> Comm;

private:
    winapi::PFN_CommConfigDialog fSavedProvider;
};

TEST_F(CommConfigDialog, AConfirmedChoiceReachesTheOpenPortAtOnce) {
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    QString Title;
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            Title = Dialog.windowTitle();
            Choose(Dialog, "BaudRate", QStringLiteral("4800"));
            Choose(Dialog, "FlowControl", QStringLiteral("Hardware"));
        },
        true);
    Comm->ConfigDialog();
    EXPECT_EQ(Title, QStringLiteral("COM9 Properties"));
    EXPECT_EQ(Comm->BaudRate(), 4800u);
    EXPECT_EQ(Comm->StreamProtocol(), spHardware);
    const termios Settings = LineSettings();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B4800));
    EXPECT_NE(Settings.c_cflag & CRTSCTS, 0u);

    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) { Choose(Dialog, "BaudRate", QStringLiteral("115200")); },
        false);
    Comm->ConfigDialog();
    EXPECT_EQ(Comm->BaudRate(), 4800u);
    const termios After = LineSettings();
    EXPECT_EQ(::cfgetospeed(&After), speed_t(B4800));
}

TEST_F(CommConfigDialog, OnAClosedPortTheChoiceWaitsForTheNextOpen) {
    WhenTheDialogShows(
        [&](TlxCommConfigDialog& Dialog) {
            Choose(Dialog, "BaudRate", QStringLiteral("38400"));
            Choose(Dialog, "FlowControl", QStringLiteral("Xon / Xoff"));
        },
        true);
    Comm->ConfigDialog();
    EXPECT_EQ(Comm->BaudRate(), 38400u);
    EXPECT_EQ(Comm->StreamProtocol(), spXonXoff);
    Comm->SetActive(true);
    ASSERT_TRUE(Comm->Active());
    const termios Settings = LineSettings();
    EXPECT_EQ(::cfgetospeed(&Settings), speed_t(B38400));
    EXPECT_EQ(Settings.c_iflag & (IXON | IXOFF), tcflag_t(IXON | IXOFF));
}

// A dialog that writes into the record and then reports a cancel.
winapi::BOOL ScribblingCancel(winapi::LPCWSTR, winapi::HWND, winapi::COMMCONFIG* lpCC) {
    lpCC->dcb.BaudRate = 1;
    lpCC->dcb.Flags = 0;
    return winapi::FALSE;
}

TEST_F(CommConfigDialog, ACancelledDialogLeavesTheSettingsAsTheyWere) {
    winapi::SetCommConfigDialogProvider(&ScribblingCancel);
    Comm->SetStreamProtocol(spHardware);
    const DWORD Flags = Comm->CommCfg.dcb.Flags;
    Comm->ConfigDialog();
    EXPECT_EQ(Comm->BaudRate(), 9600u);
    EXPECT_EQ(Comm->CommCfg.dcb.Flags, Flags);
    EXPECT_EQ(Comm->StreamProtocol(), spHardware);
}

} // namespace
