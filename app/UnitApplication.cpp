#include "UnitApplication.h"

#include "lxerror.h"
#include "lxui.h"

#include <exception>

TPanelApplication::TPanelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TPanelApplication::notify(QObject* Receiver, QEvent* Event) {
    try {
        return QApplication::notify(Receiver, Event);
    } catch (const std::exception&) {
        ShowHandlerException();
    }
    return false;
}

void RunHandler(const std::function<void()>& Handler) {
    try {
        Handler();
    } catch (const std::exception&) {
        ShowHandlerException();
    }
}

void ShowHandlerException() {
    try {
        throw;
    } catch (const ElxError& Error) {
        LxShowException(Error.Message());
    } catch (const std::exception& Error) {
        LxShowException(QString::fromUtf8(Error.what()));
    }
}
