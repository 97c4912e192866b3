#include "agentworkspacestate.h"
#include "captureerror.h"
#include "fakesessionservices.h"
#include "meetingsession.h"
#include "platformtexts.h"
#include "requesterror.h"
#include "testhttpserver.h"

#include <QCoroTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <chrono>
#include <thread>

Q_DECLARE_METATYPE(std::exception_ptr)

using namespace std::chrono_literals;

namespace {

// The actions a view lends the session, recorded.
struct FakeView
{
    QList<IntegrationsPage> integrations;
    QStringList windows;

    ViewActions actions()
    {
        return { [this](IntegrationsPage page) { integrations << page; },
            [this](const QString& window) {
                windows << window;
            } };
    }
};

const QString bothTracksStatus = QStringLiteral("Enregistrement prêt · micro et audio système");

AudioCapture::StopResult bothTracks()
{
    AudioCapture::Tracks tracks { QStringLiteral("/tmp/r/microphone.caf"),
        QStringLiteral("/tmp/r/appel.caf"), 0.35, 0 };
    return { QStringLiteral("/tmp/r/reunion.m4a"), tracks, std::nullopt };
}

} // namespace

Q_DECLARE_METATYPE(std::vector<AudioLoss>)

class tst_MeetingSession : public QObject
{
    Q_OBJECT

    Script m_script;

    std::unique_ptr<MeetingSession> makeSession()
    {
        MeetingSessionServices services {
            [this] {
                ++m_script.enginesMade;
                return std::make_unique<FakeEngine>(m_script);
            },
            [this](const QString& key) {
                m_script.keysGiven << key;
                return std::make_unique<FakeTranscriber>(m_script);
            },
        };
        return std::make_unique<MeetingSession>(std::move(services));
    }

    // Records and stops with the scripted results, leaving a recording behind.
    void record(MeetingSession& session, FakeView& view)
    {
        QCoro::waitFor(session.toggleRecording(view.actions()));
        QVERIFY(session.capturing());
        QCoro::waitFor(session.toggleRecording(view.actions()));
        QVERIFY(!session.capturing());
    }

private Q_SLOTS:
    void init()
    {
        m_script = Script {};
        m_script.stopResult = bothTracks();
        qputenv("GLADIA_API_KEY", "key");
    }

