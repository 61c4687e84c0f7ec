#include "lxclasses.h"

#include "lxsysutils.h"
#include "lxui.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QThread>
#include <QTimerEvent>
#include <algorithm>
#include <chrono>
#include <limits>

// ---------------------------------------------------------------------------------------------
// TlxNotifyList

TlxNotifyList::~TlxNotifyList() {
    Clear();
}

int TlxNotifyList::Add(const TlxNotifyEvent& Item) {
    fItems.push_back(std::make_unique<TlxNotifyEvent>(Item));
    return Count() - 1;
}

void TlxNotifyList::Delete(int Index) {
    CheckIndex(Index);
    fItems.erase(fItems.begin() + Index);
}

void TlxNotifyList::Clear() {
    for (int i = Count(); i > 0; --i) {
        Delete(0);
    }
    fItems.clear();
}

int TlxNotifyList::IndexOf(const TlxNotifyEvent& Item) const {
    for (int i = 0; i < Count(); ++i) {
        if (fItems[i]->Code == Item.Code) {
            return i;
        }
    }
    return -1;
}

void TlxNotifyList::Call(QObject* Sender, int Code) {
    const int Calls = Count();
    for (int i = 0; i < Calls; ++i) {
        // A copy: the handler may delete its own entry.
        const TlxNotifyEvent Handler = Get(i);
        if (Handler) {
            Handler(Sender, Code);
        }
    }
}

TlxNotifyEvent TlxNotifyList::Get(int Index) const {
    CheckIndex(Index);
    return *fItems[Index];
}

void TlxNotifyList::Put(int Index, const TlxNotifyEvent& Item) {
    CheckIndex(Index);
    *fItems[Index] = Item;
}

void TlxNotifyList::CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count()) {
        throw ElxError(QStringLiteral("Notify list index out of bounds (%1)").arg(Index));
    }
}

// ---------------------------------------------------------------------------------------------
// TlxTimer

TlxTimer::TlxTimer() = default;

TlxTimer::~TlxTimer() {
    FEnabled = false;
    UpdateTimer();
}

void TlxTimer::SetEnabled(bool Value) {
    if (Value != FEnabled) {
        FEnabled = Value;
        UpdateTimer();
    }
}

void TlxTimer::SetInterval(quint32 Value) {
    if (Value != FInterval) {
        FInterval = Value;
        UpdateTimer();
    }
}

void TlxTimer::SetOnTimer(const TNotifyEvent& Value) {
    FOnTimer = Value;
    UpdateTimer();
}

void TlxTimer::UpdateTimer() {
    if (FTimerId != 0) {
        killTimer(FTimerId);
        FTimerId = 0;
    }
    if (FInterval != 0 && FEnabled && FOnTimer) {
        // Qt counts in int milliseconds; a longer period than it can hold waits as long as it can.
        const auto Period = std::min<quint32>(FInterval, std::numeric_limits<int>::max());
        // A precise timer keeps the period honest; a coarse one may stretch it by 5 %.
        FTimerId = startTimer(std::chrono::milliseconds(Period), Qt::PreciseTimer);
    }
}

void TlxTimer::timerEvent(QTimerEvent* Event) {
    if (Event->timerId() != FTimerId) {
        QObject::timerEvent(Event);
        return;
    }
    try {
        DoTimer();
    } catch (...) {
        // The handler's failure ends this tick only; the next one comes as usual.
    }
}

void TlxTimer::DoTimer() {
    if (FEnabled && FOnTimer) {
        FOnTimer(this);
    }
}

// ---------------------------------------------------------------------------------------------
// TlxCustomLogFile

TlxCustomLogFile::TlxCustomLogFile(QObject* AOwner) : TComponent(AOwner) {}

void TlxCustomLogFile::DoFatalError(quint32 ErrorCode, quint32 Detail, const QString& ErrorMsg) {
    bool RaiseException = true;
    if (fOnFatalError) {
        fOnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
    }
    if (RaiseException) {
        throw ElxError(ErrorMsg);
    }
}

// ---------------------------------------------------------------------------------------------
// TlxCustomDataProcessor

