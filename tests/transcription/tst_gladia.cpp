#include "captureerror.h"
#include "fakegladia.h"
#include "processmemory.h"
#include "requesterror.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <thread>

using namespace std::chrono_literals;

namespace {

const QString keySentence = QStringLiteral(
    "Gladia a refusé la clé API. Remplacez-la dans les réglages, puis relancez la transcription.");
const QString unexpectedResult = QStringLiteral("URL de résultat Gladia inattendue.");
const QString noTranscription = QStringLiteral("Gladia a terminé sans renvoyer de transcription.");
const QString jobFailed = QStringLiteral("La transcription a échoué chez Gladia.");

QString writeFile(const QTemporaryDir& dir, const QByteArray& bytes)
{
    const QString path = dir.filePath(QStringLiteral("enregistrement.m4a"));
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
        m_recording = writeFile(m_dir, QByteArray("ftyp M4A audio"));
    }

    void cleanup() { m_service.reset(); }

    void sendsExactlyWhatTheServiceExpects_data()
    {
        QTest::addColumn<QByteArray>("audio");
        QByteArray binary("\r\n--\r\n\0\xff\x80 audio", 15);
        binary.append(QByteArray(70000, '\x5a'));
        QTest::newRow("audio with line breaks, hyphens and NULs") << binary;
        QTest::newRow("empty file") << QByteArray();
    }

