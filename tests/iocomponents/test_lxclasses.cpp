#include "lxclasses.h"

#include <QObject>
#include <QString>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------------
// Handlers bound to objects

struct TCall {
    std::string Listener;
    QObject* Sender;
    int Code;
    friend bool operator==(const TCall&, const TCall&) = default;
};

struct TListener {
    std::string Name;
    std::vector<TCall>* Calls;
    // Run after recording, to let a handler act on the list while it is being called.
    std::function<void()> Then;

    void OnNotify(QObject* Sender, int Code) {
        Calls->push_back({Name, Sender, Code});
        if (Then) {
            Then();
        }
    }
    void OnOther(QObject* Sender, int Code) { Calls->push_back({Name + ".other", Sender, Code}); }
};

struct TBase {
    virtual ~TBase() = default;
    virtual void Tick(QObject*) { Called = "base"; }
    std::string Called;
};
struct TDerived : TBase {
    void Tick(QObject*) override { Called = "derived"; }
};

TEST(LxMethod, CodeIdentifiesTheMethodAndCallsTheMostDerivedOverride) {
    TDerived Derived;
    TBase Base;
    const auto ThroughBase = TNotifyEvent::Bind<&TBase::Tick>(&Base);
    const auto ThroughDerived = TNotifyEvent::Bind<&TBase::Tick>(&Derived);
    EXPECT_EQ(ThroughBase.Code, ThroughDerived.Code);
    EXPECT_NE(ThroughBase, ThroughDerived);

    ThroughDerived(nullptr);
    EXPECT_EQ(Derived.Called, "derived");
    EXPECT_FALSE(TNotifyEvent{});
}

// ---------------------------------------------------------------------------------------------
// TlxNotifyList

class NotifyList : public ::testing::Test {
protected:
    std::vector<TCall> Calls;
    TListener A{"A", &Calls, {}};
    TListener B{"B", &Calls, {}};
    TListener C{"C", &Calls, {}};
    QObject Sender;
    TlxNotifyList List;

    static TlxNotifyEvent Notify(TListener& Listener) {
        return TlxNotifyEvent::Bind<&TListener::OnNotify>(&Listener);
    }
    static TlxNotifyEvent Other(TListener& Listener) {
        return TlxNotifyEvent::Bind<&TListener::OnOther>(&Listener);
    }
};

TEST_F(NotifyList, IndexOfComparesTheMethodAlone) {
    EXPECT_EQ(List.IndexOf(Notify(A)), -1);
    EXPECT_EQ(List.Add(Notify(A)), 0);
    EXPECT_EQ(List.Add(Other(A)), 1);

    // The same method bound to another object counts as already present.
    EXPECT_EQ(List.IndexOf(Notify(B)), 0);
    EXPECT_EQ(List.IndexOf(Other(C)), 1);
    // Add itself does not look for duplicates.
    EXPECT_EQ(List.Add(Notify(B)), 2);
    EXPECT_EQ(List.IndexOf(Notify(B)), 0);
}

TEST_F(NotifyList, CallsEveryHandlerInOrderWithTheSameArguments) {
    List.Call(&Sender, 1); // empty: calls nothing
    EXPECT_TRUE(Calls.empty());

    List.Add(Notify(A));
    List.Add(TlxNotifyEvent{}); // an unset handler is skipped
    List.Add(Other(B));
    List.Add(Notify(C));
    List.Call(&Sender, 3);
    EXPECT_EQ(Calls,
              (std::vector<TCall>{{"A", &Sender, 3}, {"B.other", &Sender, 3}, {"C", &Sender, 3}}));
}