namespace {

TlxNotifyEvent DeviceNotifyOf(TlxCustomDataProcessor* Processor) {
    return TlxNotifyEvent::Bind<&TlxCustomDataProcessor::DeviceNotify>(Processor);
}

} // namespace

TlxCustomDataProcessor::TlxCustomDataProcessor(QObject* AOwner)
    : TComponent(AOwner), fTimerAsync(std::make_unique<TlxTimer>()) {
    fTimerAsync->SetEnabled(false);
    fTimerAsync->SetOnTimer(TNotifyEvent::Bind<&TlxCustomDataProcessor::TimerAsyncTimer>(this));
}

TlxCustomDataProcessor::~TlxCustomDataProcessor() {
    AttachDevice(nullptr);
    fTimerAsync.reset();
    // Whoever still refers to this processor (a component it was attached to without the
    // component knowing, a processor chained in front) hears of it while it is whole.
    Destroying();
}

void TlxCustomDataProcessor::DeviceNotify(QObject*, int Code) {
    if (Code == 1) {
        DoMediumClosed();
    } else if (Code == 2) {
        DoMediumOpened();
    }
}

void TlxCustomDataProcessor::DoMediumClosed() {
    LogMessage(dlDebug, QStringLiteral("Medium Closed"));
}

void TlxCustomDataProcessor::DoMediumOpened() {
    LogMessage(dlDebug, QStringLiteral("Medium Opened"));
}

void TlxCustomDataProcessor::ChainProcessor(TlxCustomDataProcessor* Value) {
    for (const TlxCustomDataProcessor* Next = Value; Next != nullptr; Next = Next->fDataProcessor) {
        if (Next == this) {
            return;
        }
    }
    fDataProcessor = Value;
    if (Value != nullptr) {
        FreeNotification(Value);
        Value->AttachDevice(fDevice);
    }
}

void TlxCustomDataProcessor::AttachDevice(TlxBaseIO* Value) {
    if (fDevice != nullptr && Value != fDevice) {
        fDevice->NotifyDelete(DeviceNotifyOf(this));
    }
    fDevice = Value;
    if (Value != nullptr) {
        FreeNotification(Value);
        Value->NotifyAdd(DeviceNotifyOf(this));
    }
}

void TlxCustomDataProcessor::SetActive(bool Value) {
    fActive = Value;
}

void TlxCustomDataProcessor::DoDataSend(const char* ptrBuffer, quint32 Len) {
    if (Len == 0 || ptrBuffer == nullptr) {
        return;
    }
    try {
        bool flHandled = false;
        if (fOnDataSend) {
            fOnDataSend(this, ptrBuffer, Len, false, flHandled);
        }
        if (flHandled) {
            // Off and on again: the completion comes one full interval from now.
            OnTimerThread([](TlxTimer& Timer) {
                Timer.SetEnabled(false);
                Timer.SetEnabled(true);
            });
        } else {
            if (fDevice == nullptr) {
                return;
            }
            fDevice->SendData(ptrBuffer, Len);
            winapi::Api().FlushFileBuffers(fDevice->Handle());
        }
        LogFormat(dlDebug, QStringLiteral("DoDataSend: %u bytes"), {Len});
    } catch (...) {
        // The caller learns nothing of a failed send.
    }
}

void TlxCustomDataProcessor::DoStringSend(const QByteArray& S) {
    if (S.isEmpty()) {
        return;
    }
    try {
        bool flHandled = false;
        if (fOnDataSend) {
            fOnDataSend(this, S.constData(), static_cast<quint32>(S.size()), true, flHandled);
        }
        if (!flHandled && fDevice != nullptr) {
            fDevice->SendString(S);
        }
    } catch (...) {
        // As DoDataSend.
    }
}

void TlxCustomDataProcessor::TimerAsyncTimer(QObject*) {
    fTimerAsync->SetEnabled(false);
    bool flIgnore = false;
    DoAfterSendComplete(flIgnore);
}

