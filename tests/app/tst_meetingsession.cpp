#include "agentworkspacestate.h"
#include "captureerror.h"
#include "fakelive.h"
#include "fakesessionservices.h"
#include "meetingsession.h"
#include "platformtexts.h"
#include "privatetmpdir.h"
#include "requesterror.h"
#include "testhttpserver.h"
#include "track/trackwriter.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <cmath>
#include <thread>

Q_DECLARE_METATYPE(std::exception_ptr)

using namespace Qt::StringLiterals;

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

// A recording folder as a crash leaves it: half a second of tone in both tracks, no mix.
QString crashedRecording()
{
    const QString folder = RecordingLocation::newFolder();
    RecordingLocation::create(folder);
    std::vector<float> tone(24000);
    for (std::size_t frame = 0; frame < tone.size(); ++frame) {
        tone[frame] = 0.3f * float(std::sin(double(frame) * 0.0576));
    }
    const PcmBuffer buffer { { 48000, 1, SampleType::Float32, true }, std::int64_t(tone.size()),
        std::as_bytes(std::span(tone)) };
    for (const char* name : { "microphone.caf", "appel.caf" }) {
        TrackWriter writer(QDir(folder).filePath(QLatin1String(name)));
        writer.append(buffer, 1'000'000'000);
        (void)writer.finish();
    }
    return folder;
}

} // namespace

Q_DECLARE_METATYPE(std::vector<AudioLoss>)

class tst_MeetingSession : public QObject
{
    Q_OBJECT

    Script m_script;
    FakeView m_view;
    std::unique_ptr<MeetingSession> m_session;

    std::unique_ptr<MeetingSession> makeSession()
    {
        return std::make_unique<MeetingSession>(fakeServices(m_script));
    }

    // Records and stops with the scripted results, leaving a recording behind.
    void record()
    {
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QVERIFY(m_session->capturing());
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QVERIFY(!m_session->capturing());
    }

private Q_SLOTS:
    void init()
    {
        m_script = Script {};
        m_view = FakeView {};
        qputenv("GLADIA_API_KEY", "key");
        m_session = makeSession();
    }
    void cleanup() { m_session.reset(); }

    void keyIsReadOnceAndTrimmedOnlyForTheClient_data()
    {
        QTest::addColumn<QByteArray>("environment");
        QTest::addColumn<bool>("hasKey");
        QTest::newRow("blanks and line break") << QByteArray("  abc\n") << true;
        QTest::newRow("blanks only") << QByteArray(" \t\n") << false; // absent: the end-to-end test
    }

    void keyIsReadOnceAndTrimmedOnlyForTheClient()
    {
        QFETCH(QByteArray, environment);
        QFETCH(bool, hasKey);
        qputenv("GLADIA_API_KEY", environment);
        m_session = makeSession();
        qputenv("GLADIA_API_KEY", "changed later");
        QCOMPARE(m_session->key(), QString::fromUtf8(environment));
        QCOMPARE(m_session->hasKey(), hasKey);

        // Nothing to transcribe yet: no key form, no work.
        QSignalSpy busy(m_session.get(), &MeetingSession::busyChanged);
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        QVERIFY(m_view.integrations.isEmpty());
        QCOMPARE(busy.count(), 0);
        QCOMPARE(m_session->status(), u"Prêt à enregistrer"_s);

        record();
        const QString statusBefore = m_session->status();
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        if (hasKey) {
            QCOMPARE(m_script.keysGiven, QStringList { u"abc"_s });
            QCOMPARE(m_session->status(), u"Transcription prête"_s);
        } else {
            QCOMPARE(m_view.integrations, QList { IntegrationsPage::transcribe });
            QVERIFY(m_script.keysGiven.isEmpty());
            QCOMPARE(m_session->status(), statusBefore);
            QVERIFY(!m_session->busy());
        }
    }

