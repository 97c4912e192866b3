#include "error.h"

#include <cerrno>
#include <new>
#include <system_error>

namespace {

QString describeSystemError(const std::system_error& error)
{
    const std::error_code code = error.code();
    if (code.category() == std::generic_category() || code.category() == std::system_category()) {
        switch (code.value()) {
        case ENOSPC:
        case EDQUOT:
            return QStringLiteral("Le disque est plein.");
        case EACCES:
        case EPERM:
        case EROFS:
            return QStringLiteral("Accès refusé par le système.");
        case ENOENT:
            return QStringLiteral("Fichier ou dossier introuvable.");
        case EIO:
            return QStringLiteral("Erreur de lecture ou d’écriture sur le disque.");
        default:
            break;
        }
    }
    return QStringLiteral("Erreur du système (code %1).").arg(code.value());
}

} // namespace

Error::Error(QString message)
    : m_message(std::move(message))
    , m_utf8(m_message.toUtf8())
{ }

QString describeError(const std::exception& error)
{
    if (const auto* ours = dynamic_cast<const Error*>(&error)) {
        return ours->message();
    }
    // Library exceptions speak English: the user reads a French sentence instead, with the
    // library's text quoted only where there is nothing better to say.
    if (dynamic_cast<const std::bad_alloc*>(&error)) {
        return QStringLiteral("Mémoire insuffisante : l’opération a été interrompue.");
    }
    if (const auto* system = dynamic_cast<const std::system_error*>(&error)) {
        return describeSystemError(*system);
    }
    return QStringLiteral("Erreur inattendue (« %1 »).").arg(QString::fromUtf8(error.what()));
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
