// The data processor: attaching through the notify list, the chain and the receive path, the
// send operations with the one-shot completion timer, fatal errors, and destruction in any order.
#include "eventloop.h"
#include "fake_winapi.h"
#include "qtprint.h"
#include "recording_log.h"
#include "testio.h"

#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using lxtest::RunFor;
using lxtest::RunUntil;
using lxtest::TRecordingLog;
using lxtest::TTestIO;

// A processor that records what reaches it and can hide blocks from the terminal.
class TProcessor : public TlxCustomDataProcessor {
public:
    explicit TProcessor(std::string Name = "P", std::vector<std::string>* Journal = nullptr)
        : fName(std::move(Name)), fJournal(Journal) {
        sLogPrefix = QString::fromStdString(fName + ": ");
    }

    bool HideFromTerminal = false;
    bool IgnoreAfterSend = false;
    std::atomic<int> Completions = 0;
    QElapsedTimer Clock;
    qint64 CompletedAt = -1;

    void DoProcessing(const char* Data, quint32 Len, TIgnoreTypes& R) override {
        if (fJournal != nullptr) {
            fJournal->push_back(fName + ":" + std::string(Data, Len));
        }
        if (HideFromTerminal) {
            R.Include(itTerminal);
        }
        TlxCustomDataProcessor::DoProcessing(Data, Len, R);
    }
    void DoAfterSendComplete(bool& flIgnore) override {
        CompletedAt = Clock.isValid() ? Clock.elapsed() : -1;
        ++Completions;
        flIgnore = IgnoreAfterSend;
    }

private:
    std::string fName;
    std::vector<std::string>* fJournal;
};

// An OnDataSend handler.
struct TSendHandler {
    bool Take = true;
    bool Raise = false;
    std::vector<std::pair<QByteArray, bool>> Seen; // block, flSynchro
    void OnDataSend(QObject*, const char* Buffer, quint32 Len, bool flSynchro, bool& flHandled) {
        EXPECT_FALSE(flHandled);
        Seen.emplace_back(QByteArray(Buffer, Len), flSynchro);
        flHandled = Take;
        if (Raise) {
            throw ElxError("send handler failed");
        }
    }
    TDataSendEvent Handler() { return TDataSendEvent::Bind<&TSendHandler::OnDataSend>(this); }
};

// ---------------------------------------------------------------------------------------------
// Attaching and the notify list

TEST(LxDataProcessor, MediumNoticesArriveThroughTheNotifyList) {
    TTestIO Io;
    TProcessor Processor;
    TRecordingLog Log;
    Processor.AssignLog(&Log);
    Io.SetDataProcessor(&Processor);
    EXPECT_EQ(Processor.Device(), &Io);
    Io.DoNotify(2);
    Io.DoNotify(3);
    Io.DoNotify(1);
    const auto Lines = Log.Lines();
    ASSERT_EQ(Lines.size(), 2u);
    EXPECT_EQ(Lines[0].Text, "P: Medium Opened");
    EXPECT_EQ(Lines[0].Level, dlDebug);
    EXPECT_EQ(Lines[1].Text, "P: Medium Closed");

    // Detached, it hears nothing more.
    Io.SetDataProcessor(nullptr);
    EXPECT_EQ(Processor.Device(), nullptr);
    Io.DoNotify(2);
    EXPECT_EQ(Log.Lines().size(), 2u);
}

TEST(LxDataProcessor, AReplacedProcessorStaysAttached) {
    TTestIO Io;
    TProcessor First("A");
    TProcessor Second("B");
    TRecordingLog Log;
    First.AssignLog(&Log);
    Io.SetDataProcessor(&First);
    Io.SetDataProcessor(&Second);
    EXPECT_EQ(Io.DataProcessor(), &Second);
    EXPECT_EQ(First.Device(), &Io);
    // Both register the same method: only the first one bound is in the list.
    Io.DoNotify(2);
    EXPECT_EQ(Log.Texts(), QStringList{"A: Medium Opened"});
}

// ---------------------------------------------------------------------------------------------
// The chain and the receive path