void TlxCustomDataProcessor::StartTimerAsync(int Interval) {
    OnTimerThread([Interval](TlxTimer& Timer) {
        Timer.SetEnabled(false);
        if (Interval != 0) {
            Timer.SetInterval(static_cast<quint32>(Interval));
            Timer.SetEnabled(true);
        }
    });
}

void TlxCustomDataProcessor::OnTimerThread(const std::function<void(TlxTimer&)>& Step) {
    TlxTimer* const Timer = fTimerAsync.get();
    if (QThread::currentThread() == Timer->thread()) {
        Step(*Timer);
    } else {
        // Dropped with the queue if the processor is gone before it runs.
        fTimerCalls.Post([this, Step] { Step(*fTimerAsync); });
    }
}

void TlxCustomDataProcessor::DoFatalErrors(quint32 Code, quint32 Detail, const QString& Msg) {
    bool RaiseException = true;
    if (fOnFatalError) {
        fOnFatalError(this, Code, Detail, Msg, RaiseException);
    }
    if (fLog != nullptr) {
        fLog->AddLogFmt(dlSimple, QStringLiteral("Fatal Error: %u, %u, %s"), {Code, Detail, Msg});
    }
    if (RaiseException) {
        throw ElxError(Msg);
    }
}

void TlxCustomDataProcessor::DoProcessing(const char* Data, quint32 Len, TIgnoreTypes& R) {
    if (fDataProcessor != nullptr) {
        fDataProcessor->DoProcessing(Data, Len, R);
    }
}

void TlxCustomDataProcessor::DataReceive(const char* ptrBuffer, quint32 Len) {
    TIgnoreTypes R;
    DoProcessing(ptrBuffer, Len, R);
}

void TlxCustomDataProcessor::DoAfterSendComplete(bool&) {}

void TlxCustomDataProcessor::AssignLog(TlxCustomLogFile* Value) {
    fLog = Value;
    if (Value != nullptr) {
        FreeNotification(Value);
    }
}

void TlxCustomDataProcessor::LogMessage(TDetailLevel Level, const QString& Text) {
    if (fLog != nullptr) {
        fLog->AddLog(Level, sLogPrefix + Text);
    }
}

void TlxCustomDataProcessor::LogFormat(TDetailLevel Level, const QString& Format,
                                       const TlxArgs& Args) {
    if (fLog != nullptr) {
        fLog->AddLogFmt(Level, sLogPrefix + Format, Args);
    }
}

void TlxCustomDataProcessor::Notification(QObject* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove) {
        return;
    }
    if (AComponent == fDataProcessor) {
        ChainProcessor(nullptr);
    }
    if (AComponent == fDevice) {
        AttachDevice(nullptr);
    }
    if (AComponent == fLog) {
        AssignLog(nullptr);
    }
}

// ---------------------------------------------------------------------------------------------
// TlxTerminalEvent

TlxTerminalEvent::TlxTerminalEvent(TlxBaseIO* Component)
    : QEvent(TerminalEventType), fComponent(Component) {}

TlxBaseIO* TlxTerminalEvent::wParam() const {
    return static_cast<TlxBaseIO*>(fComponent.data());
}

// ---------------------------------------------------------------------------------------------
// TlxBaseIO

namespace {

constexpr quint32 KeepConnectionInterval = 2000;

// A key typed into the edit, done on its text cursor: a read-only edit ignores synthetic keys,
// and a terminal is often read-only. Printable characters replace the selection, backspace
// erases the character before the caret (or the selection), CR and LF start a new line, tab
// inserts a tab; other control characters do nothing, as in an edit control.
void TypeKey(QPlainTextEdit& Edit, QChar Key) {
    QTextCursor Cursor = Edit.textCursor();
    switch (Key.unicode()) {
    case 0x08:
        Cursor.deletePreviousChar();
        break;
    case 0x09:
        Cursor.insertText(QStringLiteral("\t"));
        break;
    case 0x0A:
    case 0x0D:
        Cursor.insertBlock();
        break;
    default:
        if (Key.unicode() < 0x20 || Key.unicode() == 0x7F) {
            return;
        }
        Cursor.insertText(QString(Key));
        break;
    }
    Edit.setTextCursor(Cursor);
}

} // namespace

