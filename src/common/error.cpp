#include "error.h"

Error::Error(QString message)
    : m_message(std::move(message))
    , m_utf8(m_message.toUtf8())
{ }

QString describeError(const std::exception& error)
{
    if (const auto* ours = dynamic_cast<const Error*>(&error)) {
        return ours->message();
    }
    return QString::fromUtf8(error.what());
}

QString describeError(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return describeError(e);
    } catch (...) {
        return QStringLiteral("Erreur inconnue.");
    }
}
