#include "captureerror.h"
#include "fakegladia.h"
#include "processmemory.h"
#include "requesterror.h"
#include "transporterror.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;

namespace {

const QString keySentence
    = u"Gladia a refusé la clé API. Remplacez-la dans les réglages, puis relancez la transcription."_s;
const QString unexpectedResult = u"URL de résultat Gladia inattendue."_s;
const QString noTranscription = u"Gladia a terminé sans renvoyer de transcription."_s;
const QString jobFailed = u"La transcription a échoué chez Gladia."_s;

QString writeFile(const QTemporaryDir& dir, const QByteArray& bytes)
{
    const QString path = dir.filePath(u"enregistrement.m4a"_s);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        qFatal("cannot write the test recording");
    }
    return path;
}

} // namespace

Q_DECLARE_METATYPE(ScriptedResponse)

class tst_Gladia : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<FakeGladia> m_service;
    QString m_recording;

private Q_SLOTS:
    void init()
    {
        m_service = std::make_unique<FakeGladia>();
        m_recording = writeFile(m_dir, "ftyp M4A audio"_ba);
    }

    void cleanup() { m_service.reset(); }

    // Audio with line breaks, hyphens and NULs goes out byte for byte.
    void sendsExactlyWhatTheServiceExpects()
    {
        QByteArray audio("\r\n--\r\n\0\xff\x80 audio", 15);
        audio.append(QByteArray(70000, '\x5a'));
        FakeGladia& service = *m_service;
        const QString audioUrl = u"https://127.0.0.1/audio/é?x=1&y=\"2\""_s;
        service.upload = [&](const RecordedRequest&) {
            return ScriptedResponse::json(200, FakeGladia::object(u"audio_url"_s, audioUrl));
        };
        service.job = [&](const RecordedRequest&) {
            return ScriptedResponse::json(201,
                FakeGladia::object(
                    u"result_url"_s, QString::fromLatin1(service.resultUrl("/v2/result/42?x=1"))));
        };
        service.polls = { ScriptedResponse::json(200, R"({"status":"queued"})"),
            ScriptedResponse::json(200, R"({"status":"Done"})"),
            FakeGladia::done(R"([{"start":65.4,"speaker":1,"text":"Bonjour"},)"
                             R"({"start":2,"speaker":null,"text":"Salut"}])") };
        QList<qint64> arrivals;
        QElapsedTimer clock;
        clock.start();
        connect(&service.server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest&) { arrivals.append(clock.elapsed()); });
        Gladia::Service timing = service.service();
        timing.pollInterval = 1s; // far above any scheduling delay: "at once" stays below it

        // The run outlives the client value it was started from.
        QCoro::Task<QString> task = service.client(timing).transcribe(writeFile(m_dir, audio));
        const Outcome outcome = run(std::move(task));

        QVERIFY2(outcome.transcript, qPrintable(outcome.errorText()));
        QCOMPARE(*outcome.transcript, u"[01:05] Voix 2 · Bonjour\n[00:02] Voix · Salut"_s);
        const QList<RecordedRequest> requests = service.requests();
        QCOMPARE(requests.size(), 5);
        for (const RecordedRequest& request : requests) {
            QCOMPARE(request.header("x-gladia-key"), "test-key"_ba);
        }

        const RecordedRequest& upload = requests[0];
        QCOMPARE(upload.method, "POST"_ba);
        const QRegularExpressionMatch type
            = QRegularExpression(
                QStringLiteral("^multipart/form-data; boundary=([0-9A-F]{8}-[0-9A-F]"
                               "{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$"))
                  .match(QString::fromLatin1(upload.header("Content-Type")));
        QVERIFY2(type.hasMatch(), upload.header("Content-Type").constData());
        const QByteArray boundary = type.captured(1).toLatin1();
        QCOMPARE(upload.body,
            "--" + boundary
                + "\r\nContent-Disposition: form-data; name=\"audio\"; filename=\"reunion.m4a\"\r\n"
                  "Content-Type: audio/mp4\r\n\r\n"
                + audio + "\r\n--" + boundary + "--\r\n");

        const RecordedRequest& job = requests[1];
        QCOMPARE(job.method, "POST"_ba);
        QCOMPARE(job.header("Content-Type"), "application/json"_ba);
        QVERIFY2(!job.body.contains('\n') && !job.body.contains(": "), job.body.constData());
        QCOMPARE(QJsonDocument::fromJson(job.body).object(),
            (QJsonObject { { u"audio_url"_s, audioUrl }, { u"diarization"_s, true } }));

        for (qsizetype i = 2; i < requests.size(); ++i) {
            QCOMPARE(requests[i].method, "GET"_ba);
            QCOMPARE(requests[i].target, "/v2/result/42?x=1"_ba);
        }
        // The first poll follows the job at once; each unfinished answer is followed by a wait.
        QVERIFY2(arrivals[2] - arrivals[1] < 1000, qPrintable(QString::number(arrivals[2])));
        QVERIFY(arrivals[3] - arrivals[2] >= 1000);
        QVERIFY(arrivals[4] - arrivals[3] >= 1000);
    }

    // What each exchange's answer makes of the run: the sentence shown, no request after it, and
    // never a gigabyte read into memory.
    void failures_data()
    {
        QTest::addColumn<QByteArray>("stage"); // upload, job or poll
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("error");

        const QHash<QByteArray, QString> stages { { "upload", u"envoi de l’audio"_s },
            { "job", u"lancement de la transcription"_s },
            { "poll", u"récupération du résultat"_s } };
        const auto refused = [&](const QByteArray& stage, int status) {
            return u"Gladia · %1 impossible (HTTP %2)."_s.arg(stages[stage]).arg(status);
        };
        const auto unreadable = [&](const QByteArray& stage) {
            return u"Gladia · réponse illisible pendant %1."_s.arg(stages[stage]);
        };
        const auto json = &ScriptedResponse::json;
        ScriptedResponse announced = json(200, {});
        announced.filler = qint64(1) << 30;
        ScriptedResponse unannounced = announced;
        unannounced.declareLength = false;
        ScriptedResponse hugeError = unannounced;
        hugeError.status = 500;
        ScriptedResponse drip = json(200, R"({"status":"queued"})");
        drip.dripMs = 100;

        QTest::newRow("401 while polling")
            << "poll"_ba << json(401, R"({"status":"done"})") << keySentence;
        // 403 is not the key. Qt gives 400, 407 and 418 error codes outside its HTTP ranges; they
        // are answers all the same.
        for (const int unusual : { 400, 403, 407, 418 }) {
            QTest::addRow("%d at the upload", unusual)
                << "upload"_ba << json(unusual, {}) << refused("upload", unusual);
        }
        QTest::newRow("500 at the job")
            << "job"_ba << json(500, R"({"result_url":"x"})") << refused("job", 500);
        QTest::newRow("a redirect is not followed")
            << "poll"_ba << json(302, {}) << refused("poll", 302);
        QTest::newRow("upload answer without audio_url")
            << "upload"_ba << json(200, R"({"id":"a"})") << unreadable("upload");
        QTest::newRow("job answer not JSON")
            << "job"_ba << json(200, "<html></html>") << unreadable("job");
        QTest::newRow("result address that is not an address")
            << "job"_ba << json(200, R"({"result_url":"a b"})") << unreadable("job");
        // An address that would reach this very server, were it polled.
        QTest::newRow("result over plain http: no poll")
            << "job"_ba << json(200, "http") << unexpectedResult;
        QTest::newRow("result on another host: no poll")
            << "job"_ba << json(200, "localhost") << unexpectedResult;
        QTest::newRow("done without result")
            << "poll"_ba << json(200, R"({"status":"done","result":null})") << noTranscription;
        QTest::newRow("error") << "poll"_ba << json(200, R"({"status":"error"})") << jobFailed;
        QTest::newRow("failed") << "poll"_ba << json(200, R"({"status":"failed","result":null})")
                                << jobFailed;
        QTest::newRow("1 GiB upload answer") << "upload"_ba << announced << unreadable("upload");
        QTest::newRow("1 GiB result without a length")
            << "poll"_ba << unannounced << unreadable("poll");
        QTest::newRow("1 GiB error answer") << "job"_ba << hugeError << unreadable("job");
        QTest::newRow("result one byte at a time")
            << "poll"_ba << drip
            << u"Délai dépassé : l’échange avec Gladia est trop lent, abandonné après 2 s."_s;
        QTest::newRow("silent upload") << "upload"_ba << ScriptedResponse { .stall = true }
                                       << u"Délai dépassé : Gladia ne répond plus depuis 1 s."_s;
    }

    void failures()
    {
        QFETCH(QByteArray, stage);
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, error);
        FakeGladia& service = *m_service;
        if (answer.body == "http" || answer.body == "localhost") {
            answer.body = FakeGladia::object(u"result_url"_s,
                QString::fromLatin1(answer.body == "http"
                        ? service.resultUrl("/v2/result/1", "http")
                        : service.resultUrl("/v2/result/1", "https", "localhost")));
        }
        if (answer.status / 100 == 3) {
            answer.headers.append({ "Location", service.resultUrl("/v2/result/2") });
        }
        // A poll stage fails at the first poll, after one unfinished answer.
        service.polls = { ScriptedResponse::json(200, R"({"status":"running"})"), answer };
        const auto answerWith = [answer](const RecordedRequest&) {
            return answer;
        };
        if (stage == "upload") {
            service.upload = answerWith;
        } else if (stage == "job") {
            service.job = answerWith;
        }
        // Short limits only where time is what is tested, so a loaded machine does not trip them.
        Gladia::Service limits = service.service();
        if (answer.stall || answer.dripMs > 0) {
            limits.stallTimeout = 1s;
            limits.exchangeDeadline = 1500ms;
        }
        QVERIFY(processmemory::resetPeak());
        const qint64 idle = processmemory::residentMiB();

        const Outcome outcome = run(service.client(limits).transcribe(m_recording));

        QVERIFY(!outcome.transcript);
        QCOMPARE(outcome.errorText(), error);
        const qsizetype stages = QByteArrayList { "upload", "job", "poll" }.indexOf(stage) + 1;
        QCOMPARE(service.requests().size(), stages + (stage == "poll" ? 1 : 0));
        // An answer is the service's refusal; a silence or a trickle is the transport's.
        const bool refused
            = outcome.failedWith<RequestError>() || outcome.failedWith<CaptureError>();
        QCOMPARE(refused, !error.startsWith(u"Délai dépassé"_s));
        // The result limit is 32 MiB; reading the whole answer would take over a gigabyte (more
        // room under the address sanitizer, which keeps freed memory aside).
        const qint64 peak = processmemory::peakMiB();
        QVERIFY2(peak - idle < 400, qPrintable(u"%1 MiB above idle"_s.arg(peak - idle)));
    }

    void givesUpAfterNinetyUnfinishedPolls()
    {
        FakeGladia& service = *m_service;
        QElapsedTimer sinceLastPoll;
        connect(&service.server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest&) { sinceLastPoll.start(); });
        Gladia::Service timing = service.service();
        timing.pollInterval = 15ms;

        const Outcome outcome = run(service.client(timing).transcribe(m_recording));

        QCOMPARE(outcome.errorText(),
            u"Le résultat Gladia n’est pas disponible après le délai d’attente."_s);
        QCOMPARE(service.requests().size(), 2 + 90);
        QVERIFY(sinceLastPoll.elapsed() >= 15); // the 90th answer is waited upon too
    }

    void uploadDeadlineGrowsWithTheAudio()
    {
        FakeGladia& service = *m_service;
        ScriptedResponse slow = ScriptedResponse::json(200, R"({"audio_url":"a"})");
        slow.delayMs = 2000; // then the answer comes whole
        service.upload = [slow](const RecordedRequest&) {
            return slow;
        };
        Gladia::Service limits = service.service();
        limits.exchangeDeadline = 1s;
        limits.slowestUpload = 16 * 1024; // 128 KiB of audio: eight more seconds
        service.polls = { FakeGladia::done(R"([{"start":0,"text":"Oui"}])") };
        QTemporaryDir dir;

        const Outcome small
            = run(service.client(limits).transcribe(writeFile(dir, QByteArray(1024, 'a'))));
        const Outcome large
            = run(service.client(limits).transcribe(writeFile(dir, QByteArray(128 * 1024, 'a'))));

        QCOMPARE(small.errorText(),
            u"Délai dépassé : l’échange avec Gladia est trop lent, abandonné après 1 s."_s);
        QVERIFY2(large.transcript, qPrintable(large.errorText()));
    }

    void localFailuresAndStops()
    {
        FakeGladia& service = *m_service;
        // A key that would break the request's header: line feed, carriage return, NUL.
        for (const QString& key : { u"abc\nX-Injected: 1"_s, u"abc\rdef"_s, u"abc"_s + QChar(0) }) {
            const Outcome outcome = run(service.client(key).transcribe(m_recording));
            QCOMPARE(outcome.errorText(),
                u"La clé API Gladia contient un retour à la ligne ou un caractère de contrôle. "
                "Remplacez-la dans les réglages, puis relancez la transcription."_s);
            QVERIFY(outcome.failedWith<RequestError>());
        }

        const Outcome missing = run(service.client().transcribe(m_dir.filePath(u"absent.m4a"_s)));
        QVERIFY(missing.failedWith<PlatformError>());
        QVERIFY(!missing.errorText().isEmpty());

        std::stop_source before;
        before.request_stop();
        const Outcome never = run(service.client().transcribe(m_recording, before.get_token()));
        QCOMPARE(never.errorText(), TransportError::cancelled().message());
        QVERIFY(service.requests().isEmpty());

        // A stop during an exchange aborts it rather than wait for the stall limit; a stop during
        // the wait between polls is played with two tracks.
        service.upload = [](const RecordedRequest&) {
            return ScriptedResponse { .stall = true };
        };
        std::stop_source duringUpload;
        connect(&service.server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest&) { duringUpload.request_stop(); });
        Gladia::Service timing = service.service();
        timing.stallTimeout = 60s;
        const Outcome aborted
            = run(service.client(timing).transcribe(m_recording, duringUpload.get_token()));
        QVERIFY(aborted.failedWith<PlatformError>());
        QCOMPARE(aborted.errorText(), TransportError::cancelled().message());

        // Only the throw-away certificate given to the session is trusted, not the system's list.
        QNetworkAccessManager manager;
        Gladia untrusting(u"test-key"_s, Gladia::Session(&manager), service.service());
        const Outcome refused = run(untrusting.transcribe(m_recording));
        QCOMPARE(
            refused.errorText(), u"Certificat de Gladia refusé : la connexion n’est pas sûre."_s);
        QVERIFY(!refused.failedWith<RequestError>());
    }
};

QTEST_GUILESS_MAIN(tst_Gladia)
#include "tst_gladia.moc"