TEST_F(NotifyList, ClearAndDeleteReleaseTheCopies) {
    for (TListener* Listener : {&A, &B, &C}) {
        List.Add(Notify(*Listener));
    }
    List.Delete(1);
    ASSERT_EQ(List.Count(), 2);
    EXPECT_EQ(List.Get(1), Notify(C));

    List.Clear();
    EXPECT_EQ(List.Count(), 0);
    List.Call(&Sender, 1);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(NotifyList, PutOverwritesInPlaceAndGetReturnsACopy) {
    List.Add(Notify(A));
    List.Add(Notify(B));
    List.Put(0, Other(C));
    TlxNotifyEvent Copy = List.Get(0);
    EXPECT_EQ(Copy, Other(C));
    Copy.Data = &A;
    EXPECT_EQ(List.Get(0).Data, &C);
    List.Call(&Sender, 2);
    EXPECT_EQ(Calls, (std::vector<TCall>{{"C.other", &Sender, 2}, {"B", &Sender, 2}}));
}

TEST_F(NotifyList, IndexErrorsLeaveTheListUnchanged) {
    List.Add(Notify(A));
    List.Add(Other(B));
    const std::vector<std::pair<const char*, std::function<void(int)>>> Operations = {
        {"Get", [&](int Index) { List.Get(Index); }},
        {"Put", [&](int Index) { List.Put(Index, Notify(C)); }},
        {"Delete", [&](int Index) { List.Delete(Index); }},
    };
    for (const auto& [Name, Operation] : Operations) {
        for (const int Index : {-1, 2, 1000}) {
            EXPECT_THROW(Operation(Index), ElxError) << Name << " " << Index;
            ASSERT_EQ(List.Count(), 2) << Name << " " << Index;
            EXPECT_EQ(List.Get(0), Notify(A));
            EXPECT_EQ(List.Get(1), Other(B));
        }
    }
}

TEST_F(NotifyList, AHandlerDeletingItemsAbandonsTheRestOfTheCall) {
    // A removes itself while being called: B moves to index 0 and is passed over, C is called
    // from index 1, and index 2 (counted before the call) no longer exists.
    A.Then = [&] { List.Delete(List.IndexOf(Notify(A))); };
    List.Add(Notify(A));
    List.Add(Other(B));
    List.Add(Notify(C));
    EXPECT_THROW(List.Call(&Sender, 1), ElxError);
    EXPECT_EQ(Calls, (std::vector<TCall>{{"A", &Sender, 1}, {"C", &Sender, 1}}));
    EXPECT_EQ(List.Count(), 2);
}

// ---------------------------------------------------------------------------------------------
// TlxDevice, TIgnoreTypes

TEST(LxDevice, IsCreatedEmpty) {
    const TlxDevice Device;
    EXPECT_EQ(Device.Index(), 0);
    EXPECT_EQ(Device.Parent(), nullptr);
    EXPECT_EQ(Device.Handle, 0u);
    EXPECT_EQ(Device.DevInst, 0u);
    EXPECT_EQ(Device.Data, 0);
    EXPECT_EQ(Device.DataEx, 0);
    for (const QString* Text :
         {&Device.NameFriendly, &Device.NamePDO, &Device.NameDeviceDos, &Device.NameSymbolic,
          &Device.RegKey, &Device.Description, &Device.Service, &Device.Driver, &Device.InstanceId,
          &Device.BusRelations, &Device.PortName, &Device.Manufacturer, &Device.SerialNumber}) {
        EXPECT_TRUE(Text->isEmpty());
    }
    EXPECT_EQ(Device.GuidClass, winapi::GUID{});
}

TEST(LxSet, MemberNIsBitN) {
    TIgnoreTypes Set{itTerminal, itTraceState};
    EXPECT_EQ(Set.Bits(), 0b1001u);
    EXPECT_TRUE(Set.Contains(itTraceState));
    EXPECT_FALSE(Set.Contains(itEventList));
    Set.Exclude(itTerminal).Include(itAfterReceive);
    EXPECT_EQ(Set, (TIgnoreTypes{itAfterReceive, itTraceState}));
    EXPECT_TRUE(TIgnoreTypes{}.Empty());
}

// ---------------------------------------------------------------------------------------------
// TlxCustomLogFile

class TTestLog : public TlxCustomLogFile {
public:
    using TlxCustomLogFile::DoFatalError;
    void Save() override {}
    void Clear() override {}
    void Add(const QString&) override {}
    void AddSysInfo() override {}
    void AddLog(TDetailLevel, const QString&) override {}
    void AddFmt(const QString&, const TlxArgs&) override {}
    void AddLogFmt(TDetailLevel, const QString&, const TlxArgs&) override {}
};

struct TFatalErrorHandler {
    bool Veto = false;
    int Calls = 0;
    QObject* Sender = nullptr;
    quint32 ErrorCode = 0;
    quint32 Detail = 0;
    QString ErrorMsg;
    bool RaiseOnArrival = false;

    void OnFatalError(QObject* aSender, quint32 aErrorCode, quint32 aDetail,
                      const QString& aErrorMsg, bool& RaiseException) {
        ++Calls;
        Sender = aSender;
        ErrorCode = aErrorCode;
        Detail = aDetail;
        ErrorMsg = aErrorMsg;
        RaiseOnArrival = RaiseException;
        if (Veto) {
            RaiseException = false;
        }
    }
};

TEST(LxCustomLogFile, DoFatalErrorHandlerThatVetoesStopsTheException) {
    TTestLog Log;
    TFatalErrorHandler Handler;
    Handler.Veto = true;
    Log.SetOnFatalError(TOnFatalErrorEvent::Bind<&TFatalErrorHandler::OnFatalError>(&Handler));
    EXPECT_NO_THROW(Log.DoFatalError(1, 7, "cannot write"));
    EXPECT_EQ(Handler.Calls, 1);
    EXPECT_EQ(Handler.Sender, &Log);
    EXPECT_EQ(Handler.ErrorCode, 1u);
    EXPECT_EQ(Handler.Detail, 7u);
    EXPECT_EQ(Handler.ErrorMsg, "cannot write");
    EXPECT_TRUE(Handler.RaiseOnArrival);
}

TEST(LxCustomLogFile, DoFatalErrorRaisesTheMessageUnlessVetoed) {
    const QString Message = QString::fromUtf8("日志文件无法写入");
    TTestLog Log;
    TFatalErrorHandler Handler;
    for (const bool WithHandler : {false, true}) {
        if (WithHandler) {
            Log.SetOnFatalError(
                TOnFatalErrorEvent::Bind<&TFatalErrorHandler::OnFatalError>(&Handler));
        }
        try {
            Log.DoFatalError(1, 0, Message);
            ADD_FAILURE() << "nothing raised, handler " << WithHandler;
        } catch (const ElxError& Error) {
            EXPECT_EQ(Error.Message(), Message);
            EXPECT_EQ(QString::fromUtf8(Error.what()), Message);
        }
    }
    EXPECT_EQ(Handler.Calls, 1);
}

} // namespace