TlxBaseIO::TlxBaseIO(QObject* AOwner) : TComponent(AOwner) {
    fOvlRead.hEvent = winapi::Api().CreateEventW(nullptr, winapi::FALSE, winapi::FALSE, nullptr);
    fOvlWrite.hEvent = winapi::Api().CreateEventW(nullptr, winapi::FALSE, winapi::FALSE, nullptr);
}

TlxBaseIO::~TlxBaseIO() {
    Destroying();
    SetTerminal(nullptr);
    if (timerKeepConnection) {
        timerKeepConnection->SetEnabled(false);
        timerKeepConnection.reset();
    }
    winapi::Api().CloseHandle(fOvlWrite.hEvent);
    winapi::Api().CloseHandle(fOvlRead.hEvent);
    ClearDevices();
}

bool TlxBaseIO::Active() const {
    const TComponentState State = ComponentState();
    if (State.Contains(csLoading) || State.Contains(csDesigning)) {
        return fActive;
    }
    return IsOpen();
}

void TlxBaseIO::SetActive(bool Value) {
    const TComponentState State = ComponentState();
    if (State.Contains(csLoading)) {
        fActive = Value;
        return;
    }
    const bool Designing = State.Contains(csDesigning);
    if (Value != Active() || Designing) {
        if (Value) {
            DoOpen();
        } else {
            DoClose();
        }
    }
    if (Designing) {
        fActive = IsOpen();
        if (fActive) {
            DoClose();
        }
    }
}

void TlxBaseIO::SetLog(TlxCustomLogFile* Value) {
    fLog = Value;
    if (Value != nullptr) {
        FreeNotification(Value);
    }
}

void TlxBaseIO::SetDataProcessor(TlxCustomDataProcessor* Value) {
    if (Value == nullptr && fDataProcessor != nullptr) {
        fDataProcessor->AttachDevice(nullptr);
    }
    fDataProcessor = Value;
    if (Value != nullptr) {
        Value->AttachDevice(this);
        FreeNotification(Value);
    }
}

void TlxBaseIO::SetTerminal(QPlainTextEdit* Value) {
    if (fTerminal != nullptr) {
        fTerminal->removeEventFilter(this);
        QCoreApplication::postEvent(fTerminal, new TlxTerminalEvent(nullptr));
    }
    if (Value != nullptr) {
        QCoreApplication::postEvent(Value, new TlxTerminalEvent(this));
        Value->installEventFilter(this);
    }
    hTerminal = nullptr;
    fTerminal = Value;
    if (Value != nullptr && ComponentState().Contains(csDesigning) && fTerminalUsage == tuNone) {
        fTerminalUsage = tuBoth;
    }
    SetTerminalUsage(fTerminalUsage);
    if (Value != nullptr) {
        FreeNotification(Value);
    }
}

void TlxBaseIO::SetTerminalUsage(TTerminalUsage Value) {
    fTerminalUsage = Value;
    if (fTerminal != nullptr) {
        const bool Shows = Value == tuReceive || Value == tuBoth;
        hTerminal = Shows ? fTerminal : nullptr;
    }
}

bool TlxBaseIO::IsOpen() const {
    return fHandle != winapi::INVALID_HANDLE_VALUE;
}

winapi::HANDLE TlxBaseIO::CreateHandle() {
    return winapi::INVALID_HANDLE_VALUE;
}

void TlxBaseIO::ReleaseHandle(winapi::HANDLE Handle) {
    winapi::Api().CloseHandle(Handle);
}

bool TlxBaseIO::IsReceiveNeeded() const {
    return fTerminal != nullptr || fOnReceived || fDataProcessor != nullptr;
}

void TlxBaseIO::DoOpen() {
    fHandle = CreateHandle();
    if (!IsOpen()) {
        return;
    }
    if (isThreaded) {
        StartThreadIO();
    }
    if (fOnOpen) {
        try {
            fOnOpen(this);
        } catch (...) {
            // The medium is open whatever the handler thinks of it.
        }
    }
}

