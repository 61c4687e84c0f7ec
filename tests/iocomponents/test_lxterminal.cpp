// The terminal binding on a real (offscreen) QPlainTextEdit: received bytes shown by usage, typed
// keys sent by usage and echo, the bind/unbind notice, and either side going first.
#include "eventloop.h"
#include "qtprint.h"
#include "testio.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>
#include <vector>

namespace {

using lxtest::RunUntil;
using lxtest::TTestIO;

// An edit that keeps the binding notices (message 2999) it receives.
class TNoticeEdit : public QPlainTextEdit {
public:
    std::vector<TlxBaseIO*> Notices;

protected:
    bool event(QEvent* Event) override {
        if (Event->type() == TlxTerminalEvent::TerminalEventType) {
            const auto* Notice = static_cast<TlxTerminalEvent*>(Event);
            EXPECT_EQ(Notice->lParam(), 0);
            Notices.push_back(Notice->wParam());
            return true;
        }
        return QPlainTextEdit::event(Event);
    }
};

void Type(QWidget& Edit, const QString& Text) {
    QKeyEvent Press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, Text);
    QApplication::sendEvent(&Edit, &Press);
}

void CaretToEnd(QPlainTextEdit& Edit) {
    QTextCursor Cursor = Edit.textCursor();
    Cursor.movePosition(QTextCursor::End);
    Edit.setTextCursor(Cursor);
}

TEST(LxTerminal, ReceivedBytesAreShownByLength) {
    struct TCase {
        const char* Name;
        QByteArray Bytes;
        const char* Before;
        const char* After;
    };
    const TCase Cases[] = {
        {"block with a NUL inside", QByteArray("\x41\x00\x42", 3), "", "AB"},
        {"block that starts with a NUL", QByteArray("\x00\x41", 2), "x", "xA"},
        {"one byte is typed", QByteArray("A"), "x", "xA"},
        {"backspace erases", QByteArray("\x08"), "xy", "x"},
        {"CR starts a line", QByteArray("\r"), "x", "x\n"},
        {"other control keys do nothing", QByteArray("\x1b"), "x", "x"},
        {"Latin-1", QByteArray("\xe9\xb5"), "", "\xc3\xa9\xc2\xb5"},
        {"nothing", QByteArray(), "xy", "xy"},
    };
    for (const TCase& Case : Cases) {
        QPlainTextEdit Edit;
        // A read-only log box: it ignores synthetic keys, the terminal must still act on it.
        Edit.setReadOnly(true);
        Edit.setPlainText(QString::fromUtf8(Case.Before));
        CaretToEnd(Edit);
        TTestIO Io;
        Io.SetTerminal(&Edit);
        Io.SetTerminalUsage(tuReceive);
        Io.TerminalOutput(Case.Bytes.constData(), static_cast<int>(Case.Bytes.size()));
        EXPECT_EQ(Edit.toPlainText(), QString::fromUtf8(Case.After)) << Case.Name;
    }
}

TEST(LxTerminal, ABlockGoesInAtTheCaret) {
    QPlainTextEdit Edit;
    Edit.setPlainText("ad");
    QTextCursor Cursor = Edit.textCursor();
    Cursor.setPosition(1);
    Edit.setTextCursor(Cursor);
    TTestIO Io;
    Io.SetTerminal(&Edit);
    Io.SetTerminalUsage(tuBoth);
    Io.TerminalOutput("bc", 2);
    EXPECT_EQ(Edit.toPlainText(), "abcd");
}

TEST(LxTerminal, OnlyReceivingUsagesShowAnything) {
    for (const TTerminalUsage Usage : {tuNone, tuSend, tuReceive, tuBoth}) {
        QPlainTextEdit Edit;
        TTestIO Io;
        Io.SetTerminalUsage(Usage); // before the edit: binding applies it
        Io.SetTerminal(&Edit);
        Io.DoReceived("hi", 2);
        const bool Shows = Usage == tuReceive || Usage == tuBoth;
        EXPECT_EQ(Edit.toPlainText(), Shows ? "hi" : "") << Usage;
    }
}

TEST(LxTerminal, TypedKeysAreSentByUsageAndShownByEcho) {
    struct TCase {
        TTerminalUsage Usage;
        bool Echo;
        bool Sent;
        bool Shown;
    };
    const TCase Cases[] = {
        {tuNone, false, false, true},   {tuReceive, false, false, true},
        {tuReceive, true, false, true}, {tuSend, false, true, false},
        {tuSend, true, true, true},     {tuBoth, false, true, false},
        {tuBoth, true, true, true},
    };
    for (const TCase& Case : Cases) {
        QPlainTextEdit Edit;
        TTestIO Io;
        Io.SetTerminal(&Edit);
        Io.SetTerminalUsage(Case.Usage);
        Io.SetTerminalEcho(Case.Echo);
        Type(Edit, "k");
        EXPECT_EQ(Io.SentChars, Case.Sent ? std::vector<char16_t>{u'k'} : std::vector<char16_t>{})
            << Case.Usage << " echo " << Case.Echo;
        EXPECT_EQ(Edit.toPlainText(), Case.Shown ? "k" : "") << Case.Usage << " echo " << Case.Echo;
    }
}

