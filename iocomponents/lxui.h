// The user-interface services the library needs from the application: the standard error box
// that shows a reported exception, and a message box. Each is a replaceable hook with a Qt
// default, so that an application can route them into its own windows and tests can watch them.
#pragma once

#include "winapi.h"

#include <QString>
#include <functional>

// Shows Message in the application's standard error box.
using TlxShowExceptionHook = std::function<void(const QString& Message)>;
// A message box in the Windows sense (Type: MB_* styles); returns the button pressed (IDOK = 1).
using TlxMessageBoxHook = std::function<int(winapi::HWND Owner, const QString& Text,
                                            const QString& Caption, winapi::UINT Type)>;

// Installs Hook (an empty one: the default again) and returns the one in force before.
TlxShowExceptionHook LxSetShowExceptionHook(TlxShowExceptionHook Hook);
TlxMessageBoxHook LxSetMessageBoxHook(TlxMessageBoxHook Hook);

// Shows Message in the standard error box, always on the GUI thread: at once when called there,
// otherwise queued to it while the caller goes on (a worker never touches a widget and never
// waits for the user). Without an application object the hook runs on the calling thread.
void LxShowException(const QString& Message);

// A message box on the GUI thread; a caller on another thread waits for the answer. Owner is
// the window the box belongs to (the dialog owner), or none.
int LxMessageBox(winapi::HWND Owner, const QString& Text, const QString& Caption,
                 winapi::UINT Type);
