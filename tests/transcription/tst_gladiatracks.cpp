#include "blockingwait.h"
#include "captureerror.h"
#include "fakegladia.h"
#include "requesterror.h"
#include "transporterror.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <numbers>
#include <sndfile.h>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

using namespace std::chrono_literals;

namespace {

const QString keySentence
    = u"Gladia a refusé la clé API. Remplacez-la dans les réglages, puis relancez la transcription."_s;

// A mono sine written as a track file, as the recorder leaves it.
void writeTrack(const QString& path, double seconds, double frequency)
{
    SF_INFO info {};
    info.samplerate = 48000;
    info.channels = 1;
    info.format = SF_FORMAT_CAF | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file) {
        qFatal("cannot write a test track: %s", sf_strerror(nullptr));
    }
    std::vector<float> samples(static_cast<size_t>(seconds * info.samplerate));
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<float>(
            0.3 * std::sin(2 * std::numbers::pi * frequency * double(i) / info.samplerate));
    }
    sf_writef_float(file, samples.data(), sf_count_t(samples.size()));
    sf_close(file);
}

QByteArray contents(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

qint64 convertedSize(const QString& track)
{
    QTemporaryDir scratch;
    const QString m4a = scratch.filePath(u"x.m4a"_s);
    AudioCapture::exportAudio({ AudioCapture::Input { track, 0 } }, m4a);
    return QFileInfo(m4a).size();
}

// The application, counting how deep it is in delivering events to network replies: the run must
// never free the network session (and the replies it owns) from inside one of them.
class Application : public QCoreApplication
{
public:
    using QCoreApplication::QCoreApplication;

    bool notify(QObject* receiver, QEvent* event) override
    {
        const bool toReply = qobject_cast<QNetworkReply*>(receiver) != nullptr;
        replyEventDepth += toReply ? 1 : 0;
        const bool handled = QCoreApplication::notify(receiver, event);
        replyEventDepth -= toReply ? 1 : 0;
        return handled;
    }

    static inline thread_local int replyEventDepth = 0;
};

// Runs a transcription as the session does: the only client value, which owns the network session,
// is dropped as soon as its transcription ends, wherever that end is reached. `freedInReply` is set
// when the session goes while a reply's event is being delivered.
QCoro::Task<Outcome> settleDroppingTheClient(
    std::unique_ptr<Gladia> client, AudioCapture::Tracks tracks, bool* freedInReply)
{
    QObject::connect(client->session().manager(), &QObject::destroyed,
        [freedInReply] { *freedInReply |= Application::replyEventDepth > 0; });
    Outcome outcome;
    outcome.error
        = (co_await blocking::settle(client->transcribe(tracks), &outcome.transcript)).failure;
    client.reset();
    co_return outcome;
}

} // namespace

class tst_GladiaTracks : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_recordings;
    qint64 m_microphoneSize = 0;
    qint64 m_systemSize = 0;

    QTemporaryDir m_folder;
    AudioCapture::Tracks m_tracks;
    QByteArray m_microphoneBytes;
    QByteArray m_systemBytes;
    std::unique_ptr<FakeGladia> m_service;
    QSet<QString> m_temporaryFiles; // M4A files seen beside the tracks during the uploads

    // The service, telling the two tracks apart by the size of their audio: the microphone's is
    // short, the call's long. Each side's job and polls carry its name.
    void routeByTrack(std::function<ScriptedResponse(const QByteArray& side)> upload,
        std::function<ScriptedResponse(const QByteArray& side)> poll)
    {
        FakeGladia& service = *m_service;
        service.upload = [this, upload](const RecordedRequest& request) {
            const QDir folder(m_folder.path());
            for (const QString& name : folder.entryList({ u"*.m4a"_s })) {
                m_temporaryFiles.insert(name);
            }
            const qint64 size = request.body.size();
            const bool microphone
                = std::abs(size - m_microphoneSize) < std::abs(size - m_systemSize);
            return upload(microphone ? "mic" : "call");
        };
        service.job = [&service](const RecordedRequest& request) {
            const QByteArray side = request.body.contains("\"mic\"") ? "mic" : "call";
            return ScriptedResponse::json(200,
                FakeGladia::object(
                    u"result_url"_s, QString::fromLatin1(service.resultUrl("/v2/result/" + side))));
        };
        service.poll = [poll](const RecordedRequest& request) {
            return poll(request.target.endsWith("/mic") ? "mic" : "call");
        };
    }

    static ScriptedResponse uploaded(const QByteArray& side)
    {
        return ScriptedResponse::json(
            200, FakeGladia::object(u"audio_url"_s, QString::fromLatin1(side)));
    }

    static ScriptedResponse transcribed(const QByteArray& side)
    {
        return side == "mic" ? FakeGladia::done(R"([{"start":1.0,"speaker":0,"text":"Bonjour"}])")
                             : FakeGladia::done(R"([{"start":0.2,"speaker":1,"text":"Salut"},)"
                                                R"({"start":2.4,"speaker":0,"text":"Oui"}])");
    }