    void startThenStopWithBothTracks()
    {
        QSignalSpy active(m_session.get(), &MeetingSession::meetingIsActiveChanged);
        QCOMPARE(m_session->status(), u"Prêt à enregistrer"_s);

        auto start = m_session->toggleRecording(m_view.actions());
        QVERIFY(m_session->busy());
        QCOMPARE(m_session->status(), u"Vérification des autorisations…"_s);
        QCoro::waitFor(m_session->toggleRecording(m_view.actions())); // refused while busy
        QCOMPARE(m_script.enginesMade, 1);
        QCoro::waitFor(std::move(start));
        QVERIFY(!m_session->busy());
        QVERIFY(m_session->capturing());
        QVERIFY(m_session->meetingIsActive());
        QCOMPARE(m_session->status(), u"Enregistrement en cours"_s);
        QCOMPARE(m_view.windows, QStringList { u"meeting"_s });

        auto stop = m_session->toggleRecording(m_view.actions());
        QCOMPARE(m_session->status(), u"Préparation du fichier audio…"_s);
        QVERIFY(m_session->busy());
        QCoro::waitFor(std::move(stop));
        QVERIFY(!m_session->busy());
        QVERIFY(!m_session->capturing());
        QVERIFY(!m_session->meetingIsActive());
        QCOMPARE(active.count(), 2);
        QCOMPARE(m_session->recording(), QUrl::fromLocalFile(u"/tmp/r/reunion.m4a"_s));
        QCOMPARE(m_session->recordedTracks(), bothTracks().tracks);
        QVERIFY(!m_session->hasPermissionHelp());
        QCOMPARE(m_session->status(), bothTracksStatus);
    }

    // The ready status says which tracks were kept, then what the inputs could not record from
    // about a second on; a single track goes to the transcription as the mixed file. (The help's
    // own sentences: tst_audiopermissionhelp.)
    void readyStatusSaysWhatWasLost_data()
    {
        using Cause = AudioLoss::Cause;
        const auto microphone = AudioLoss::Input::microphone;
        const auto call = AudioLoss::Input::call;
        const QString oneTrack = u"Une piste a été conservée. "_s
            + AudioPermissionHelp(AudioPermissionHelp::systemAudioSilent).errorDescription();
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
        QTest::newRow("one track") << false << std::vector<AudioLoss> {} << oneTrack;
        QTest::newRow("one track, two causes")
            << false
            << std::vector<AudioLoss> { { microphone, Cause::serverLost, 4.2 },
                   { call, Cause::deviceChange, 1.4 } }
            << oneTrack
                + u" Audio perdu : 4 s du micro (serveur de son injoignable) et 1 s de l’appel "
                  "(changement de périphérique)."_s;
    }

    void readyStatusSaysWhatWasLost()
    {
        QFETCH(bool, bothKept);
        QFETCH(std::vector<AudioLoss>, losses);
        if (!bothKept) {
            m_script.stopResult.tracks.reset();
            m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        }
        m_script.stopResult.losses = losses;
        record();
        QTEST(m_session->status(), "status");
        QVERIFY(m_session->hasRecording());
        QCOMPARE(m_session->hasRecordedTracks(), bothKept);
        QCOMPARE(m_session->permissionHelp(),
            bothKept ? std::nullopt
                     : std::optional<AudioPermissionHelp>(AudioPermissionHelp::systemAudioSilent));
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        QCOMPARE(m_script.routes, QStringList { bothKept ? u"tracks"_s : u"file"_s });
    }

