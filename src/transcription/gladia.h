#pragma once

#include "audiocapture.h"
#include "httpexchange.h"

#include <QByteArray>
#include <QCoroFwd>
#include <QList>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QString>
#include <QUrl>
#include <chrono>
#include <memory>
#include <optional>
#include <stop_token>

class QJsonValue;
class QNetworkAccessManager;

// Client of the Gladia speech-to-text service: uploads audio, starts a transcription job with
// speaker diarization, polls it and turns the utterances into transcript text. An immutable value:
// copies share the network session, and a running transcription keeps its own copy.
class Gladia
{
public:
    // One utterance: seconds from the start of the audio sent, diarization speaker, words.
    struct Segment
    {
        double start = 0;
        std::optional<qint64> speaker;
        QString text;

        [[nodiscard]] static std::optional<Segment> fromJson(const QJsonValue& value);
        friend bool operator==(const Segment&, const Segment&) = default;
    };

    // Answer to the upload: the service's reference to the stored audio.
    struct Upload
    {
        QString audio_url;

        [[nodiscard]] static std::optional<Upload> fromJson(const QJsonValue& value);
    };

    // Answer to the job creation: where to poll for the result.
    struct Job
    {
        QUrl result_url;

        [[nodiscard]] static std::optional<Job> fromJson(const QJsonValue& value);
    };

    // One poll answer: the job state and, once done, what it produced.
    struct Result
    {
        struct Details
        {
            struct Transcription
            {
                QString full_transcript;
                std::optional<QList<Segment>> utterances;

                // The utterances, or the whole text as one segment at 0 s when there are none.
                [[nodiscard]] QList<Segment> segments() const;
                [[nodiscard]] static std::optional<Transcription> fromJson(const QJsonValue& value);
            };

            std::optional<Transcription> transcription;

            [[nodiscard]] static std::optional<Details> fromJson(const QJsonValue& value);
        };

        QString status;
        std::optional<Details> result;

        [[nodiscard]] static std::optional<Result> fromJson(const QJsonValue& value);
    };
    using Transcription = Result::Details::Transcription;

    // A JSON answer decoded into `Record` as a whole, or nothing when any part of it is unfit.
    template<typename Record>
    [[nodiscard]] static std::optional<Record> decode(const QByteArray& json);

    // "[mm:ss] label · text", the time clamped to 0…86400 s and truncated to whole seconds.
    [[nodiscard]] static QString line(double at, const QString& label, const QString& text);
    // The transcript of one recording sent whole, labelled per speaker.
    [[nodiscard]] static QString format(const QList<Segment>& segments);
    // The transcript of a two-track recording: both tracks on one timeline, labelled per track.
    [[nodiscard]] static QString format(const QList<Segment>& microphone,
        const QList<Segment>& system, const AudioCapture::Tracks& tracks);

    // The HTTP client behind every request: a network manager and the TLS settings to use. A run
    // must start on the thread that owns the manager.
    class Session
    {
    public:
        // A manager of its own that keeps nothing on disk (no cache, cookies in memory only);
        // `tls` replaces the default TLS configuration of each request when given.
        explicit Session(std::optional<QSslConfiguration> tls = std::nullopt);
        // The caller's manager, which must outlive every transcription using this session; `tls`
        // replaces the default TLS configuration of each request when given.
        explicit Session(
            QNetworkAccessManager* manager, std::optional<QSslConfiguration> tls = std::nullopt);

        [[nodiscard]] QNetworkAccessManager* manager() const { return m_manager.get(); }
        [[nodiscard]] const std::optional<QSslConfiguration>& tls() const { return m_tls; }
        // A request to `url` carrying `key`, redirects not followed, with this session's TLS.
        [[nodiscard]] QNetworkRequest keyedRequest(const QUrl& url, const QString& key) const;

    private:
        std::shared_ptr<QNetworkAccessManager> m_manager;
        std::optional<QSslConfiguration> m_tls;
    };

