#include "gladia.h"

#include "background.h"
#include "captureerror.h"
#include "deletelater.h"
#include "error.h"
#include "requesterror.h"

#include <QCoroTask>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <algorithm>

namespace {

const QString uploadStage = QStringLiteral("envoi de l’audio");
const QString jobStage = QStringLiteral("lancement de la transcription");
const QString pollStage = QStringLiteral("récupération du résultat");

const QString peer = QStringLiteral("Gladia");

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

Gladia::Session::Session(std::optional<QSslConfiguration> tls)
    : m_manager(new QNetworkAccessManager, DeleteLater())
    , m_tls(std::move(tls))
{
    // A fresh manager has no disk cache and an in-memory cookie jar; nothing outlives the run.
    // The last copy of the session may go from inside one of its replies' signals: the manager
    // and those replies then go once that is over.
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

QNetworkRequest Gladia::Session::keyedRequest(const QUrl& url, const QString& key) const
{
    QNetworkRequest request(url);
    // A redirect would carry the key to wherever it points; it is an answer like any other 3xx.
    request.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (m_tls) {
        request.setSslConfiguration(*m_tls);
    }
    request.setRawHeader("x-gladia-key", key.toUtf8());
    return request;
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

void Gladia::checkKey() const
{
    if (!fitsInHeader(m_key)) {
        throw RequestError::unusableKey();
    }
}

ExchangeLimits Gladia::limits(const QString& stage, qint64 size) const
{
    ExchangeLimits limits;
    limits.stall = m_service.stallTimeout;
    limits.deadline = m_service.exchangeDeadline
        + std::chrono::milliseconds(size * 1000 / std::max<qint64>(1, m_service.slowestUpload));
    limits.largestAnswer = stage == pollStage ? m_service.largestResult : m_service.largestAnswer;
    return limits;
}

QCoro::Task<Gladia::Transcription> Gladia::fetchTranscript(QString file, std::stop_token stop) const
{
    checkKey();
    throwIfStopped(stop);
    const QByteArray boundary = canonicalUuid().toLatin1();
    // Read and wrapped off this thread; only the finished body comes back, one copy of the audio.
    // Captures by reference only: the frame outlives the work, and GCC 12 mishandles the copies of
    // a non-trivial callable handed to a coroutine inside a co_await.
    QByteArray body = co_await runInBackground(
        [&file, &boundary] { return uploadBody(boundary, readWhole(file)); });
    const ExchangeLimits uploadLimits = limits(uploadStage, body.size());
    const Upload upload
        = co_await request<Upload>(endpoint(QStringLiteral("/v2/upload")), uploadStage,
            std::move(body), "multipart/form-data; boundary=" + boundary, uploadLimits, stop);
    const Job job = co_await request<Job>(endpoint(QStringLiteral("/v2/pre-recorded")), jobStage,
        jobBody(upload.audio_url), "application/json", limits(jobStage), stop);
    // The key goes with every poll: it must stay on the service's own host.
    if (!acceptsResultUrl(job.result_url)) {
        throw CaptureError(QStringLiteral("URL de résultat Gladia inattendue."));
    }
    for (int attempt = 0; attempt < m_service.pollAttempts; ++attempt) {
        const Result result = co_await request<Result>(
            job.result_url, pollStage, std::nullopt, {}, limits(pollStage), stop);
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
    QByteArray type, ExchangeLimits limits, std::stop_token stop) const
{
    throwIfStopped(stop);
    QNetworkRequest request = m_session.keyedRequest(url, m_key);
    if (body) {
        request.setRawHeader("Content-Type", type);
    }

    QCoro::Task<ExchangeAnswer> pending = exchange(
        m_session.manager(), std::move(request), std::move(body), limits, peer, std::move(stop));
    const ExchangeAnswer answer = co_await std::move(pending);
    if (answer.kind != ExchangeAnswer::Kind::Http) {
        throw RequestError::invalidResponse(stage);
    }
    if (answer.status == 401) {
        throw RequestError::unauthorized();
    }
    if (answer.status < 200 || answer.status > 299) {
        throw RequestError::http(stage, answer.status);
    }
    std::optional<Record> record = decode<Record>(answer.body);
    if (!record) {
        throw RequestError::invalidResponse(stage);
    }
    co_return std::move(*record);
}