TEST(LxTerminal, AKeyWithoutTextIsTheEditsOwn) {
    QPlainTextEdit Edit;
    Edit.setPlainText("ab");
    TTestIO Io;
    Io.SetTerminal(&Edit);
    Io.SetTerminalUsage(tuSend);
    QKeyEvent Press(QEvent::KeyPress, Qt::Key_End, Qt::NoModifier);
    QApplication::sendEvent(&Edit, &Press);
    EXPECT_TRUE(Io.SentChars.empty());
    EXPECT_EQ(Edit.textCursor().position(), 2);
}

TEST(LxTerminal, BindingAndUnbindingPostTheNotice) {
    TNoticeEdit First;
    TNoticeEdit Second;
    TTestIO Io;
    Io.SetTerminal(&First);
    Io.SetTerminal(&Second);
    Io.SetTerminal(nullptr);
    EXPECT_TRUE(First.Notices.empty()); // posted, not sent
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(First.Notices, (std::vector<TlxBaseIO*>{&Io, nullptr}));
    EXPECT_EQ(Second.Notices, (std::vector<TlxBaseIO*>{&Io, nullptr}));

    // Unbound, the edit's keys are its own again.
    Io.SetTerminalUsage(tuSend);
    Type(First, "k");
    EXPECT_TRUE(Io.SentChars.empty());
    EXPECT_EQ(First.toPlainText(), "k");
}

TEST(LxTerminal, BindingWhileDesigningTurnsNoUsageIntoBoth) {
    for (const bool Designing : {true, false}) {
        QPlainTextEdit Edit;
        TTestIO Io;
        Io.SetDesigning(Designing);
        Io.SetTerminal(&Edit);
        EXPECT_EQ(Io.TerminalUsage(), Designing ? tuBoth : tuNone);
    }
    QPlainTextEdit Edit;
    TTestIO Io;
    Io.SetDesigning(true);
    Io.SetTerminalUsage(tuSend);
    Io.SetTerminal(&Edit);
    EXPECT_EQ(Io.TerminalUsage(), tuSend);
}

TEST(LxTerminal, LoadedAppliesTheStoredBinding) {
    QPlainTextEdit Edit;
    TTestIO Io;
    LoadComponents({&Io}, [&] {
        Io.SetTerminal(&Edit);
        Io.SetTerminalUsage(tuReceive);
    });
    Io.TerminalOutput("ok", 2);
    EXPECT_EQ(Edit.toPlainText(), "ok");
    EXPECT_TRUE(Io.IsReceiveNeeded());
}

TEST(LxTerminal, EitherSideMayGoFirst) {
    {
        TTestIO Io;
        auto Edit = std::make_unique<QPlainTextEdit>();
        Io.SetTerminal(Edit.get());
        Io.SetTerminalUsage(tuBoth);
        Edit.reset();
        EXPECT_EQ(Io.Terminal(), nullptr);
        EXPECT_FALSE(Io.IsReceiveNeeded());
        Io.TerminalOutput("lost", 4); // shown nowhere, touching nothing
        Io.DoReceived("lost", 4);
    }
    {
        TNoticeEdit Edit;
        auto Io = std::make_unique<TTestIO>();
        Io->SetTerminal(&Edit);
        Io->SetTerminalUsage(tuSend);
        Io.reset();
        Type(Edit, "k"); // the filter went with the component
        EXPECT_EQ(Edit.toPlainText(), "k");
        QCoreApplication::sendPostedEvents();
        ASSERT_EQ(Edit.Notices.size(), 2u);
        EXPECT_EQ(Edit.Notices[1], nullptr); // let go on destruction
    }
}

TEST(LxTerminal, OutputFromAnotherThreadWaitsUntilShown) {
    QPlainTextEdit Edit;
    TTestIO Io;
    Io.SetTerminal(&Edit);
    Io.SetTerminalUsage(tuReceive);
    std::atomic<bool> Returned = false;
    std::thread Worker([&] {
        Io.DoReceived("from the line", 13);
        Returned = true;
    });
    ASSERT_TRUE(RunUntil([&] { return Returned.load(); }, 5000));
    Worker.join();
    EXPECT_EQ(Edit.toPlainText(), "from the line");
}

} // namespace