    void sendsExactlyWhatTheServiceExpects()
    {
        QFETCH(QByteArray, audio);
        FakeGladia& service = *m_service;
        const QString audioUrl = QStringLiteral("https://127.0.0.1/audio/é?x=1&y=\"2\"");
        service.upload = [&](const RecordedRequest&) {
            return ScriptedResponse::json(
                200, FakeGladia::object(QStringLiteral("audio_url"), audioUrl));
        };
        service.job = [&](const RecordedRequest&) {
            return ScriptedResponse::json(201,
                FakeGladia::object(QStringLiteral("result_url"),
                    QString::fromLatin1(service.resultUrl("/v2/result/42?x=1"))));
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
        timing.pollInterval = 150ms;

        const Outcome outcome = run(service.client(timing).transcribe(writeFile(m_dir, audio)));

        QVERIFY2(outcome.transcript, qPrintable(outcome.errorText()));
        QCOMPARE(
            *outcome.transcript, QStringLiteral("[01:05] Voix 2 · Bonjour\n[00:02] Voix · Salut"));
        const QList<RecordedRequest> requests = service.requests();
        QCOMPARE(requests.size(), 5);
        for (const RecordedRequest& request : requests) {
            QCOMPARE(request.header("x-gladia-key"), QByteArray("test-key"));
        }

        const RecordedRequest& upload = requests[0];
        QCOMPARE(upload.method, QByteArray("POST"));
        QCOMPARE(upload.target, QByteArray("/v2/upload"));
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
        QCOMPARE(job.method, QByteArray("POST"));
        QCOMPARE(job.target, QByteArray("/v2/pre-recorded"));
        QCOMPARE(job.header("Content-Type"), QByteArray("application/json"));
        QVERIFY2(!job.body.contains('\n') && !job.body.contains(": "), job.body.constData());
        const QJsonObject jobObject = QJsonDocument::fromJson(job.body).object();
        QCOMPARE(jobObject.size(), 2);
        QCOMPARE(jobObject.value(QLatin1String("audio_url")).toString(), audioUrl);
        QCOMPARE(jobObject.value(QLatin1String("diarization")), QJsonValue(true));

        for (qsizetype i = 2; i < requests.size(); ++i) {
            QCOMPARE(requests[i].method, QByteArray("GET"));
            QCOMPARE(requests[i].target, QByteArray("/v2/result/42?x=1"));
            QVERIFY(requests[i].header("Content-Type").isEmpty());
            QVERIFY(requests[i].body.isEmpty());
        }
        // The first poll follows the job at once; each unfinished answer is followed by a wait.
        QVERIFY2(arrivals[2] - arrivals[1] < 150, qPrintable(QString::number(arrivals[2])));
        QVERIFY(arrivals[3] - arrivals[2] >= 150);
        QVERIFY(arrivals[4] - arrivals[3] >= 150);
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("stage");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("requests");

        QTest::newRow("401 at the upload")
            << QByteArray("upload") << 401 << QByteArray() << keySentence << 1;
        QTest::newRow("401 at the job")
            << QByteArray("job") << 401 << QByteArray() << keySentence << 2;
        QTest::newRow("401 while polling")
            << QByteArray("poll") << 401 << QByteArray(R"({"status":"done"})") << keySentence << 3;
        QTest::newRow("403 at the upload is not the key")
            << QByteArray("upload") << 403 << QByteArray()
            << QStringLiteral("Gladia · envoi de l’audio impossible (HTTP 403).") << 1;
        // Qt gives these statuses error codes outside its HTTP ranges; they are answers all the
        // same.
        for (const int unusual : { 400, 407, 418 }) {
            QTest::addRow("%d at the upload", unusual)
                << QByteArray("upload") << unusual << QByteArray()
                << QStringLiteral("Gladia · envoi de l’audio impossible (HTTP %1).").arg(unusual)
                << 1;
        }
        QTest::newRow("500 at the job")
            << QByteArray("job") << 500 << QByteArray(R"({"result_url":"x"})")
            << QStringLiteral("Gladia · lancement de la transcription impossible (HTTP 500).") << 2;
        QTest::newRow("404 while polling")
            << QByteArray("poll") << 404 << QByteArray()
            << QStringLiteral("Gladia · récupération du résultat impossible (HTTP 404).") << 3;
        QTest::newRow("a redirect is not followed")
            << QByteArray("poll") << 302 << QByteArray()
            << QStringLiteral("Gladia · récupération du résultat impossible (HTTP 302).") << 3;
        QTest::newRow("upload answer without audio_url")
            << QByteArray("upload") << 200 << QByteArray(R"({"id":"a"})")
            << QStringLiteral("Gladia · réponse illisible pendant envoi de l’audio.") << 1;
        QTest::newRow("job answer not JSON")
            << QByteArray("job") << 200 << QByteArray("<html></html>")
            << QStringLiteral("Gladia · réponse illisible pendant lancement de la transcription.")
            << 2;
        QTest::newRow("result address that is not an address")
            << QByteArray("job") << 200 << QByteArray(R"({"result_url":"a b"})")
            << QStringLiteral("Gladia · réponse illisible pendant lancement de la transcription.")
            << 2;
        QTest::newRow("poll answer with one bad utterance")
            << QByteArray("poll") << 200
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":[{"start":1,"text":"a"},{"start":"2","text":"b"}]}}})")
            << QStringLiteral("Gladia · réponse illisible pendant récupération du résultat.") << 3;
        QTest::newRow("result over plain http: no poll")
            << QByteArray("job") << 200 << QByteArray("http") << unexpectedResult << 2;
        QTest::newRow("result on another host: no poll")
            << QByteArray("job") << 200 << QByteArray("localhost") << unexpectedResult << 2;
        QTest::newRow("result address without scheme and host: no poll")
            << QByteArray("job") << 200 << QByteArray(R"({"result_url":"/v2/result/1"})")
            << unexpectedResult << 2;
        QTest::newRow("done without result")
            << QByteArray("poll") << 200 << QByteArray(R"({"status":"done","result":null})")
            << noTranscription << 3;
        QTest::newRow("done without transcription")
            << QByteArray("poll") << 200 << QByteArray(R"({"status":"done","result":{}})")
            << noTranscription << 3;
        QTest::newRow("error") << QByteArray("poll") << 200 << QByteArray(R"({"status":"error"})")
                               << jobFailed << 3;
        QTest::newRow("failed") << QByteArray("poll") << 200
                                << QByteArray(R"({"status":"failed","result":null})") << jobFailed
                                << 3;
    }