    // A new start after a recording and its transcript: a failure keeps them, a success clears
    // them.
    void startAfterARecording_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("permission");
        QTest::newRow("success") << std::exception_ptr {} << u"Enregistrement en cours"_s << false;
        const AudioPermissionHelp refused(AudioPermissionHelp::systemAudio);
        QTest::newRow("system audio refused")
            << std::make_exception_ptr(refused) << refused.errorDescription() << true;
        const QString noMicrophone = u"Aucun micro disponible. Vérifiez votre périphérique."_s;
        QTest::newRow("no microphone")
            << std::make_exception_ptr(CaptureError(noMicrophone)) << noMicrophone << false;
    }

    void startAfterARecording()
    {
        QFETCH(std::exception_ptr, failure);
        record();
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        m_session->agent()->setRequest(u"Résume l’appel"_s);
        const QUrl previous = m_session->recording();

        m_script.startFailure = failure;
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QTEST(m_session->status(), "status");
        QTEST(m_session->hasPermissionHelp(), "permission");
        QVERIFY(!m_session->busy());
        QCOMPARE(m_session->capturing(), !failure);
        QCOMPARE(m_session->recording(), failure ? previous : QUrl());
        QCOMPARE(m_session->hasRecordedTracks(), bool(failure));
        QCOMPARE(m_session->transcript(), failure ? m_script.transcript : QString());
        QCOMPARE(m_session->agent()->request().isEmpty(), !failure); // newRecording() ran
        QCOMPARE(m_view.windows.size(), failure ? 1 : 2); // a successful start opens the meeting
    }

    void failedStopDropsTheEngine_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QString>("helpLabel");
        const AudioPermissionHelp refused(AudioPermissionHelp::microphone);
        QTest::newRow("microphone refused")
            << std::make_exception_ptr(refused) << refused.errorDescription()
            << refused.settingsLabel();
        QTest::newRow("platform error") << std::make_exception_ptr(PlatformError(u"Disque plein"_s))
                                        << u"Disque plein"_s << QString();
    }

    void failedStopDropsTheEngine()
    {
        QFETCH(std::exception_ptr, failure);
        m_script.stopFailure = failure;
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QVERIFY(!m_session->capturing());
        QVERIFY(!m_session->hasRecording());
        QVERIFY(!m_session->hasRecordedTracks());
        QVERIFY(!m_session->busy());
        QTEST(m_session->status(), "status");
        QTEST(m_session->permissionHelpLabel(), "helpLabel");

        // A new recording starts afresh and clears the old help at once.
        m_script.stopFailure = {};
        auto start = m_session->toggleRecording(m_view.actions());
        QVERIFY(!m_session->hasPermissionHelp());
        QCoro::waitFor(std::move(start));
        QVERIFY(m_session->capturing());
    }

    void transcriptionOutcomes_data()
    {
        QTest::addColumn<std::exception_ptr>("failure");
        QTest::addColumn<QString>("status");
        QTest::addColumn<bool>("reopensKeyForm");
        QTest::newRow("success") << std::exception_ptr {} << u"Transcription prête"_s << false;
        QTest::newRow("key refused") << std::make_exception_ptr(RequestError::unauthorized())
                                     << RequestError::unauthorized().message() << true;
        QTest::newRow("server error")
            << std::make_exception_ptr(RequestError::http(u"l’envoi"_s, 500))
            << RequestError::http(u"l’envoi"_s, 500).message() << false;
    }

    void transcriptionOutcomes()
    {
        QFETCH(std::exception_ptr, failure);
        QFETCH(bool, reopensKeyForm);
        record();
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        QCOMPARE(m_script.routes, QStringList { u"tracks"_s });

        m_script.transcribeFailure = failure;
        auto run = m_session->transcribe(m_view.actions());
        QVERIFY(m_session->busy());
        QVERIFY(m_session->transcript().isEmpty());
        QCOMPARE(m_session->status(), u"Envoi et transcription en cours…"_s);
        QCoro::waitFor(m_session->transcribe(m_view.actions())); // refused while busy
        QCOMPARE(m_script.keysGiven.size(), 2);
        QCoro::waitFor(std::move(run));
        QVERIFY(!m_session->busy());
        QTEST(m_session->status(), "status");
        QCOMPARE(m_session->transcript(), m_script.transcript); // a failure keeps the last one
        QCOMPARE(!m_view.integrations.isEmpty(), reopensKeyForm);
        QVERIFY(m_session->hasRecording());
    }

    // With the setting on, the lines come as the meeting goes and are the transcript after the
    // stop, nothing uploaded, their times counted from the mix's start (here a silent call began
    // 0.6 s before the microphone and was left out); a session refused at the start leaves the
    // recording untouched and the stop transcribes it the other way (each refusal's sentence:
    // tst_livetranscription).
    void liveTranscript_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("status");
        QTest::newRow("live") << 201 << u"Enregistrement en cours · transcription en direct"_s;
        QTest::newRow("key refused") << 401 << RequestError::unauthorized().message();
        QTest::newRow("unreachable") << 0
                                     << u"La transcription en direct s’est arrêtée car Gladia est "
                                        "injoignable ; l’enregistrement continue."_s;
    }

    void liveTranscript()
    {
        QFETCH(int, answer);
        FakeLive service;
        service.sessionStatus = answer;
        m_script.stopResult.liveFeedLead = 0.6;
        MeetingSessionServices services = fakeServices(m_script);
        LiveTranscription::Service address = service.service();
        if (answer == 0) {
            QTcpServer closed; // a port nobody listens on any more
            QVERIFY(closed.listen(QHostAddress::LocalHost));
            address.base.setPort(closed.serverPort());
        }
        services.makeLiveTranscription = [address] {
            return std::make_unique<LiveTranscription>(Gladia::Session(), address);
        };
        m_session = std::make_unique<MeetingSession>(services);
        ViewActions view = m_view.actions();
        view.transcribeLive = true;
        QCoro::waitFor(m_session->toggleRecording(view));
        const QString line = u"[00:01] Micro · Bonjour"_s;
        if (answer == 201) {
            QTRY_COMPARE(service.connections, 1);
            const QByteArray audio(LiveTranscription::frameBytes, '\x01');
            QVERIFY(m_script.live);
            m_script.live->pushAudio(audio);
            service.say(u"a"_s, true, 1.5, 0, u"Bonjour"_s);
            service.say(u"b"_s, false, 3, 1, u"Sal"_s);
            QTRY_COMPARE(m_session->livePartial(), u"[00:03] Audio de l’appel · Sal"_s);
            QCOMPARE(m_session->liveTranscript(), line);
            QTRY_COMPARE(service.audio, audio);
        } else {
            QTRY_VERIFY(!m_session->transcribingLive());
        }
        QVERIFY(m_session->capturing());
        QTEST(m_session->status(), "status");
        QCOMPARE(m_view.integrations,
            answer == 401 ? QList { IntegrationsPage::gladia } : QList<IntegrationsPage> {});

        QCoro::waitFor(m_session->toggleRecording(view));
        QCOMPARE(m_session->status(), u"Transcription prête"_s);
        QCOMPARE(m_session->transcript(),
            answer == 201 ? u"[00:00] Micro · Bonjour"_s : m_script.transcript);
        QCOMPARE(m_script.routes, answer == 201 ? QStringList() : QStringList { u"tracks"_s });
        QVERIFY(m_session->liveTranscript().isEmpty());
        QVERIFY(!m_session->busy());
    }

    void openingAFile()
    {
        record();
        QCoro::waitFor(m_session->transcribe(m_view.actions()));
        m_session->setNotes(u"Décision : livrer vendredi."_s);
        const QString status = m_session->status();

        QVERIFY(m_session->beginOpenRecording());
        QVERIFY(m_session->busy());
        QVERIFY(!m_session->beginOpenRecording());
        m_session->finishOpenRecording(QUrl());
        QVERIFY(!m_session->busy());
        QCOMPARE(m_session->status(), status);
        QVERIFY(!m_session->transcript().isEmpty());

        // The opened file is a new recording: the agent's work and the permission help go.
        m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        record();
        QVERIFY(m_session->hasPermissionHelp());
        m_session->agent()->setRequest(u"Résume l’appel"_s);
        const QUrl file = QUrl::fromLocalFile(u"/home/me/appel.m4a"_s);
        QVERIFY(m_session->beginOpenRecording());
        m_session->finishOpenRecording(file);
        QVERIFY(m_session->agent()->request().isEmpty());
        QVERIFY(!m_session->hasPermissionHelp());
        QCOMPARE(m_session->recording(), file);
        QVERIFY(!m_session->hasRecordedTracks());
        QVERIFY(m_session->transcript().isEmpty());
        QCOMPARE(m_session->status(), u"Fichier audio prêt"_s);
        QCOMPARE(m_session->notes(), u"Décision : livrer vendredi."_s);

        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QVERIFY(!m_session->beginOpenRecording()); // not while recording
        QCOMPARE(m_session->notes(), u"Décision : livrer vendredi."_s);
    }

    // The disk gives out during a recording: the meeting goes on as recording, the status says so
    // at once (the engine tells it from an audio thread), and the stop says what was kept.
    void diskFullDuringARecording_data()
    {
        QTest::addColumn<bool>("oneTrack");
        QTest::addColumn<QString>("readyStatus");
        QTest::newRow("both tracks") << false << bothTracksStatus + u"."_s;
        QTest::newRow("one track") << true
                                   << u"Une piste a été conservée. "_s
                + AudioPermissionHelp(AudioPermissionHelp::systemAudioSilent).message();
    }

    void diskFullDuringARecording()
    {
        QFETCH(bool, oneTrack);
        QFETCH(QString, readyStatus);
        const QString full = QStringLiteral("Disque plein : l’enregistrement est interrompu. "
                                            "Arrêtez-le pour conserver ce qui a déjà été "
                                            "enregistré.");
        const QString kept = u"Disque plein : l’enregistrement s’est arrêté à 18 s."_s;
        if (oneTrack) {
            m_script.stopResult.tracks.reset();
            m_script.stopResult.help = AudioPermissionHelp::systemAudioSilent;
        }
        m_script.stopResult.interruption = kept;
        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QVERIFY(m_script.interrupt);
        std::thread([&] { m_script.interrupt(full); }).join();
        QTRY_COMPARE(m_session->status(), full);
        QVERIFY(m_session->capturing());
        QVERIFY(m_session->meetingIsActive());

        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QCOMPARE(m_session->status(), readyStatus + u' ' + kept);
        QCOMPARE(m_session->recording(), QUrl::fromLocalFile(m_script.stopResult.mix));
    }

    // A recording a crash left behind opens as the current recording, unless the user has already
    // begun something (a recording under way: recoveryDuringAnotherTaskIsKept).
    void recoveredRecordingIsOffered_data()
    {
        QTest::addColumn<bool>("offered");
        QTest::newRow("fresh launch") << true;
        QTest::newRow("a recording already open") << false;
    }

    void recoveredRecordingIsOffered()
    {
        QFETCH(bool, offered);
        if (!offered) {
            record();
        }
        const QString statusBefore = m_session->status();
        RecordingRecovery::Recovered recovered { u"/var/tmp/r"_s,
            QDateTime(QDate(2026, 12, 6), QTime(22, 41)),
            { u"/var/tmp/r/reunion.m4a"_s, std::nullopt, AudioPermissionHelp::systemAudioSilent,
                std::nullopt } };

        QCOMPARE(m_session->offerRecovered(recovered), offered);
        if (offered) {
            QCOMPARE(m_session->recording(), QUrl::fromLocalFile(recovered.result.mix));
            QVERIFY(!m_session->hasRecordedTracks());
            QVERIFY(!m_session->hasPermissionHelp());
            QCOMPARE(m_session->status(),
                QStringLiteral("Enregistrement interrompu du 6 décembre 2026 à 22:41 récupéré : "
                               "il est prêt."));
        } else {
            QCOMPARE(m_session->status(), statusBefore);
        }
    }

    // A recovery that ends while the session is in use is not lost: it opens once the session is
    // free with no recording open, or else at the next launch.
    void recoveryDuringAnotherTaskIsKept_data()
    {
        QTest::addColumn<bool>("recordingMeanwhile"); // otherwise a file chooser, then cancelled
        QTest::newRow("a recording made meanwhile") << true;
        QTest::newRow("a file chooser cancelled") << false;
    }

    void recoveryDuringAnotherTaskIsKept()
    {
        QFETCH(bool, recordingMeanwhile);
        const PrivateTmpDir temporary;
        const QString folder = crashedRecording();
        const QUrl mix = QUrl::fromLocalFile(QDir(folder).filePath(u"reunion.m4a"_s));
        if (recordingMeanwhile) {
            QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        } else {
            QVERIFY(m_session->beginOpenRecording());
        }
        QCoro::waitFor(m_session->recoverInterruptedRecording());
        QVERIFY(m_session->recording() != mix);
        if (recordingMeanwhile) {
            QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        } else {
            m_session->finishOpenRecording(QUrl());
        }
        QCoreApplication::processEvents(); // the queued offer
        QCOMPARE(m_session->recording() == mix, !recordingMeanwhile);

        // The next launch.
        const std::optional<RecordingRecovery::Recovered> again
            = RecordingRecovery::recoverLatest();
        QCOMPARE(again.has_value(), recordingMeanwhile);
        if (again) {
            QCOMPARE(QUrl::fromLocalFile(again->result.mix), mix);
        }
    }

    // Quitting while a recording is being started waits for the start, then stops and mixes it
    // (quitting during a recording: tst_captureview and the end-to-end test).
    void quittingWhileARecordingStartsFinishesIt()
    {
        auto start = m_session->toggleRecording(m_view.actions());
        QVERIFY(m_session->busy());
        QCoro::waitFor(m_session->finishForQuit());
        QVERIFY(!m_session->capturing());
        QCOMPARE(m_session->recording(), QUrl::fromLocalFile(m_script.stopResult.mix));
        QCOMPARE(m_session->status(), bothTracksStatus);
    }

    // A stop during the request stays allowed: tst_captureview presses it.
    void agentRequestBlocksRecording()
    {
        // A real preparation held open by a team server that never answers.
        TestHttpServer team;
        team.enqueue(ScriptedResponse { .stall = true });
        m_session->agent()->setRequest(u"Prépare le compte rendu"_s);
        auto preparation = m_session->agent()->prepare(AgentClient(team.url(u"/"_s), QString()));
        QVERIFY(m_session->agent()->busy());

        QCoro::waitFor(m_session->toggleRecording(m_view.actions()));
        QCOMPARE(m_script.enginesMade, 0);
        QVERIFY(!m_session->busy());
        QVERIFY(!m_session->beginOpenRecording());
        QCOMPARE(m_session->status(), u"Prêt à enregistrer"_s);
    }

    void zoomMeetingKeepsTheMeetingActive()
    {
        QSignalSpy active(m_session.get(), &MeetingSession::meetingIsActiveChanged);
        ZoomMeetingDetector detector = m_session->zoomDetector();
        QVERIFY(detector.observe(QStringList { u"Zoom Meeting"_s }));
        m_session->setZoomDetector(detector);
        QVERIFY(m_session->meetingIsActive());
        QCOMPARE(active.count(), 1);

        record(); // recording on and off: still in the Zoom meeting
        QVERIFY(m_session->meetingIsActive());
        QCOMPARE(active.count(), 1);

        m_session->setZoomDetector(ZoomMeetingDetector());
        QVERIFY(!m_session->meetingIsActive());
        QCOMPARE(active.count(), 2);
    }

    // Qt's own error texts reach the status line: French whatever the locale (last, as it stays).
    void platformTextsAreFrench()
    {
        QLocale::setDefault(QLocale(QLocale::English));
        QVERIFY(installFrenchPlatformTexts(*QCoreApplication::instance()));
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QUrl address(u"http://127.0.0.1:%1/"_s.arg(closed.serverPort()));
        closed.close();
        QNetworkAccessManager manager;
        std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(address)));
        QTRY_VERIFY(reply->isFinished());
        QCOMPARE(reply->error(), QNetworkReply::ConnectionRefusedError);
        QVERIFY2(reply->errorString().contains(u"refusée"_s), qPrintable(reply->errorString()));
    }
};

QTEST_GUILESS_MAIN(tst_MeetingSession)
#include "tst_meetingsession.moc"
