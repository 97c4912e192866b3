#include "gladia.h"

#include "background.h"
#include "captureerror.h"
#include "error.h"
#include "requesterror.h"

#include <QCoroNetworkReply>
#include <QCoroTask>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const QString uploadStage = QStringLiteral("envoi de l’audio");
const QString jobStage = QStringLiteral("lancement de la transcription");
const QString pollStage = QStringLiteral("récupération du résultat");

struct DeleteLater
{
    void operator()(QObject* object) const { object->deleteLater(); }
};

// Errors that come with a complete HTTP answer (a status outside 2xx), as opposed to transport
// failures, which have no answer or only part of one.
bool comesWithAnAnswer(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied
               && error <= QNetworkReply::UnknownContentError)
        || (error >= QNetworkReply::InternalServerError
            && error <= QNetworkReply::UnknownServerError);
}

QByteArray readWhole(const QString& file)
{
    QFile input(file);
    if (!input.open(QIODevice::ReadOnly)) {
        throw PlatformError(input.errorString());
    }
    QByteArray bytes = input.readAll();
    if (input.error() != QFileDevice::NoError) {
        throw PlatformError(input.errorString());
    }
    return bytes;
}

} // namespace

Gladia::Session::Session()
    : m_manager(std::make_shared<QNetworkAccessManager>())
{
    // A fresh manager has no disk cache and an in-memory cookie jar; nothing outlives the run.
}

Gladia::Session::Session(QNetworkAccessManager* manager, std::optional<QSslConfiguration> tls)
    : m_manager(manager, [](QNetworkAccessManager*) {})
    , m_tls(std::move(tls))
{ }

Gladia::Gladia(QString key)
    : Gladia(std::move(key), Session(), Service())
{ }

Gladia::Gladia(QString key, Session session)
    : Gladia(std::move(key), std::move(session), Service())
{ }

Gladia::Gladia(QString key, Session session, Service service)
    : m_key(std::move(key))
    , m_session(std::move(session))
    , m_service(std::move(service))
{ }

QUrl Gladia::endpoint(const QString& path) const
{
    QUrl url;
    url.setScheme(QStringLiteral("https"));
    url.setHost(m_service.host);
    url.setPort(m_service.port);
    url.setPath(path);
    return url;
}

QCoro::Task<QString> Gladia::transcribe(QString file, std::stop_token stop) const
{
    // The run keeps its own copy, so the caller may drop this value at once.
    return transcribeFile(*this, std::move(file), std::move(stop));
}

QCoro::Task<QString> Gladia::transcribeFile(Gladia self, QString file, std::stop_token stop)
{
    const Transcription transcription = co_await self.fetchTranscript(std::move(file), stop);
    co_return format(transcription.segments());
}

QCoro::Task<Gladia::Transcription> Gladia::fetchTranscript(QString file, std::stop_token stop) const
{
    throwIfStopped(stop);
    const QByteArray boundary = canonicalUuid().toLatin1();
    // Read and wrapped off this thread; only the finished body comes back, one copy of the audio.
    // Captures by reference only: the frame outlives the work, and GCC 12 mishandles the copies of
    // a non-trivial callable handed to a coroutine inside a co_await.
    QByteArray body = co_await runInBackground(
        [&file, &boundary] { return uploadBody(boundary, readWhole(file)); });
    const Upload upload = co_await request<Upload>(endpoint(QStringLiteral("/v2/upload")),
        uploadStage, std::move(body), "multipart/form-data; boundary=" + boundary, stop);
    const Job job = co_await request<Job>(endpoint(QStringLiteral("/v2/pre-recorded")), jobStage,
        jobBody(upload.audio_url), "application/json", stop);
    // The key goes with every poll: it must stay on the service's own host.
    if (!acceptsResultUrl(job.result_url)) {
        throw CaptureError(QStringLiteral("URL de résultat Gladia inattendue."));
    }
    for (int attempt = 0; attempt < m_service.pollAttempts; ++attempt) {
        const Result result
            = co_await request<Result>(job.result_url, pollStage, std::nullopt, {}, stop);
        if (result.status == QLatin1String("done")) {
            if (result.result && result.result->transcription) {
                co_return *result.result->transcription;
            }
            throw CaptureError(QStringLiteral("Gladia a terminé sans renvoyer de transcription."));
        }
        if (result.status == QLatin1String("error") || result.status == QLatin1String("failed")) {
            throw CaptureError(QStringLiteral("La transcription a échoué chez Gladia."));
        }
        co_await pause(m_service.pollInterval, stop);
    }
    throw CaptureError(
        QStringLiteral("Le résultat Gladia n’est pas disponible après le délai d’attente."));
}

template<typename Record>
QCoro::Task<Record> Gladia::request(QUrl url, QString stage, std::optional<QByteArray> body,
    QByteArray type, std::stop_token stop) const
{
    throwIfStopped(stop);
    QNetworkRequest request(url);
    request.setTransferTimeout(static_cast<int>(m_service.stallTimeout.count()));
    // A redirect would carry the key to wherever it points; it is an answer like any other 3xx.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (m_session.tls()) {
        request.setSslConfiguration(*m_session.tls());
    }
    request.setRawHeader("x-gladia-key", m_key.toUtf8());

    std::unique_ptr<QNetworkReply, DeleteLater> reply;
    if (body) {
        request.setRawHeader("Content-Type", type);
        reply.reset(m_session.manager()->post(request, *body));
    } else {
        reply.reset(m_session.manager()->get(request));
    }
    {
        // The request may come from any thread; the reply is only touched on its own.
        std::stop_callback abortOnStop(stop, [raw = reply.get()] {
            QMetaObject::invokeMethod(
                raw, [raw] { raw->abort(); }, Qt::QueuedConnection);
        });
        co_await reply.get();
    }

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (error != QNetworkReply::NoError && !(status.isValid() && comesWithAnAnswer(error))) {
        throw PlatformError(reply->errorString());
    }
    if (!status.isValid()) {
        throw RequestError::invalidResponse(stage);
    }
    const int code = status.toInt();
    if (code == 401) {
        throw RequestError::unauthorized();
    }
    if (code < 200 || code > 299) {
        throw RequestError::http(stage, code);
    }
    std::optional<Record> record = decode<Record>(reply->readAll());
    if (!record) {
        throw RequestError::invalidResponse(stage);
    }
    co_return std::move(*record);
}