void TlxBaseIO::DoClose() {
    // Taken in one step: IsOpen is false from here on, and of two threads closing at once only
    // one gets the handle to release.
    const winapi::HANDLE Kept = fHandle.exchange(winapi::INVALID_HANDLE_VALUE);
    if (Kept == winapi::INVALID_HANDLE_VALUE) {
        return;
    }
    ReleaseHandle(Kept);
    if (isThreaded) {
        StopThreadIO();
    }
    if (fOnClose) {
        try {
            fOnClose(this);
        } catch (...) {
            // The medium is closed whatever the handler thinks of it.
        }
    }
}

void TlxBaseIO::StartThreadIO() {
    IsThreadIOTerminated = false;
    // The thread frees itself when its body returns; its handle is all this component keeps.
    new TlxThreadIO(this, fPriority, &fThreadIO);
}

void TlxBaseIO::StopThreadIO() {
    // Once only, also when the main thread and the I/O thread close at the same moment.
    if (IsThreadIOTerminated.exchange(true)) {
        return;
    }
    const TThreadHandle Thread = fThreadIO;
    Thread.Terminate();
    // The body itself may close after a connection loss: it cannot wait for its own end, and
    // it returns once it sees the request.
    if (!Thread.IsCurrent()) {
        Thread.WaitFor();
        fThreadIO = TThreadHandle();
    }
}

void TlxBaseIO::ThreadIOExecute(TlxThreadIO*) {}

void TlxBaseIO::DoFatalError(quint32 ErrorCode, quint32 Detail, const QString& ErrorMsg,
                             bool flShowOnly) {
    bool RaiseException = true;
    if (fOnFatalError) {
        fOnFatalError(this, ErrorCode, Detail, ErrorMsg, RaiseException);
    }
    if (fLog != nullptr) {
        fLog->AddLogFmt(dlSimple, QStringLiteral("Fatal Error: %u, %u, %s"),
                        {ErrorCode, Detail, ErrorMsg});
    }
    if (!RaiseException || ComponentState().Contains(csLoading)) {
        return;
    }
    if (flShowOnly) {
        LxShowException(ErrorMsg);
    } else {
        throw ElxError(ErrorMsg);
    }
}

void TlxBaseIO::DoNotify(int Code) {
    lxNotifyList.Call(this, Code);
}

void TlxBaseIO::DoReceived(const void* Buffer, quint32 Len) {
    if (fUseMainThread && fThreadIO.IsCurrent()) {
        threadData = Buffer;
        threadDataSize = Len;
        TThread::Synchronize([this] { SyncReceived(); });
        return;
    }
    LogMessage(dlDebug, QStringLiteral("Input data length: %1").arg(Len));
    TIgnoreTypes R;
    if (fDataProcessor != nullptr) {
        fDataProcessor->DoProcessing(static_cast<const char*>(Buffer), Len, R);
    }
    if (fTerminal != nullptr && !R.Contains(itTerminal)) {
        TerminalOutput(static_cast<const char*>(Buffer), static_cast<int>(Len));
    }
    if (fOnReceived) {
        fOnReceived(this, Buffer, Len);
    }
}

void TlxBaseIO::SyncReceived() {
    DoReceived(threadData, threadDataSize);
}

bool TlxBaseIO::DoAfterSend() {
    bool flIgnore = false;
    if (fDataProcessor != nullptr) {
        fDataProcessor->DoAfterSendComplete(flIgnore);
    }
    return flIgnore;
}

void TlxBaseIO::SetDeviceIndex(int) {
    DoNotify(3);
}

int TlxBaseIO::AddDevice(TlxDevice* Device) {
    slDevices.push_back({Device->NameFriendly, Device});
    Device->fIndex = DeviceCount() - 1;
    Device->fParent = this;
    return Device->fIndex;
}