    // Where the service is and how it is waited for.
    struct Service
    {
        QString host = QStringLiteral("api.gladia.io");
        int port = -1; // -1: the HTTPS default
        std::chrono::milliseconds pollInterval { 2000 };
        int pollAttempts = 90;
        std::chrono::milliseconds stallTimeout { 30000 }; // an exchange making no progress fails
        // Whole-exchange limits on top of the stall: the job and each poll get `exchangeDeadline`;
        // the upload `exchangeDeadline` plus its size at `slowestUpload` bytes per second
        // (32 KiB/s: a 40 MB hour of meeting may take 21 minutes on a poor uplink).
        std::chrono::milliseconds exchangeDeadline { 60000 };
        qint64 slowestUpload = 32 * 1024;
        // Upload and job answers are a few hundred bytes of JSON.
        qint64 largestAnswer = 1024 * 1024;
        // A result holds the utterances with their words: about 1.5 MB per hour of speech, so
        // 32 MiB leaves room for a day-long recording while a hostile answer stays far below
        // what would hurt a recording in progress.
        qint64 largestResult = 32 * 1024 * 1024;
    };

    explicit Gladia(QString key);
    Gladia(QString key, Session session);
    Gladia(QString key, Session session, Service service);

    [[nodiscard]] const QString& key() const { return m_key; }
    [[nodiscard]] const Session& session() const { return m_session; }
    [[nodiscard]] const Service& service() const { return m_service; }

    // Sends one audio file whole and returns its transcript, labelled per speaker. A stop request
    // ends it with the platform's cancellation error.
    [[nodiscard]] QCoro::Task<QString> transcribe(QString file, std::stop_token stop = {}) const;
    // Transcribes both tracks of a recording concurrently and returns the merged transcript; the
    // track files are left as they are. A stop request ends both with the cancellation error.
    [[nodiscard]] QCoro::Task<QString> transcribe(
        AudioCapture::Tracks tracks, std::stop_token stop = {}) const;

    // Whether polling `url` keeps the key on the service's host: https and exactly that host.
    [[nodiscard]] bool acceptsResultUrl(const QUrl& url) const;
    // The body of the upload of `audio`, parted by `boundary`.
    [[nodiscard]] static QByteArray uploadBody(const QByteArray& boundary, const QByteArray& audio);
    // The compact JSON that starts a diarized job on the uploaded audio.
    [[nodiscard]] static QByteArray jobBody(const QString& audioUrl);
    // A fresh random UUID, 36 upper-case characters in groups 8-4-4-4-12.
    [[nodiscard]] static QString canonicalUuid();

private:
    static QCoro::Task<QString> transcribeFile(Gladia self, QString file, std::stop_token stop);
    static QCoro::Task<QString> transcribeTracks(
        Gladia self, AudioCapture::Tracks tracks, std::stop_token stop);
    QCoro::Task<QList<Segment>> transcribeTrack(QString track, std::stop_token stop) const;
    QCoro::Task<Transcription> fetchTranscript(QString file, std::stop_token stop) const;
    template<typename Record>
    QCoro::Task<Record> request(QUrl url, QString stage, std::optional<QByteArray> body,
        QByteArray type, ExchangeLimits limits, std::stop_token stop) const;
    // What the exchange for `stage` may cost; an upload of `size` bytes gets more time.
    [[nodiscard]] ExchangeLimits limits(const QString& stage, qint64 size = 0) const;
    // A key that cannot go into a header ends the run before anything is read or sent.
    void checkKey() const;
    [[nodiscard]] QUrl endpoint(const QString& path) const;

    // The platform's error for work abandoned on request, with Qt's own text.
    [[noreturn]] static void throwCancelled();
    static void throwIfStopped(const std::stop_token& stop);
    // Waits `interval` on a monotonic timer; a stop request cuts it short with the cancellation.
    static QCoro::Task<void> pause(std::chrono::milliseconds interval, std::stop_token stop);

    QString m_key;
    Session m_session;
    Service m_service;
};
