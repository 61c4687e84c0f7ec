#include "lxclasses.h"

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

TlxCustomLogFile::TlxCustomLogFile(QObject* Owner) : QObject(Owner) {}

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
// TlxBaseIO

TlxBaseIO::TlxBaseIO(QObject* Owner) : QObject(Owner) {}

void TlxBaseIO::ThreadIOExecute(TlxThreadIO*) {}

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
