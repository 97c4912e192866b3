#include "platformtext.h"

#include <cerrno>
#include <pulse/def.h>
#include <pulse/error.h>
#include <sndfile.h>

extern "C" {
#include <libavutil/error.h>
}

QString systemErrorText(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("Le disque est plein.");
    case EDQUOT:
        return QStringLiteral("Le quota d’espace disque est atteint.");
    case EACCES:
    case EPERM:
        return QStringLiteral("Accès au fichier refusé.");
    case EROFS:
        return QStringLiteral("Le disque est en lecture seule.");
    case ENOENT:
        return QStringLiteral("Fichier ou dossier introuvable.");
    case EEXIST:
        return QStringLiteral("Le fichier existe déjà.");
    case EISDIR:
        return QStringLiteral("Un dossier porte déjà ce nom.");
    case ENOTDIR:
        return QStringLiteral("Un élément du chemin n’est pas un dossier.");
    case ENAMETOOLONG:
        return QStringLiteral("Le nom du fichier est trop long.");
    case EIO:
        return QStringLiteral("Erreur d’entrée-sortie du disque.");
    case EFBIG:
        return QStringLiteral("Le fichier est trop volumineux.");
    case ENOMEM:
        return QStringLiteral("Mémoire insuffisante.");
    case EMFILE:
    case ENFILE:
        return QStringLiteral("Trop de fichiers ouverts.");
    case EINVAL:
        return QStringLiteral("Valeur invalide.");
    case ETIMEDOUT:
        return QStringLiteral("Le délai d’attente est dépassé.");
    case ECONNREFUSED:
        return QStringLiteral("Connexion refusée.");
    case EAGAIN:
        return QStringLiteral("Ressource momentanément indisponible.");
    case EINTR:
        return QStringLiteral("Opération interrompue.");
    case EBUSY:
        return QStringLiteral("Ressource occupée.");
    case ENODEV:
    case ENXIO:
        return QStringLiteral("Périphérique introuvable.");
    case ENOTSUP:
        return QStringLiteral("Opération non prise en charge.");
    default:
        return QStringLiteral("Erreur du système (%1).").arg(error);
    }
}

QString pulseErrorText(int error)
{
    switch (error) {
    case PA_ERR_ACCESS:
        return QStringLiteral("Accès au serveur de son refusé.");
    case PA_ERR_COMMAND:
    case PA_ERR_PROTOCOL:
    case PA_ERR_VERSION:
        return QStringLiteral("Le serveur de son ne comprend pas la demande.");
    case PA_ERR_INVALID:
        return QStringLiteral("Paramètre refusé par le serveur de son.");
    case PA_ERR_EXIST:
        return QStringLiteral("Cet élément existe déjà sur le serveur de son.");
    case PA_ERR_NOENTITY:
        return QStringLiteral("Périphérique audio introuvable.");
    case PA_ERR_CONNECTIONREFUSED:
        return QStringLiteral("Le serveur de son refuse la connexion.");
    case PA_ERR_TIMEOUT:
        return QStringLiteral("Le serveur de son ne répond pas (délai dépassé).");
    case PA_ERR_AUTHKEY:
        return QStringLiteral("Clé d’accès au serveur de son invalide.");
    case PA_ERR_CONNECTIONTERMINATED:
    case PA_ERR_KILLED:
        return QStringLiteral("La connexion au serveur de son a été interrompue.");
    case PA_ERR_INVALIDSERVER:
        return QStringLiteral("Adresse du serveur de son invalide.");
    case PA_ERR_MODINITFAILED:
        return QStringLiteral("Un module du serveur de son n’a pas démarré.");
    case PA_ERR_BADSTATE:
        return QStringLiteral("Le serveur de son n’est pas prêt.");
    case PA_ERR_NODATA:
        return QStringLiteral("Aucune donnée audio.");
    case PA_ERR_NOTSUPPORTED:
    case PA_ERR_NOTIMPLEMENTED:
        return QStringLiteral("Opération non prise en charge par le serveur de son.");
    case PA_ERR_TOOLARGE:
        return QStringLiteral("Données trop volumineuses pour le serveur de son.");
    case PA_ERR_BUSY:
        return QStringLiteral("Le périphérique audio est occupé.");
    case PA_ERR_FORKED:
        return QStringLiteral("Connexion au serveur de son inutilisable dans ce processus.");
    case PA_ERR_IO:
        return QStringLiteral("Erreur d’entrée-sortie du serveur de son.");
    default:
        return QStringLiteral("Erreur du serveur de son (%1).").arg(error);
    }
}

QString ffmpegErrorText(int status)
{
    switch (status) {
    case AVERROR_INVALIDDATA:
        return QStringLiteral("Le fichier audio contient des données illisibles.");
    case AVERROR_EOF:
        return QStringLiteral("Fin du fichier audio atteinte trop tôt.");
    case AVERROR_EXIT:
        return QStringLiteral("Traitement audio annulé.");
    case AVERROR_DECODER_NOT_FOUND:
    case AVERROR_DEMUXER_NOT_FOUND:
        return QStringLiteral("Format audio non pris en charge.");
    case AVERROR_ENCODER_NOT_FOUND:
    case AVERROR_MUXER_NOT_FOUND:
        return QStringLiteral("Encodeur audio indisponible.");
    case AVERROR_STREAM_NOT_FOUND:
        return QStringLiteral("Aucune piste audio dans le fichier.");
    case AVERROR_PROTOCOL_NOT_FOUND:
        return QStringLiteral("Emplacement du fichier audio non pris en charge.");
    case AVERROR_PATCHWELCOME:
        return QStringLiteral("Fonction audio non prise en charge.");
    default:
        break;
    }
    if (status < 0 && status > -4096) {
        return systemErrorText(-status);
    }
    return QStringLiteral("Erreur de traitement audio (%1).").arg(status);
}

QString sndfileErrorText(int error, int systemError)
{
    switch (error) {
    case SF_ERR_UNRECOGNISED_FORMAT:
        return QStringLiteral("Format de piste audio non reconnu.");
    case SF_ERR_SYSTEM:
        return systemError ? systemErrorText(systemError)
                           : QStringLiteral("Erreur du système de fichiers.");
    case SF_ERR_MALFORMED_FILE:
        return QStringLiteral("La piste audio est endommagée.");
    case SF_ERR_UNSUPPORTED_ENCODING:
        return QStringLiteral("Encodage de piste audio non pris en charge.");
    default:
        return QStringLiteral("Erreur d’écriture de la piste audio (%1).").arg(error);
    }
}

StorageError::StorageError(int systemError)
    : PlatformError(systemErrorText(systemError))
    , m_systemError(systemError)
{ }

bool StorageError::diskFull() const noexcept
{
    return m_systemError == ENOSPC || m_systemError == EDQUOT;
}