TEST(LxDataProcessor, AChainSeesEachBlockInOrderAndMayHideItFromTheTerminal) {
    for (const bool Hide : {false, true}) {
        std::vector<std::string> Journal;
        QPlainTextEdit Edit;
        TTestIO Io;
        TProcessor A("A", &Journal);
        TProcessor B("B", &Journal);
        Io.SetTerminal(&Edit);
        Io.SetTerminalUsage(tuReceive);
        Io.SetDataProcessor(&A);
        A.ChainProcessor(&B);
        EXPECT_EQ(B.Device(), &Io); // the chained one joins the device
        B.HideFromTerminal = Hide;
        Io.DoReceived("xy", 2);
        EXPECT_EQ(Journal, (std::vector<std::string>{"A:xy", "B:xy"}));
        EXPECT_EQ(Edit.toPlainText(), Hide ? "" : "xy") << Hide;

        // Fed directly, the block goes down the chain and nowhere else.
        A.DataReceive("z", 1);
        EXPECT_EQ(Journal.back(), "B:z");
        EXPECT_EQ(Edit.toPlainText(), Hide ? "" : "xy") << Hide;
    }
}

TEST(LxDataProcessor, AChainNeverLoops) {
    std::vector<std::string> Journal;
    TProcessor A("A", &Journal);
    TProcessor B("B", &Journal);
    TProcessor C("C", &Journal);
    A.ChainProcessor(&A);
    EXPECT_EQ(A.DataProcessor(), nullptr);
    A.ChainProcessor(&B);
    B.ChainProcessor(&C);
    C.ChainProcessor(&A); // would close the loop
    EXPECT_EQ(C.DataProcessor(), nullptr);
    A.ChainProcessor(&A);
    EXPECT_EQ(A.DataProcessor(), &B);
    A.DataReceive("q", 1);
    EXPECT_EQ(Journal, (std::vector<std::string>{"A:q", "B:q", "C:q"}));
}

TEST(LxDataProcessor, AfterSendCompletionMayBeIgnored) {
    TTestIO Io;
    EXPECT_FALSE(Io.DoAfterSend());
    TProcessor Processor;
    Io.SetDataProcessor(&Processor);
    EXPECT_FALSE(Io.DoAfterSend());
    Processor.IgnoreAfterSend = true;
    EXPECT_TRUE(Io.DoAfterSend());
    EXPECT_EQ(Processor.Completions, 2);
}

// ---------------------------------------------------------------------------------------------
// Sending

class LxDataProcessorSend : public ::testing::Test {
protected:
    lxtest::TFakeApi Fake;
    lxtest::TFakeApiScope Scope{Fake};
    TTestIO Io;
    TProcessor Processor;
    TRecordingLog Log;
    TSendHandler Handler;

    void SetUp() override {
        Processor.AssignLog(&Log);
        Io.SetDataProcessor(&Processor);
        Io.SetActive(true);
    }
};

TEST_F(LxDataProcessorSend, AnUnhandledBlockGoesToTheDeviceAndIsFlushed) {
    Processor.DoDataSend("hello", 5);
    EXPECT_EQ(Io.Sent, "hello");
    const auto Flushes = Fake.Calls("FlushFileBuffers");
    ASSERT_EQ(Flushes.size(), 1u);
    EXPECT_EQ(Flushes[0].Args[0], reinterpret_cast<std::uintptr_t>(Io.Handle()));
    EXPECT_EQ(Log.Texts(), QStringList{"P: DoDataSend: 5 bytes"});
    EXPECT_EQ(Log.Lines()[0].Level, dlDebug);
}

TEST_F(LxDataProcessorSend, NothingToSendOrNoDeviceDoesNothing) {
    Processor.DoDataSend("", 0);
    Processor.DoDataSend(nullptr, 3);
    Processor.DoStringSend("");
    Io.SetDataProcessor(nullptr);
    Processor.DoDataSend("abc", 3);
    Processor.DoStringSend("abc");
    EXPECT_TRUE(Io.Sent.isEmpty());
    EXPECT_TRUE(Log.Lines().empty());
    EXPECT_EQ(Fake.CallCount("FlushFileBuffers"), 0);
}

