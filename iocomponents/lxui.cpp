#include "lxui.h"

#include "lxcallqueue.h"
#include "lxthread.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QWidget>
#include <mutex>
#include <utility>

namespace {

// The window a box belongs to: the owner when it is one of ours, else the active window.
QWidget* BoxParent(winapi::HWND Owner) {
    QWidget* Parent = nullptr;
    if (Owner != nullptr) {
        Parent = QWidget::find(reinterpret_cast<WId>(Owner));
    }
    return Parent != nullptr ? Parent : QApplication::activeWindow();
}

bool HaveWidgets() {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void DefaultShowException(const QString& Message) {
    if (!HaveWidgets()) {
        qWarning("%s", qUtf8Printable(Message));
        return;
    }
    // The standard error box is captioned with the application's title.
    QMessageBox::critical(BoxParent(nullptr), QCoreApplication::applicationName(), Message);
}

int DefaultMessageBox(winapi::HWND Owner, const QString& Text, const QString& Caption,
                      winapi::UINT Type) {
    if (!HaveWidgets()) {
        qWarning("%s: %s", qUtf8Printable(Caption), qUtf8Printable(Text));
        return 1;
    }
    const QMessageBox::Icon Icon =
        (Type & winapi::MB_ICONERROR) != 0 ? QMessageBox::Critical : QMessageBox::NoIcon;
    QMessageBox Box(Icon, Caption, Text, QMessageBox::Ok, BoxParent(Owner));
    Box.exec();
    return 1;
}

struct THooks {
    std::mutex Mutex;
    TlxShowExceptionHook ShowException;
    TlxMessageBoxHook MessageBox;
};

THooks& Hooks() {
    static THooks Instance;
    return Instance;
}

template <class THook> THook Swap(THook THooks::*Member, THook Hook) {
    std::lock_guard Lock(Hooks().Mutex);
    std::swap(Hooks().*Member, Hook);
    return Hook;
}

template <class THook> THook Current(THook THooks::*Member) {
    std::lock_guard Lock(Hooks().Mutex);
    return Hooks().*Member;
}

void RunShowException(const QString& Message) {
    const TlxShowExceptionHook Hook = Current(&THooks::ShowException);
    if (Hook) {
        Hook(Message);
    } else {
        DefaultShowException(Message);
    }
}

} // namespace

TlxShowExceptionHook LxSetShowExceptionHook(TlxShowExceptionHook Hook) {
    return Swap(&THooks::ShowException, std::move(Hook));
}

TlxMessageBoxHook LxSetMessageBoxHook(TlxMessageBoxHook Hook) {
    return Swap(&THooks::MessageBox, std::move(Hook));
}

void LxShowException(const QString& Message) {
    QCoreApplication* App = QCoreApplication::instance();
    if (App == nullptr || App->thread() == QThread::currentThread()) {
        RunShowException(Message);
        return;
    }
    // A copy of its own: the text's shared data must not be released on two threads.
    LxPostToMainThread(
        [Copy = QString(Message.constData(), Message.size())] { RunShowException(Copy); });
}

int LxMessageBox(winapi::HWND Owner, const QString& Text, const QString& Caption,
                 winapi::UINT Type) {
    int Result = 0;
    TThread::Synchronize([&] {
        const TlxMessageBoxHook Hook = Current(&THooks::MessageBox);
        Result =
            Hook ? Hook(Owner, Text, Caption, Type) : DefaultMessageBox(Owner, Text, Caption, Type);
    });
    return Result;
}
