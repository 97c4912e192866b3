#include "fakegladia.h"
#include "meetingsession.h"
#include "pulseserver.h"
#include "realservices.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

// The whole road with the real parts: a recording from a private sound server through the real
// capture engine, then the real transcription client against a local HTTPS service.
class tst_MeetingSessionEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordStopTranscribe()
    {
        PulseServer sound;
        QVERIFY2(sound.isReady(), qPrintable(sound.log()));
        sound.makeDefault();
        const QString voice = sound.tone(QStringLiteral("voice.wav"), 3, 440, 0.5, 44100, 1);
        const QString call = sound.tone(QStringLiteral("call.wav"), 3, 660, 0.5);

        FakeGladia service;
        int uploads = 0;
        service.upload = [&uploads](const RecordedRequest&) {
            return ScriptedResponse::json(200,
                FakeGladia::object(QStringLiteral("audio_url"),
                    QStringLiteral("https://127.0.0.1/audio/%1").arg(++uploads)));
        };
        service.job = [&service](const RecordedRequest& request) {
            const QByteArray id = request.body.contains("/audio/1") ? "1" : "2";
            return ScriptedResponse::json(200,
                FakeGladia::object(QStringLiteral("result_url"),
                    QString::fromLatin1(service.resultUrl("/v2/result/" + id))));
        };
        service.poll = [](const RecordedRequest& request) {
            return request.target.endsWith("/1")
                ? FakeGladia::done(R"([{"start":0.5,"speaker":0,"text":"Bonjour"}])")
                : FakeGladia::done(R"([{"start":1.5,"speaker":0,"text":"Salut"}])");
        };

        MeetingSessionServices services = MeetingSessionServices::real();
        services.makeTranscriber = [&service](const QString& key) {
            return std::make_unique<GladiaTranscriber>(service.client(key));
        };
        qputenv("GLADIA_API_KEY", " e2e-key\n");
        MeetingSession session(std::move(services));

        ViewActions view { [](IntegrationsPage) { QFAIL("no integrations page expected"); },
            [](const QString&) {
            } };
        QCoro::waitFor(session.toggleRecording(view));
        QVERIFY2(session.capturing(), qPrintable(session.status()));
        // The sinks wake up when a recorder connects; play once both are taking data.
        QTest::qWait(1000);
        auto voicePlayer = sound.play(QString::fromLatin1(PulseServer::microphoneSink), voice);
        QVERIFY(sound.playAndWait(QString::fromLatin1(PulseServer::callSink), call));
        QVERIFY(voicePlayer->waitForFinished(10000));
        QCoro::waitFor(session.toggleRecording(view));

        QCOMPARE(session.status(), QStringLiteral("Enregistrement prêt · micro et audio système"));
        QVERIFY(session.hasRecordedTracks());
        const QFileInfo mix(session.recording().toLocalFile());
        QCOMPARE(mix.fileName(), QStringLiteral("reunion.m4a"));
        QVERIFY(mix.size() > 0);

        QCoro::waitFor(session.transcribe(view));
        QCOMPARE(session.status(), QStringLiteral("Transcription prête"));
        // Which upload is which track depends on timing; both arrive, labelled by track.
        const QStringList lines = session.transcript().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 2);
        const QRegularExpression line(
            QStringLiteral("^\\[00:0\\d\\] (Micro|Audio de l’appel) · (Bonjour|Salut)$"));
        QVERIFY2(line.match(lines[0]).hasMatch(), qPrintable(lines[0]));
        QVERIFY2(line.match(lines[1]).hasMatch(), qPrintable(lines[1]));
        QVERIFY(session.transcript().contains(QStringLiteral("Micro · ")));
        QVERIFY(session.transcript().contains(QStringLiteral("Audio de l’appel · ")));
        for (const RecordedRequest& request : service.requests()) {
            QCOMPARE(request.header("x-gladia-key"), QByteArray("e2e-key"));
        }
    }
};

QTEST_GUILESS_MAIN(tst_MeetingSessionEndToEnd)
#include "tst_meetingsession_e2e.moc"