TEST_F(LxDataProcessorSend, StringsGoToTheDeviceUnlessHandledWithoutTimerOrLog) {
    Handler.Take = false;
    Processor.SetOnDataSend(Handler.Handler());
    Processor.DoStringSend("AT\r");
    EXPECT_EQ(Io.Sent, "AT\r");
    Handler.Take = true;
    Processor.DoStringSend("ATZ");
    EXPECT_EQ(Io.Sent, "AT\r");
    ASSERT_EQ(Handler.Seen.size(), 2u);
    EXPECT_EQ(Handler.Seen[1], std::make_pair(QByteArray("ATZ"), true));
    EXPECT_TRUE(Log.Lines().empty()); // and no completion: see the timer test below
}

TEST_F(LxDataProcessorSend, FailuresOfTheSendAreSwallowed) {
    Handler.Take = false;
    Handler.Raise = true;
    Processor.SetOnDataSend(Handler.Handler());
    EXPECT_NO_THROW(Processor.DoDataSend("abc", 3));
    EXPECT_NO_THROW(Processor.DoStringSend("abc"));
    EXPECT_TRUE(Io.Sent.isEmpty());
    EXPECT_TRUE(Log.Lines().empty());
}

TEST_F(LxDataProcessorSend, AHandledSendCompletesOnceAboutOneSecondLater) {
    // Four at once, to keep the test short: a plain handled send, one cancelled with
    // StartTimerAsync(0), one sent from a worker thread (its timer is armed on the processor's
    // own thread), and a handled string, which arms no timer.
    TProcessor Cancelled;
    TProcessor FromWorker;
    TProcessor Text;
    for (TProcessor* Each : {&Processor, &Cancelled, &FromWorker, &Text}) {
        Each->SetOnDataSend(Handler.Handler());
        Each->Clock.start();
    }
    Processor.DoDataSend("12345", 5);
    Cancelled.DoDataSend("12345", 5);
    Cancelled.StartTimerAsync(0);
    Text.DoStringSend("12345");
    std::thread Worker([&] { FromWorker.DoDataSend("12345", 5); });
    Worker.join();

    EXPECT_TRUE(Io.Sent.isEmpty());
    EXPECT_EQ(Fake.CallCount("FlushFileBuffers"), 0);
    EXPECT_EQ(Log.Texts(), QStringList{"P: DoDataSend: 5 bytes"});
    ASSERT_TRUE(RunUntil([&] { return Processor.Completions == 1; }, 2000));
    RunFor(250);
    EXPECT_EQ(Processor.Completions, 1);
    EXPECT_GE(Processor.CompletedAt, 990);
    EXPECT_LE(Processor.CompletedAt, 1400);
    EXPECT_EQ(Cancelled.Completions, 0);
    EXPECT_EQ(FromWorker.Completions, 1);
    EXPECT_GE(FromWorker.CompletedAt, 990);
    EXPECT_EQ(Text.Completions, 0);
}

// ---------------------------------------------------------------------------------------------
// Fatal errors and the log

TEST(LxDataProcessor, DoFatalErrorsLogsWithoutPrefixAndRaisesUnlessVetoed) {
    TProcessor Processor;
    EXPECT_THROW(Processor.DoFatalErrors(1, 2, "broken"), ElxError);
    TRecordingLog Log;
    Processor.AssignLog(&Log);
    struct TVeto {
        void OnFatalError(QObject*, quint32, quint32, const QString&, bool& Raise) {
            Raise = false;
        }
    } Veto;
    Processor.SetOnFatalError(TOnFatalErrorEvent::Bind<&TVeto::OnFatalError>(&Veto));
    EXPECT_NO_THROW(Processor.DoFatalErrors(1, 2, "broken"));
    EXPECT_EQ(Log.Texts(), QStringList{"Fatal Error: 1, 2, broken"});
    EXPECT_EQ(Log.Lines()[0].Level, dlSimple);
}

TEST(LxDataProcessor, ActiveIsOnlyStoredAndALogThatGoesIsForgotten) {
    TProcessor Processor;
    Processor.SetActive(true);
    EXPECT_TRUE(Processor.Active());
    auto Log = std::make_unique<TRecordingLog>();
    Processor.AssignLog(Log.get());
    Log.reset();
    EXPECT_EQ(Processor.Log(), nullptr);
    Processor.DoMediumOpened();
}