int TlxBaseIO::InsertDevice(TlxDevice* Device) {
    if (slDevices.empty() || slDevices.back().Device->Data < Device->Data) {
        return AddDevice(Device);
    }
    // The last entry's Data is not smaller, so the walk stops on an entry at the latest there.
    int Index = 0;
    while (slDevices[Index].Device->Data < Device->Data) {
        ++Index;
    }
    if (slDevices[Index].Device->Data == Device->Data) {
        return -1;
    }
    slDevices.insert(slDevices.begin() + Index, {Device->NameFriendly, Device});
    Device->fIndex = Index;
    Device->fParent = this;
    for (int Behind = Index + 1; Behind < DeviceCount(); ++Behind) {
        ++slDevices[Behind].Device->fIndex;
    }
    return Index;
}

void TlxBaseIO::ClearDevices() {
    if (flClearDeviceListWithFree) {
        for (const TlxDeviceEntry& Entry : slDevices) {
            delete Entry.Device;
        }
    }
    slDevices.clear();
}

void TlxBaseIO::DoKeepConnection(QObject*) {
    StopKeepConnection();
    LogMessage(dlDetail, QStringLiteral("Try to connect ..."));
}

void TlxBaseIO::StartKeepConnection() {
    if (!timerKeepConnection) {
        timerKeepConnection = std::make_unique<TlxTimer>();
        timerKeepConnection->SetInterval(KeepConnectionInterval);
        timerKeepConnection->SetOnTimer(TNotifyEvent::Bind<&TlxBaseIO::DoKeepConnection>(this));
    }
    timerKeepConnection->SetEnabled(true);
}

void TlxBaseIO::StopKeepConnection() {
    if (timerKeepConnection) {
        timerKeepConnection->SetEnabled(false);
    }
}

void TlxBaseIO::TerminalOutput(const char* Buffer, int Len) {
    if (Len <= 0) {
        return;
    }
    const QString Text = QString::fromLatin1(Buffer, Len);
    // Widgets live on the GUI thread; an I/O thread waits here until its bytes are shown.
    TThread::Synchronize([this, &Text] { ShowInTerminal(Text); });
}

void TlxBaseIO::ShowInTerminal(const QString& Text) {
    if (hTerminal == nullptr) {
        return;
    }
    fTerminalLocked = true;
    if (Text.size() == 1) {
        TypeKey(*hTerminal, Text.front());
    } else {
        for (const QString& Run : Text.split(QChar(0), Qt::SkipEmptyParts)) {
            hTerminal->insertPlainText(Run);
        }
    }
    fTerminalLocked = false;
}

void TlxBaseIO::Update() {
    DoNotify(3);
}

void TlxBaseIO::NotifyAdd(const TlxNotifyEvent& NotifyEvent) {
    if (lxNotifyList.IndexOf(NotifyEvent) < 0) {
        lxNotifyList.Add(NotifyEvent);
    }
}

void TlxBaseIO::NotifyDelete(const TlxNotifyEvent& NotifyEvent) {
    const int Index = lxNotifyList.IndexOf(NotifyEvent);
    if (Index >= 0) {
        lxNotifyList.Delete(Index);
    }
}

void TlxBaseIO::GetDeviceList(TlxDeviceEntries* L) {
    if (slDevices.empty()) {
        DeviceListLoad();
    }
    if (L != nullptr) {
        *L = slDevices;
    }
}

bool TlxBaseIO::WMDeviceChange(const winapi::MSG& Msg) {
    if (Msg.message != winapi::WM_DEVICECHANGE) {
        return false;
    }
    if (Msg.wParam == winapi::DBT_DEVNODES_CHANGED) {
        Update();
        return true;
    }
    if (Msg.wParam == winapi::DBT_DEVICEARRIVAL || Msg.wParam == winapi::DBT_DEVICEREMOVECOMPLETE) {
        const auto* Header = reinterpret_cast<const winapi::DEV_BROADCAST_HDR*>(Msg.lParam);
        if (Header != nullptr && Header->dbch_devicetype == winapi::DBT_DEVTYP_PORT) {
            Update();
            return true;
        }
    }
    return false;
}

TlxDevice* TlxBaseIO::GetDevice(int Index) const {
    if (Index < 0 || Index >= DeviceCount()) {
        return nullptr;
    }
    return slDevices[Index].Device;
}

