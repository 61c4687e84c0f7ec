// The panel's application object and the way the window's handlers report errors: an exception
// that ends a handler (a failed open raises the library's ElxError) is shown in the standard error
// box and the message loop goes on, as the operator expects.
#pragma once

#include <QApplication>
#include <functional>

class TPanelApplication : public QApplication {
    Q_OBJECT
public:
    TPanelApplication(int& argc, char** argv);

    // Delivers Event; an exception from its handler is shown (see ShowHandlerException) and the
    // event counts as not handled. The last resort: handlers the window connects run through
    // RunHandler, so their exceptions never unwind through Qt's own frames, which are built
    // without exception support and would skip their cleanups on the way.
    bool notify(QObject* Receiver, QEvent* Event) override;
};

// Runs Handler; an ElxError or other standard exception it raises goes to the standard error box.
void RunHandler(const std::function<void()>& Handler);
// Shows the exception being handled: ElxError's message text, or a standard exception's what().
// Called from inside a catch block.
void ShowHandlerException();