    void failures()
    {
        QFETCH(QByteArray, stage);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        FakeGladia& service = *m_service;
        if (body == "http" || body == "localhost") {
            // An address that would reach this very server, were it polled.
            body = FakeGladia::object(QStringLiteral("result_url"),
                QString::fromLatin1(body == "http"
                        ? service.resultUrl("/v2/result/1", "http")
                        : service.resultUrl("/v2/result/1", "https", "localhost")));
        }
        ScriptedResponse answer = ScriptedResponse::json(status, body);
        if (status / 100 == 3) {
            answer.headers.append({ "Location", service.resultUrl("/v2/result/2") });
        }
        // A poll stage fails at the first poll, after one unfinished answer.
        service.polls = { ScriptedResponse::json(200, R"({"status":"running"})") };
        if (stage == "upload") {
            service.upload = [answer](const RecordedRequest&) {
                return answer;
            };
        } else if (stage == "job") {
            service.job = [answer](const RecordedRequest&) {
                return answer;
            };
        } else {
            service.polls.append(answer);
        }
        const int polled = stage == "poll" ? 1 : 0;

        const Outcome outcome = run(service.client().transcribe(m_recording));

        QVERIFY(!outcome.transcript);
        QTEST(outcome.errorText(), "error");
        QTEST(int(service.requests().size()) - polled, "requests");
        const bool ours = outcome.failedWith<RequestError>() || outcome.failedWith<CaptureError>();
        QVERIFY(ours);
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
            QStringLiteral("Le résultat Gladia n’est pas disponible après le délai d’attente."));
        QCOMPARE(service.requests().size(), 2 + 90);
        QVERIFY(sinceLastPoll.elapsed() >= 15); // the 90th answer is waited upon too
    }

    void hostileServers_data()
    {
        QTest::addColumn<QByteArray>("stage");
        QTest::addColumn<ScriptedResponse>("response");
        QTest::addColumn<QString>("error");

        constexpr qint64 gib = qint64(1) << 30;
        ScriptedResponse announced = ScriptedResponse::json(200, {});
        announced.filler = gib;
        ScriptedResponse unannounced = announced;
        unannounced.declareLength = false;
        ScriptedResponse drip = ScriptedResponse::json(200, R"({"status":"queued"})");
        drip.dripMs = 100;
        ScriptedResponse stall;
        stall.stall = true;

        QTest::newRow("1 GiB upload answer")
            << QByteArray("upload") << announced
            << QStringLiteral("Gladia · réponse illisible pendant envoi de l’audio.");
        QTest::newRow("1 GiB result without a length")
            << QByteArray("poll") << unannounced
            << QStringLiteral("Gladia · réponse illisible pendant récupération du résultat.");
        QTest::newRow("1 GiB error answer") << QByteArray("job") << [&] {
            ScriptedResponse error = unannounced;
            error.status = 500;
            return error;
        }() << QStringLiteral("Gladia · réponse illisible pendant lancement de la transcription.");
        QTest::newRow("result one byte at a time")
            << QByteArray("poll") << drip
            << QStringLiteral(
                   "Délai dépassé : l’échange avec Gladia est trop lent, abandonné après 2 s.");
        QTest::newRow("silent upload")
            << QByteArray("upload") << stall
            << QStringLiteral("Délai dépassé : Gladia ne répond plus depuis 1 s.");
        QTest::newRow("silent poll") << QByteArray(
            "poll") << stall << QStringLiteral("Délai dépassé : Gladia ne répond plus depuis 1 s.");
    }

    void hostileServers()
    {
        QFETCH(QByteArray, stage);
        QFETCH(ScriptedResponse, response);
        FakeGladia& service = *m_service;
        auto answer = [response](const RecordedRequest&) {
            return response;
        };
        if (stage == "upload") {
            service.upload = answer;
        } else if (stage == "job") {
            service.job = answer;
        } else {
            service.poll = answer;
        }
        Gladia::Service limits = service.service();
        limits.stallTimeout = 1s;
        limits.exchangeDeadline = 1500ms;
        QVERIFY(processmemory::resetPeak());
        const qint64 idle = processmemory::residentMiB();

        const Outcome outcome = run(service.client(limits).transcribe(m_recording));

        QTEST(outcome.errorText(), "error");
        QVERIFY(!outcome.errorText().contains(QLatin1String("cancel"), Qt::CaseInsensitive));
        // The result limit is 32 MiB; reading the whole answer would take over a gigabyte (more
        // room under the address sanitizer, which keeps freed memory aside).
        const qint64 peak = processmemory::peakMiB();
        QVERIFY2(
            peak - idle < 400, qPrintable(QStringLiteral("%1 MiB above idle").arg(peak - idle)));
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
            QStringLiteral(
                "Délai dépassé : l’échange avec Gladia est trop lent, abandonné après 1 s."));
        QVERIFY2(large.transcript, qPrintable(large.errorText()));
    }

    void keyThatCannotBeSent_data()
    {
        QTest::addColumn<QString>("key");
        QTest::newRow("line feed") << QStringLiteral("abc\nX-Injected: 1");
        QTest::newRow("carriage return") << QStringLiteral("abc\rdef");
        QTest::newRow("NUL") << QString(QStringLiteral("abc") + QChar(0));
    }

    void keyThatCannotBeSent()
    {
        QFETCH(QString, key);
        FakeGladia& service = *m_service;
        const Outcome outcome = run(service.client(key).transcribe(m_recording));
        QCOMPARE(outcome.errorText(),
            QStringLiteral("La clé API Gladia contient un retour à la ligne ou un caractère de "
                           "contrôle. Remplacez-la dans les réglages, puis relancez la "
                           "transcription."));
        QVERIFY(outcome.failedWith<RequestError>());
        QVERIFY(service.requests().isEmpty());
    }

    void localFailuresSendNothing()
    {
        FakeGladia& service = *m_service;
        const Outcome missing
            = run(service.client().transcribe(m_dir.filePath(QStringLiteral("absent.m4a"))));
        QVERIFY(missing.failedWith<PlatformError>());
        QVERIFY(!missing.errorText().isEmpty());

        // Only the throw-away certificate given to the session is trusted, not the system's list.
        Gladia untrusting(
            QStringLiteral("test-key"), Gladia::Session(&service.manager), service.service());
        const Outcome refused = run(untrusting.transcribe(m_recording));
        QCOMPARE(refused.errorText(),
            QStringLiteral("Certificat de Gladia refusé : la connexion n’est pas sûre."));
        QVERIFY(!refused.failedWith<RequestError>());
        QVERIFY(service.requests().isEmpty());
    }

    void stopEndsTheRunWithTheCancellationError()
    {
        FakeGladia& service = *m_service;
        Gladia::Service timing = service.service();
        timing.pollInterval = 60s;
        timing.stallTimeout = 60s;
        ScriptedResponse stall;
        stall.stall = true;
        service.upload = [stall](const RecordedRequest&) {
            return stall;
        };

        // During an exchange: the request is aborted.
        std::stop_source duringUpload;
        connect(&service.server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest&) { duringUpload.request_stop(); });
        QElapsedTimer clock;
        clock.start();
        const Outcome aborted
            = run(service.client(timing).transcribe(m_recording, duringUpload.get_token()));
        QVERIFY(aborted.failedWith<PlatformError>());
        QVERIFY(clock.elapsed() < 30000);
        service.server.disconnect(this);

        // During the wait between polls, from another thread: the wait is cut short.
        FakeGladia waiting;
        std::stop_source duringWait;
        std::thread stopper;
        connect(&waiting.server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest& request) {
                // Well after the answer has arrived, so the stop finds the client waiting.
                if (request.method == "GET") {
                    stopper = std::thread([&duringWait] {
                        std::this_thread::sleep_for(300ms);
                        duringWait.request_stop();
                    });
                }
            });
        Gladia::Service slowPolls = waiting.service();
        slowPolls.pollInterval = 60s;
        clock.restart();
        const Outcome cutShort
            = run(waiting.client(slowPolls).transcribe(m_recording, duringWait.get_token()));
        stopper.join();
        QVERIFY(clock.elapsed() < 30000);
        QCOMPARE(waiting.requests().size(), 3);
        // Both ways of stopping report the platform's one cancellation error.
        QVERIFY(cutShort.failedWith<PlatformError>());
        QCOMPARE(cutShort.errorText(), aborted.errorText());

        // Stopped before it starts: nothing is sent.
        FakeGladia idle;
        std::stop_source before;
        before.request_stop();
        const Outcome never = run(idle.client().transcribe(m_recording, before.get_token()));
        QCOMPARE(never.errorText(), aborted.errorText());
        QVERIFY(idle.requests().isEmpty());
    }

    void runOutlivesTheClientValue()
    {
        FakeGladia& service = *m_service;
        service.polls = { FakeGladia::done(R"([{"start":0,"text":"Oui"}])") };
        QCoro::Task<QString> task = service.client().transcribe(m_recording);
        const Outcome outcome = run(std::move(task));
        QCOMPARE(
            outcome.transcript.value_or(outcome.errorText()), QStringLiteral("[00:00] Voix · Oui"));
    }
};

QTEST_GUILESS_MAIN(tst_Gladia)
#include "tst_gladia.moc"
