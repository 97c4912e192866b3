#pragma once

#include <QByteArray>
#include <QString>
#include <exception>

// Base of every error Parlevox throws: one complete sentence shown to the user as it stands.
class Error : public std::exception
{
public:
    explicit Error(QString message);

    [[nodiscard]] const QString& message() const noexcept { return m_message; }
    [[nodiscard]] const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// An error of the platform (file, sound server, codec, transport) carrying the platform's own text.
class PlatformError : public Error
{
public:
    using Error::Error;
};

// The text to show for any exception that reaches a workflow: our sentence, or a French one for a
// library's exception.
[[nodiscard]] QString describeError(const std::exception& error);
[[nodiscard]] QString describeError(std::exception_ptr error);
