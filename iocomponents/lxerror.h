// The one exception type of the I/O component library. Every error the library raises carries its
// message text here; handlers show Message() to the user, what() serves code that only knows
// std::exception.
#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

class ElxError : public std::exception {
public:
    explicit ElxError(const QString& Message);

    const QString& Message() const { return fMessage; }
    // The message in UTF-8, valid as long as the exception lives.
    const char* what() const noexcept override;

private:
    QString fMessage;
    QByteArray fUtf8;
};