private Q_SLOTS:
    void initTestCase()
    {
        writeTrack(m_recordings.filePath(u"mic.caf"_s), 0.5, 440);
        writeTrack(m_recordings.filePath(u"call.caf"_s), 3.0, 660);
        m_microphoneSize = convertedSize(m_recordings.filePath(u"mic.caf"_s));
        m_systemSize = convertedSize(m_recordings.filePath(u"call.caf"_s));
        QVERIFY(m_systemSize > 2 * m_microphoneSize);
    }

    void init()
    {
        m_tracks.microphone = m_folder.filePath(u"microphone.caf"_s);
        m_tracks.system = m_folder.filePath(u"appel.caf"_s);
        QFile::remove(m_tracks.microphone);
        QFile::remove(m_tracks.system);
        QVERIFY(QFile::copy(m_recordings.filePath(u"mic.caf"_s), m_tracks.microphone));
        QVERIFY(QFile::copy(m_recordings.filePath(u"call.caf"_s), m_tracks.system));
        m_microphoneBytes = contents(m_tracks.microphone);
        m_systemBytes = contents(m_tracks.system);
        m_tracks.microphoneOffset = 0.5;
        m_tracks.systemOffset = 0;
        m_service = std::make_unique<FakeGladia>();
        m_temporaryFiles.clear();
    }

    // Whatever the run did, the recording folder is as it was.
    void cleanup()
    {
        m_service.reset();
        QCOMPARE(QDir(m_folder.path()).entryList(QDir::Files),
            QStringList({ u"appel.caf"_s, u"microphone.caf"_s }));
        QCOMPARE(contents(m_tracks.microphone), m_microphoneBytes);
        QCOMPARE(contents(m_tracks.system), m_systemBytes);
    }

    // Each track goes through its own converted file beside it, named by a fresh UUID; once there
    // are copies made while recording, those go out as they are: no conversion, no temporary file.
    void bothTracksOnOneTimeline()
    {
        routeByTrack(uploaded, transcribed);
        const QString transcript = u"[00:00] Audio de l’appel · Salut\n[00:01] Micro · Bonjour\n"
                                   u"[00:02] Audio de l’appel · Oui"_s;

        const Outcome converted = run(m_service->client().transcribe(m_tracks));

        QCOMPARE(converted.transcript.value_or(converted.errorText()), transcript);
        QCOMPARE(m_service->requests().size(), 6);
        QVERIFY2(m_temporaryFiles.size() == 2, qPrintable(m_temporaryFiles.values().join(u' ')));
        for (const QString& name : std::as_const(m_temporaryFiles)) {
            QVERIFY2(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}"
                                                       "\\.m4a$"))
                         .match(name)
                         .hasMatch(),
                qPrintable(name));
        }

        const QByteArray copied[]
            = { QByteArray(m_microphoneSize, 'm'), QByteArray(m_systemSize, 'c') };
        const QString copies[] = { AudioCapture::uploadCopy(m_tracks.microphone),
            AudioCapture::uploadCopy(m_tracks.system) };
        const auto removeCopies = qScopeGuard([&copies] {
            QFile::remove(copies[0]);
            QFile::remove(copies[1]);
        });
        for (int i : { 0, 1 }) {
            QFile file(copies[i]);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(copied[i]) == copied[i].size());
        }
        m_temporaryFiles.clear();

        const Outcome fromCopies = run(m_service->client().transcribe(m_tracks));

        QCOMPARE(fromCopies.transcript.value_or(fromCopies.errorText()), transcript);
        QVERIFY(m_temporaryFiles.isEmpty());
        QList<QByteArray> sent;
        for (const RecordedRequest& request : m_service->requests().mid(6)) {
            if (request.target == "/v2/upload") {
                sent.append(request.body.contains(copied[0]) ? "mic"
                        : request.body.contains(copied[1])   ? "call"
                                                             : "other");
            }
        }
        std::sort(sent.begin(), sent.end());
        QCOMPARE(sent, (QList<QByteArray> { "call", "mic" }));
        QVERIFY(QFileInfo::exists(copies[0]) && QFileInfo::exists(copies[1]));
    }

    void failures_data()
    {
        QTest::addColumn<QByteArray>("failing"); // which side fails: mic, call or both
        QTest::addColumn<int>("status"); // at the upload, 200 when the job fails instead
        QTest::addColumn<QString>("error");
        QTest::newRow("call job fails while the microphone succeeds")
            << QByteArray("call") << 200 << u"La transcription a échoué chez Gladia."_s;
        QTest::newRow("both fail: the microphone's error is reported")
            << QByteArray("both") << 403 << u"Gladia · envoi de l’audio impossible (HTTP 403)."_s;
        QTest::newRow("microphone fails while the call side hangs")
            << "mic"_ba << 401 << keySentence;
        // Null: the conversion's own sentence, which passes unchanged.
        QTest::newRow("call track is not audio") << "notAudio"_ba << 200 << QString();
    }

    void failures()
    {
        QFETCH(QByteArray, failing);
        QFETCH(int, status);
        QFETCH(QString, error);
        if (failing == "notAudio") {
            QFile garbage(m_tracks.system);
            QVERIFY(garbage.open(QIODevice::WriteOnly | QIODevice::Truncate));
            garbage.write("not audio at all");
            garbage.close();
            m_systemBytes = contents(m_tracks.system);
            try {
                AudioCapture::exportAudio({ AudioCapture::Input { m_tracks.system, 0 } },
                    m_recordings.filePath(u"never.m4a"_s));
            } catch (const std::exception& conversion) {
                error = describeError(conversion);
            }
            QVERIFY(!error.isEmpty());
        }
        routeByTrack(
            [&](const QByteArray& side) {
                if (status != 200 && (failing == "both" || failing == side)) {
                    return ScriptedResponse::json(status, {});
                }
                if (failing == "both" && side == "call") {
                    return ScriptedResponse::json(500, {});
                }
                if (failing == "mic" && side == "call") {
                    ScriptedResponse stall; // only a cancellation ends this side
                    stall.stall = true;
                    return stall;
                }
                return uploaded(side);
            },
            [&](const QByteArray& side) {
                return side == failing ? ScriptedResponse::json(200, R"({"status":"error"})")
                                       : transcribed(side);
            });
        Gladia::Service service = m_service->service();
        service.stallTimeout = 120s;
        QElapsedTimer clock;
        clock.start();

        const Outcome outcome = run(m_service->client(service).transcribe(m_tracks));

        QVERIFY(!outcome.transcript);
        QCOMPARE(outcome.errorText(), error);
        QVERIFY(failing != "notAudio" || !outcome.failedWith<RequestError>());
        QVERIFY(clock.elapsed() < 60000);
    }

    // One side failing ends the other while its exchange is in flight; the run must end cleanly
    // however the two ends interleave, also when it drops the last reference to the network
    // session on the way out (ASan reports any use of what that frees).
    void repeatedFailuresEndCleanly_data()
    {
        QTest::addColumn<QByteArray>("failing"); // the exchange where the microphone side fails
        QTest::addColumn<int>("callDelayMs"); // how long the call side's own answer then takes
        QTest::addColumn<QString>("error");
        const QString foreign = u"URL de résultat Gladia inattendue."_s;
        QTest::newRow("microphone refused while the call uploads")
            << QByteArray("upload") << -1 << u"Gladia · envoi de l’audio impossible (HTTP 403)."_s;
        QTest::newRow("both get a foreign result address, the call's still on its way")
            << "job"_ba << 100 << foreign;
        QTest::newRow("both get a foreign result address, the call's first")
            << "job"_ba << 0 << foreign;
    }

    void repeatedFailuresEndCleanly()
    {
        QFETCH(QByteArray, failing);
        QFETCH(int, callDelayMs);
        QFETCH(QString, error);
        FakeGladia& service = *m_service;
        // The microphone's failing answer is held until the call side's request of the same
        // stage has arrived, so the call side is always mid-exchange or just done.
        ScriptedResponse held;
        held.hold = true;
        ScriptedResponse stall;
        stall.stall = true;
        ScriptedResponse foreignJob = ScriptedResponse::json(200,
            FakeGladia::object(u"result_url"_s,
                QString::fromLatin1(service.resultUrl("/v2/result/1", "https", "localhost"))));
        ScriptedResponse failure
            = failing == "upload" ? ScriptedResponse::json(403, {}) : foreignJob;
        auto releaseMicrophone = [&service, failure, callDelayMs] {
            QTimer::singleShot(std::max(callDelayMs, 0) / 2, &service.server,
                [&service, failure] { service.server.answerHeld(failure); });
        };
        routeByTrack(
            [&](const QByteArray& side) {
                if (failing != "upload") {
                    return uploaded(side);
                }
                if (side == "mic") {
                    return held;
                }
                releaseMicrophone();
                return stall;
            },
            transcribed);
        if (failing == "job") {
            service.job = [&](const RecordedRequest& request) {
                if (request.body.contains("\"mic\"")) {
                    return held;
                }
                releaseMicrophone();
                ScriptedResponse answer = foreignJob;
                answer.delayMs = callDelayMs;
                return answer;
            };
        }
        bool freedInReply = false;
        for (int round = 0; round < 100; ++round) {
            const Outcome outcome = QCoro::waitFor(
                settleDroppingTheClient(std::make_unique<Gladia>(service.clientOwningItsSession()),
                    m_tracks, &freedInReply));
            QCOMPARE(outcome.errorText(), error);
        }
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!freedInReply);
    }

    void stopEndsBothSides()
    {
        routeByTrack(uploaded, [](const QByteArray&) {
            return ScriptedResponse::json(200, R"({"status":"processing"})");
        });
        std::stop_source stop;
        int polls = 0;
        std::thread stopper;
        connect(&m_service->server, &TestHttpServer::requestReceived, this,
            [&](const RecordedRequest& request) {
                // Once both sides wait between polls.
                if (request.method == "GET" && ++polls == 2) {
                    stopper = std::thread([&stop] {
                        std::this_thread::sleep_for(300ms);
                        stop.request_stop();
                    });
                }
            });
        Gladia::Service service = m_service->service();
        service.pollInterval = 60s;
        QElapsedTimer clock;
        clock.start();

        const Outcome outcome
            = run(m_service->client(service).transcribe(m_tracks, stop.get_token()));
        if (stopper.joinable()) {
            stopper.join();
        }

        // The cut-short wait reports the one cancellation error an aborted exchange reports.
        QCOMPARE(outcome.errorText(), TransportError::cancelled().message());
        QVERIFY(outcome.failedWith<PlatformError>());
        QVERIFY(!outcome.failedWith<RequestError>());
        QCOMPARE(polls, 2);
        QVERIFY(clock.elapsed() < 30000);
    }
};

int main(int argc, char* argv[])
{
    Application application(argc, argv);
    tst_GladiaTracks test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_gladiatracks.moc"
