#pragma once

#include "error.h"

#include <QNetworkReply>
#include <QString>
#include <chrono>

// A network exchange that ended without a usable answer, as one French sentence naming the peer
// ("Gladia", "l’agent"). Qt's own texts are English unless a translation is loaded, so every
// failure a user can meet has its sentence here.
class TransportError : public PlatformError
{
public:
    enum class Kind
    {
        Refused,
        HostNotFound,
        Unreachable,
        Closed,
        Certificate,
        Proxy,
        Stalled,
        TooSlow,
        Cancelled,
        Other,
    };

    // The failure Qt reported for a reply to `host`.
    [[nodiscard]] static TransportError fromReply(
        QNetworkReply::NetworkError error, const QString& peer, const QString& host);
    // Nothing arrived nor left for `quiet`.
    [[nodiscard]] static TransportError stalled(
        const QString& peer, std::chrono::milliseconds quiet);
    // The whole exchange took longer than `deadline`, though data kept trickling.
    [[nodiscard]] static TransportError tooSlow(
        const QString& peer, std::chrono::milliseconds deadline);
    // Abandoned on the user's (or the program's) request.
    [[nodiscard]] static TransportError cancelled();

    [[nodiscard]] Kind kind() const noexcept { return m_kind; }

private:
    TransportError(Kind kind, QString message);

    Kind m_kind;
};

// A duration as a user reads it: "45 s", "2 min", "1 min 30 s".
[[nodiscard]] QString spokenDuration(std::chrono::milliseconds duration);
