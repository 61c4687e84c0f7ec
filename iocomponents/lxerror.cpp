#include "lxerror.h"

ElxError::ElxError(const QString& Message) : fMessage(Message), fUtf8(Message.toUtf8()) {}

const char* ElxError::what() const noexcept {
    return fUtf8.constData();
}