    void keyIsReadOnceAndTrimmedOnlyForTheClient_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<bool>("hasKey");
        QTest::newRow("blanks and line break") << QByteArray("  abc\n") << true;
        QTest::newRow("blanks only") << QByteArray(" \t\n") << false;
        QTest::newRow("absent") << QByteArray() << false;
    }

    void keyIsReadOnceAndTrimmedOnlyForTheClient()
    {
        QFETCH(QByteArray, environment);
        QFETCH(bool, hasKey);
        if (environment.isNull()) {
            qunsetenv("GLADIA_API_KEY");
        } else {
            qputenv("GLADIA_API_KEY", environment);
        }
        auto session = makeSession();
        qputenv("GLADIA_API_KEY", "changed later");
        QCOMPARE(session->key(), QString::fromUtf8(environment));
        QCOMPARE(session->hasKey(), hasKey);

        FakeView view;
        record(*session, view);
        const QString statusBefore = session->status();
        QCoro::waitFor(session->transcribe(view.actions()));
        if (hasKey) {
            QCOMPARE(m_script.keysGiven, QStringList { QStringLiteral("abc") });
            QCOMPARE(session->status(), QStringLiteral("Transcription prête"));
        } else {
            QCOMPARE(view.integrations, QList { IntegrationsPage::transcribe });
            QVERIFY(m_script.keysGiven.isEmpty());
            QCOMPARE(session->status(), statusBefore);
            QVERIFY(!session->busy());
        }
    }

    void startThenStopWithBothTracks()
    {
        auto session = makeSession();
        FakeView view;
        QSignalSpy active(session.get(), &MeetingSession::meetingIsActiveChanged);
        QCOMPARE(session->status(), QStringLiteral("Prêt à enregistrer"));

        auto start = session->toggleRecording(view.actions());
        QVERIFY(session->busy());
        QCOMPARE(session->status(), QStringLiteral("Vérification des autorisations…"));
        QCoro::waitFor(session->toggleRecording(view.actions())); // refused while busy
        QCOMPARE(m_script.enginesMade, 1);
        QCoro::waitFor(std::move(start));
        QVERIFY(!session->busy());
        QVERIFY(session->capturing());
        QVERIFY(session->meetingIsActive());
        QCOMPARE(session->status(), QStringLiteral("Enregistrement en cours"));
        QCOMPARE(view.windows, QStringList { QStringLiteral("meeting") });

        auto stop = session->toggleRecording(view.actions());
        QCOMPARE(session->status(), QStringLiteral("Préparation du fichier audio…"));
        QVERIFY(session->busy());
        QCoro::waitFor(std::move(stop));
        QVERIFY(!session->busy());
        QVERIFY(!session->capturing());
        QVERIFY(!session->meetingIsActive());
        QCOMPARE(active.count(), 2);
        QCOMPARE(session->recording(), QUrl::fromLocalFile(QStringLiteral("/tmp/r/reunion.m4a")));
        QCOMPARE(session->recordedTracks(), bothTracks().tracks);
        QVERIFY(!session->hasPermissionHelp());
        QCOMPARE(session->status(), bothTracksStatus);
        QCOMPARE(m_script.enginesMade, 1);
    }

    void stopKeepingOneTrackSaysWhichAndUsesTheFileRoute()
    {
        m_script.stopResult = { QStringLiteral("/tmp/r/reunion.m4a"), std::nullopt,
            AudioPermissionHelp::systemAudioSilent };
        auto session = makeSession();
        FakeView view;
        record(*session, view);
        QCOMPARE(session->status(),
            QStringLiteral("Une piste a été conservée. Aucun son de l’appel détecté. Vérifiez le "
                           "son et l’autorisation « Audio du système uniquement »."));
        QVERIFY(session->hasRecording());
        QVERIFY(!session->hasRecordedTracks());
        QCOMPARE(session->permissionHelp(),
            std::optional<AudioPermissionHelp>(AudioPermissionHelp::systemAudioSilent));

        QCoro::waitFor(session->transcribe(view.actions()));
        QCOMPARE(m_script.routes, QStringList { QStringLiteral("file") });
    }

    // What the inputs could not record is told after the usual sentence, from about a second on.
    void readyStatusSaysWhatWasLost_data()
    {
        using Cause = AudioLoss::Cause;
        const auto microphone = AudioLoss::Input::microphone;
        const auto call = AudioLoss::Input::call;
        QTest::addColumn<bool>("bothKept");
        QTest::addColumn<std::vector<AudioLoss>>("losses");
        QTest::addColumn<QString>("status");
        QTest::newRow("a quick switch says nothing")
            << true << std::vector<AudioLoss> { { call, Cause::deviceChange, 0.12 } }
            << bothTracksStatus;
        QTest::newRow("a restart on both inputs")
            << true
            << std::vector<AudioLoss> { { microphone, Cause::serverRestart, 2.6 },
                   { call, Cause::serverRestart, 2.7 }, { call, Cause::deviceChange, 0.1 } }
            << bothTracksStatus
                + QStringLiteral(". Audio perdu : 3 s du micro et 3 s de l’appel (redémarrage du "
                                 "serveur de son).");
        QTest::newRow("one track, two causes")
            << false
            << std::vector<AudioLoss> { { microphone, Cause::serverLost, 4.2 },
                   { call, Cause::deviceChange, 1.4 } }
            << QStringLiteral(
                   "Une piste a été conservée. Aucun son de l’appel détecté. Vérifiez le "
                   "son et l’autorisation « Audio du système uniquement ». Audio perdu : "
                   "4 s du micro (serveur de son injoignable) et 1 s de l’appel "
                   "(changement de périphérique).");
    }

    void readyStatusSaysWhatWasLost()
    {
        QFETCH(bool, bothKept);
        QFETCH(std::vector<AudioLoss>, losses);
        m_script.stopResult = bothTracks();
        if (!bothKept) {
            m_script.stopResult.tracks.reset();
            m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        }
        m_script.stopResult.losses = losses;
        auto session = makeSession();
        FakeView view;
        record(*session, view);
        QTEST(session->status(), "status");
    }

    // A new start after a recording and its transcript: a failure keeps them, a success clears
    // them.
    void startAfterARecording_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("permission");
        QTest::newRow("success") << std::exception_ptr {}
                                 << QStringLiteral("Enregistrement en cours") << false;
        QTest::newRow("system audio refused")
            << std::make_exception_ptr(AudioPermissionHelp(AudioPermissionHelp::systemAudio))
            << QStringLiteral(
                   "Activez Parlevox dans « Audio du système uniquement », puis réessayez.")
            << true;
        QTest::newRow("no microphone")
            << std::make_exception_ptr(CaptureError(
                   QStringLiteral("Aucun micro disponible. Vérifiez votre périphérique d’entrée.")))
            << QStringLiteral("Aucun micro disponible. Vérifiez votre périphérique d’entrée.")
            << false;
    }

    void startAfterARecording()
    {
        QFETCH(std::exception_ptr, failure);
        auto session = makeSession();
        FakeView view;
        record(*session, view);
        QCoro::waitFor(session->transcribe(view.actions()));
        session->agent()->setRequest(QStringLiteral("Résume l’appel"));
        const QUrl previous = session->recording();

        m_script.startFailure = failure;
        QCoro::waitFor(session->toggleRecording(view.actions()));
        QTEST(session->status(), "status");
        QTEST(session->hasPermissionHelp(), "permission");
        QVERIFY(!session->busy());
        QCOMPARE(session->capturing(), !failure);
        QCOMPARE(session->recording(), failure ? previous : QUrl());
        QCOMPARE(session->hasRecordedTracks(), bool(failure));
        QCOMPARE(session->transcript(), failure ? m_script.transcript : QString());
        QCOMPARE(session->agent()->request().isEmpty(), !failure); // newRecording() ran
        QCOMPARE(view.windows.size(), failure ? 1 : 2); // a successful start opens the meeting
    }

    void failedStopDropsTheEngine_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("helpLabel");
        QTest::newRow("microphone refused")
            << std::make_exception_ptr(AudioPermissionHelp(AudioPermissionHelp::microphone))
            << QStringLiteral("Activez Parlevox dans les réglages du micro, puis réessayez.")
            << QStringLiteral("Ouvrir les réglages du micro");
        QTest::newRow("capture error")
            << std::make_exception_ptr(CaptureError(QStringLiteral("Aucun son enregistré.")))
            << QStringLiteral("Aucun son enregistré.") << QString();
        QTest::newRow("platform error")
            << std::make_exception_ptr(PlatformError(QStringLiteral("Disque plein")))
            << QStringLiteral("Disque plein") << QString();
    }

    void failedStopDropsTheEngine()
    {
        QFETCH(std::exception_ptr, failure);
        m_script.stopFailure = failure;
        auto session = makeSession();
        FakeView view;
        QCoro::waitFor(session->toggleRecording(view.actions()));
        QCoro::waitFor(session->toggleRecording(view.actions()));
        QVERIFY(!session->capturing());
        QVERIFY(!session->hasRecording());
        QVERIFY(!session->hasRecordedTracks());
        QVERIFY(!session->busy());
        QTEST(session->status(), "status");
        QTEST(session->permissionHelpLabel(), "helpLabel");

        // A new recording starts afresh and clears the old help at once.
        m_script.stopFailure = {};
        auto start = session->toggleRecording(view.actions());
        QVERIFY(!session->hasPermissionHelp());
        QCoro::waitFor(std::move(start));
        QVERIFY(session->capturing());
    }

    void transcriptionOutcomes_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("reopensKeyForm");
        QTest::newRow("success") << std::exception_ptr {} << QStringLiteral("Transcription prête")
                                 << false;
        QTest::newRow("key refused") << std::make_exception_ptr(RequestError::unauthorized())
                                     << RequestError::unauthorized().message() << true;
        QTest::newRow("server error")
            << std::make_exception_ptr(RequestError::http(QStringLiteral("l’envoi"), 500))
            << RequestError::http(QStringLiteral("l’envoi"), 500).message() << false;
    }

    void transcriptionOutcomes()
    {
        QFETCH(std::exception_ptr, failure);
        QFETCH(bool, reopensKeyForm);
        auto session = makeSession();
        FakeView view;
        record(*session, view);
        QCoro::waitFor(session->transcribe(view.actions()));
        QCOMPARE(m_script.routes, QStringList { QStringLiteral("tracks") });

        m_script.transcribeFailure = failure;
        auto run = session->transcribe(view.actions());
        QVERIFY(session->busy());
        QVERIFY(session->transcript().isEmpty());
        QCOMPARE(session->status(), QStringLiteral("Envoi et transcription en cours…"));
        QCoro::waitFor(session->transcribe(view.actions())); // refused while busy
        QCOMPARE(m_script.keysGiven.size(), 2);
        QCoro::waitFor(std::move(run));
        QVERIFY(!session->busy());
        QTEST(session->status(), "status");
        QCOMPARE(session->transcript().isEmpty(), bool(failure));
        QCOMPARE(!view.integrations.isEmpty(), reopensKeyForm);
        QVERIFY(session->hasRecording());
    }

    void transcribeWithoutRecordingDoesNothing()
    {
        qunsetenv("GLADIA_API_KEY");
        auto session = makeSession();
        FakeView view;
        QSignalSpy busy(session.get(), &MeetingSession::busyChanged);
        QCoro::waitFor(session->transcribe(view.actions()));
        QVERIFY(view.integrations.isEmpty());
        QCOMPARE(busy.count(), 0);
        QCOMPARE(session->status(), QStringLiteral("Prêt à enregistrer"));
    }

    void openingAFile()
    {
        auto session = makeSession();
        FakeView view;
        record(*session, view);
        QCoro::waitFor(session->transcribe(view.actions()));
        session->setNotes(QStringLiteral("Décision : livrer vendredi."));
        const QString status = session->status();

        QVERIFY(session->beginOpenRecording());
        QVERIFY(session->busy());
        QVERIFY(!session->beginOpenRecording());
        session->finishOpenRecording(QUrl());
        QVERIFY(!session->busy());
        QCOMPARE(session->status(), status);
        QVERIFY(!session->transcript().isEmpty());

        // The opened file is a new recording: the agent's work and the permission help go.
        m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        record(*session, view);
        QVERIFY(session->hasPermissionHelp());
        session->agent()->setRequest(QStringLiteral("Résume l’appel"));
        const QUrl file = QUrl::fromLocalFile(QStringLiteral("/home/me/appel.m4a"));
        QVERIFY(session->beginOpenRecording());
        session->finishOpenRecording(file);
        QVERIFY(session->agent()->request().isEmpty());
        QVERIFY(!session->hasPermissionHelp());
        QCOMPARE(session->recording(), file);
        QVERIFY(!session->hasRecordedTracks());
        QVERIFY(session->transcript().isEmpty());
        QCOMPARE(session->status(), QStringLiteral("Fichier audio prêt"));
        QCOMPARE(session->notes(), QStringLiteral("Décision : livrer vendredi."));

        QCoro::waitFor(session->toggleRecording(view.actions()));
        QVERIFY(!session->beginOpenRecording()); // not while recording
        QCOMPARE(session->notes(), QStringLiteral("Décision : livrer vendredi."));
    }

    // The disk gives out during a recording: the meeting goes on as recording, the status says so
    // at once (the engine tells it from an audio thread), and the stop says what was kept.
    void diskFullDuringARecording_data()
    {
        QTest::addColumn<bool>("oneTrack");
        QTest::addColumn<QString>("readyStatus");
        QTest::newRow("both tracks") << false << bothTracksStatus + QStringLiteral(".");
        QTest::newRow("one track") << true
                                   << QStringLiteral("Une piste a été conservée. ")
                + AudioPermissionHelp(AudioPermissionHelp::systemAudioSilent).message();
    }

    void diskFullDuringARecording()
    {
        QFETCH(bool, oneTrack);
        QFETCH(QString, readyStatus);
        const QString full = QStringLiteral("Disque plein : l’enregistrement est interrompu. "
                                            "Arrêtez-le pour conserver ce qui a déjà été "
                                            "enregistré.");
        const QString kept = QStringLiteral("Disque plein : l’enregistrement s’est arrêté à 18 s.");
        if (oneTrack) {
            m_script.stopResult.tracks.reset();
            m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        }
        m_script.stopResult.interruption = kept;
        auto session = makeSession();
        FakeView view;
        QCoro::waitFor(session->toggleRecording(view.actions()));
        QVERIFY(m_script.interrupt);
        std::thread([&] { m_script.interrupt(full); }).join();
        QTRY_COMPARE(session->status(), full);
        QVERIFY(session->capturing());
        QVERIFY(session->meetingIsActive());

        QCoro::waitFor(session->toggleRecording(view.actions()));
        QCOMPARE(session->status(), readyStatus + u' ' + kept);
        QCOMPARE(session->recording(), QUrl::fromLocalFile(m_script.stopResult.mix));
    }

    // A recording a crash left behind opens as the current recording, unless the user has already
    // begun something.
    void recoveredRecordingIsOffered_data()
    {
        QTest::addColumn<int>("before"); // 0: nothing, 1: recording, 2: a recording is current
        QTest::addColumn<bool>("offered");
        QTest::newRow("fresh launch") << 0 << true;
        QTest::newRow("recording under way") << 1 << false;
        QTest::newRow("a recording already open") << 2 << false;
    }

    void recoveredRecordingIsOffered()
    {
        QFETCH(int, before);
        QFETCH(bool, offered);
        auto session = makeSession();
        FakeView view;
        if (before == 1) {
            QCoro::waitFor(session->toggleRecording(view.actions()));
        } else if (before == 2) {
            record(*session, view);
        }
        const QString statusBefore = session->status();
        RecordingRecovery::Recovered recovered { QStringLiteral("/var/tmp/r"),
            QDateTime(QDate(2026, 12, 6), QTime(22, 41)),
            { QStringLiteral("/var/tmp/r/reunion.m4a"), std::nullopt,
                AudioPermissionHelp::systemAudioSilent, std::nullopt } };

        QCOMPARE(session->offerRecovered(recovered), offered);
        if (offered) {
            QCOMPARE(session->recording(), QUrl::fromLocalFile(recovered.result.mix));
            QVERIFY(!session->hasRecordedTracks());
            QVERIFY(!session->hasPermissionHelp());
            QCOMPARE(session->status(),
                QStringLiteral("Enregistrement interrompu du 6 décembre 2026 à 22:41 récupéré : "
                               "il est prêt."));
        } else {
            QCOMPARE(session->status(), statusBefore);
        }
    }

    // Quitting while a recording runs, or while it is being started, stops and mixes it first.
    void quittingFinishesTheRecording_data()
    {
        QTest::addColumn<bool>("whileStarting");
        QTest::newRow("recording") << false;
        QTest::newRow("while it starts") << true;
    }

    void quittingFinishesTheRecording()
    {
        QFETCH(bool, whileStarting);
        auto session = makeSession();
        FakeView view;
        auto start = session->toggleRecording(view.actions());
        if (!whileStarting) {
            QCoro::waitFor(std::move(start));
        }
        QVERIFY(session->busy() == whileStarting);
        QCoro::waitFor(session->finishForQuit());
        QVERIFY(!session->capturing());
        QCOMPARE(session->recording(), QUrl::fromLocalFile(m_script.stopResult.mix));
        QCOMPARE(session->status(), bothTracksStatus);
    }

    void agentRequestBlocksRecordingButNotStopping()
    {
        // A real preparation held open by a team server that never answers.
        TestHttpServer team;
        ScriptedResponse stall;
        stall.stall = true;
        team.enqueue(stall);
        team.enqueue(stall);
        auto session = makeSession();
        FakeView view;
        session->agent()->setRequest(QStringLiteral("Prépare le compte rendu"));
        auto preparation
            = session->agent()->prepare(AgentClient(team.url(QStringLiteral("/")), QString()));
        QVERIFY(session->agent()->busy());

        QCoro::waitFor(session->toggleRecording(view.actions()));
        QCOMPARE(m_script.enginesMade, 0);
        QVERIFY(!session->busy());
        QVERIFY(!session->beginOpenRecording());
        QCOMPARE(session->status(), QStringLiteral("Prêt à enregistrer"));

        // Started before the agent request, the recording can still be stopped during it.
        auto idle = makeSession();
        QCoro::waitFor(idle->toggleRecording(view.actions()));
        idle->agent()->setRequest(QStringLiteral("Prépare le compte rendu"));
        auto second = idle->agent()->prepare(AgentClient(team.url(QStringLiteral("/")), QString()));
        QVERIFY(idle->agent()->busy());
        QCoro::waitFor(idle->toggleRecording(view.actions()));
        QVERIFY(!idle->capturing());
        QCOMPARE(idle->status(), bothTracksStatus);
    }

    void zoomMeetingKeepsTheMeetingActive()
    {
        auto session = makeSession();
        QSignalSpy active(session.get(), &MeetingSession::meetingIsActiveChanged);
        ZoomMeetingDetector detector = session->zoomDetector();
        QVERIFY(detector.observe(QStringList { QStringLiteral("Zoom Meeting") }));
        session->setZoomDetector(detector);
        QVERIFY(session->meetingIsActive());
        QCOMPARE(active.count(), 1);

        FakeView view;
        record(*session, view); // recording on and off: still in the Zoom meeting
        QVERIFY(session->meetingIsActive());
        QCOMPARE(active.count(), 1);

        session->setZoomDetector(ZoomMeetingDetector());
        QVERIFY(!session->meetingIsActive());
        QCOMPARE(active.count(), 2);
    }

    // Qt's own error texts reach the status line: French whatever the locale (last, as it stays).
    void platformTextsAreFrench()
    {
        QLocale::setDefault(QLocale(QLocale::English));
        QVERIFY(installFrenchPlatformTexts(*QCoreApplication::instance()));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QUrl address(QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort()));
        closed.close();
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(address)));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->error(), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(reply->errorString().contains(QStringLiteral("refusée")),
            qPrintable(reply->errorString()));
    }
};

QTEST_GUILESS_MAIN(tst_MeetingSession)
#include "tst_meetingsession.moc"