int TlxBaseIO::IndexOfDevice(const TlxDevice* aDevice) const {
    for (int Index = 0; Index < DeviceCount(); ++Index) {
        if (slDevices[Index].Device == aDevice) {
            return Index;
        }
    }
    return -1;
}

int TlxBaseIO::IndexOfDeviceData(int Value) const {
    for (int Index = 0; Index < DeviceCount(); ++Index) {
        const TlxDevice* Device = slDevices[Index].Device;
        if (Device != nullptr && Device->Data == Value) {
            return Index;
        }
    }
    return -1;
}

void TlxBaseIO::LogMessage(TDetailLevel Level, const QString& Text) {
    if (fLog == nullptr) {
        return;
    }
    if (Text.isEmpty()) {
        fLog->AddSysInfo();
    } else {
        fLog->AddLog(Level, LogPrefix() + Text);
    }
}

void TlxBaseIO::LogFormat(TDetailLevel Level, const QString& Format, const TlxArgs& Args) {
    if (fLog != nullptr) {
        fLog->AddLogFmt(Level, LogPrefix() + Format, Args);
    }
}

QString TlxBaseIO::LogPrefix() const {
    if (!sLogPrefix.isNull()) {
        return sLogPrefix;
    }
    // The bare class name, without a namespace the class may live in.
    const QString Name = QString::fromLatin1(metaObject()->className());
    const qsizetype Colons = Name.lastIndexOf(QLatin1String("::"));
    return Colons < 0 ? Name : Name.mid(Colons + 2);
}

void TlxBaseIO::Loaded() {
    TComponent::Loaded();
    try {
        SetTerminal(fTerminal);
        SetTerminalUsage(fTerminalUsage);
        SetActive(fActive);
    } catch (...) {
        LxMessageBox(lx::GetDialogOwner(), QStringLiteral("error"), QStringLiteral("Error"),
                     winapi::MB_ICONERROR);
    }
}

void TlxBaseIO::Notification(QObject* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation != opRemove) {
        return;
    }
    if (AComponent == fDataProcessor) {
        fDataProcessor->AttachDevice(nullptr);
        fDataProcessor = nullptr;
    } else if (AComponent == fTerminal) {
        // The edit is gone, and its filter with it; the shown-to pointer must go as well.
        fTerminal = nullptr;
        hTerminal = nullptr;
    } else if (AComponent == fLog) {
        fLog = nullptr;
    }
}

bool TlxBaseIO::eventFilter(QObject* Watched, QEvent* Event) {
    if (Watched == fTerminal && Event->type() == QEvent::KeyPress) {
        return TerminalWndProc(*static_cast<QKeyEvent*>(Event));
    }
    return TComponent::eventFilter(Watched, Event);
}

bool TlxBaseIO::TerminalWndProc(const QKeyEvent& Message) {
    const bool Sends = fTerminalUsage == tuSend || fTerminalUsage == tuBoth;
    if (fTerminalLocked || !Sends || Message.text().isEmpty()) {
        return false;
    }
    for (const QChar Ch : Message.text()) {
        SendChar(Ch.unicode());
    }
    return !fTerminalEcho;
}

// ---------------------------------------------------------------------------------------------
// TlxThreadIO

TlxThreadIO::TlxThreadIO(TlxBaseIO* alxComm, TThreadPriority pr, TThreadHandle* Handle)
    : flxComm(alxComm) {
    SetFreeOnTerminate(true);
    SetPriority(pr);
    if (Handle != nullptr) {
        *Handle = this->Handle();
    }
    Start();
}

void TlxThreadIO::Synchronize(const TThreadMethod& Method) {
    if (!Method) {
        return;
    }
    TThread::Synchronize([&Method] { Method(); });
}

void TlxThreadIO::Execute() {
    winapi::Api().CoInitializeEx(nullptr, winapi::COINIT_MULTITHREADED);
    try {
        flxComm->ThreadIOExecute(this);
    } catch (...) {
        // The body has nobody to report to; the thread ends quietly and still cleans up.
    }
    winapi::Api().CoUninitialize();
}
