#pragma once

#include "gladia.h"
#include "testhttpserver.h"

#include <QCoroTask>
#include <QNetworkAccessManager>
#include <exception>
#include <functional>
#include <optional>

// The transcription service played by a local HTTPS server with a throw-away certificate, which
// only this fake's network session trusts. Answers per endpoint; every request is recorded.
class FakeGladia
{
public:
    using Answer = std::function<ScriptedResponse(const RecordedRequest&)>;

    FakeGladia();

    // A result address on this server (or another scheme or host, for the address check).
    [[nodiscard]] QByteArray resultUrl(const QByteArray& path, const QByteArray& scheme = "https",
        const QByteArray& host = "127.0.0.1") const;
    // A JSON object with one string member.
    [[nodiscard]] static QByteArray object(const QString& name, const QString& value);
    // The JSON answer of a finished job with these utterances (a JSON array).
    [[nodiscard]] static ScriptedResponse done(const QByteArray& utterances);

    // The service on this server; polls 20 ms apart unless changed.
    [[nodiscard]] Gladia::Service service() const;
    [[nodiscard]] Gladia client(const QString& key = QStringLiteral("test-key"));
    [[nodiscard]] Gladia client(const Gladia::Service& service);
    // A client whose session owns its network manager, as the application's does.
    [[nodiscard]] Gladia clientOwningItsSession() const;
    [[nodiscard]] QList<RecordedRequest> requests() const { return server.requests(); }

    TestHttpServer server { TestHttpServer::Transport::Tls };
    QNetworkAccessManager manager;
    Answer upload; // default: an audio reference
    Answer job; // default: a result address on this server
    QList<ScriptedResponse> polls; // used in order, then "processing" forever
    Answer poll; // when set, answers every poll instead of `polls`
};

// How a transcription ended.
struct Outcome
{
    std::optional<QString> transcript;
    std::exception_ptr error;

    [[nodiscard]] QString errorText() const;
    template<typename Type> [[nodiscard]] bool failedWith() const
    {
        try {
            if (error) {
                std::rethrow_exception(error);
            }
        } catch (const Type&) {
            return true;
        } catch (...) { }
        return false;
    }
};

// Runs the transcription to its end in a local event loop.
[[nodiscard]] Outcome run(QCoro::Task<QString> transcription);
