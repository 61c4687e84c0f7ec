// The panel's application object: an exception that escapes an event handler (a button's click, a
// timer tick) is shown in the standard error box and the message loop goes on, as the operator
// expects of a failed open.
#pragma once

#include <QApplication>

class TPanelApplication : public QApplication {
    Q_OBJECT
public:
    TPanelApplication(int& argc, char** argv);

    // Delivers Event; an ElxError (or any other standard exception) from its handler goes to
    // LxShowException with its message text, and the event counts as not handled.
    bool notify(QObject* Receiver, QEvent* Event) override;
};