// ---------------------------------------------------------------------------------------------
// Destruction in any order. Each case leaves references that would dangle if a removal notice
// were missed or came too late; ASan turns any use of them into a failure.

// Listens on a component's notify list like a device box: forgets it when it goes.
class TDeviceListener : public TComponent {
public:
    TlxBaseIO* Device = nullptr;
    int Calls = 0;

    void Bind(TlxBaseIO* Value) {
        Device = Value;
        Value->NotifyAdd(Handler());
        FreeNotification(Value);
    }
    ~TDeviceListener() override {
        if (Device != nullptr) {
            Device->NotifyDelete(Handler());
        }
    }
    void OnNotify(QObject*, int) { ++Calls; }

protected:
    void Notification(QObject* AComponent, TOperation Operation) override {
        TComponent::Notification(AComponent, Operation);
        if (Operation == opRemove && AComponent == Device) {
            Device->NotifyDelete(Handler()); // calls back into the component that is going
            Device = nullptr;
        }
    }

private:
    TlxNotifyEvent Handler() { return TlxNotifyEvent::Bind<&TDeviceListener::OnNotify>(this); }
};

TEST(LxDataProcessorLifetime, TheComponentGoesFirst) {
    auto Io = std::make_unique<TTestIO>();
    TProcessor A("A");
    TProcessor B("B");
    TProcessor Replaced("R");
    TDeviceListener Listener;
    Io->SetDataProcessor(&Replaced);
    Io->SetDataProcessor(&A);
    A.ChainProcessor(&B);
    Listener.Bind(Io.get());
    Io.reset();
    for (TProcessor* Each : {&A, &B, &Replaced}) {
        EXPECT_EQ(Each->Device(), nullptr);
    }
    EXPECT_EQ(Listener.Device, nullptr);
    EXPECT_EQ(A.DataProcessor(), &B);
}

TEST(LxDataProcessorLifetime, TheProcessorsGoFirst) {
    for (const bool HeadFirst : {true, false}) {
        TTestIO Io;
        TRecordingLog Log;
        auto A = std::make_unique<TProcessor>("A");
        auto B = std::make_unique<TProcessor>("B");
        B->AssignLog(&Log);
        Io.SetDataProcessor(A.get());
        A->ChainProcessor(B.get());
        if (HeadFirst) {
            A.reset();
            EXPECT_EQ(Io.DataProcessor(), nullptr);
            Io.DoReceived("x", 1);
            B.reset();
        } else {
            B.reset();
            EXPECT_EQ(A->DataProcessor(), nullptr);
            Io.DoReceived("x", 1);
            A.reset();
            EXPECT_EQ(Io.DataProcessor(), nullptr);
        }
        Io.DoNotify(2); // nobody left on the notify list
        Io.DoReceived("x", 1);
        EXPECT_TRUE(Log.Lines().empty());
    }
}

TEST(LxDataProcessorLifetime, AListenerGoesFirst) {
    TTestIO Io;
    auto Listener = std::make_unique<TDeviceListener>();
    Listener->Bind(&Io);
    Io.Update();
    EXPECT_EQ(Listener->Calls, 1);
    Listener.reset();
    Io.Update(); // would call the gone listener
}

TEST(LxDataProcessorLifetime, OwnedByOneFormInEitherOrder) {
    for (const bool ComponentFirst : {true, false}) {
        QObject Form;
        TTestIO* Io = nullptr;
        TProcessor* Processor = nullptr;
        if (ComponentFirst) {
            Io = new TTestIO(&Form);
            Processor = new TProcessor("P");
            Processor->setParent(&Form);
        } else {
            Processor = new TProcessor("P");
            Processor->setParent(&Form);
            Io = new TTestIO(&Form);
        }
        auto* Log = new TRecordingLog(&Form);
        Io->SetLog(Log);
        Processor->AssignLog(Log);
        Io->SetDataProcessor(Processor);
    } // the form destroys them in the order they were created
}

} // namespace
