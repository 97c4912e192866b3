#include "fakelive.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>
#include <QtEndian>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 second = LiveTranscription::bytesPerSecond;

// Bytes that tell their own place in the stream, so a frame sent twice or out of place shows.
QByteArray stream(qint64 bytes)
{
    QByteArray pcm(bytes, Qt::Uninitialized);
    for (qint64 i = 0; i < bytes; ++i) {
        pcm[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
    }
    return pcm;
}

// `seconds` of stereo stream, silent but for a tone on `channel` from `from` to `to` s in each
// burst.
struct Burst
{
    int channel;
    double from;
    double to;
};
QByteArray bursts(double seconds, std::initializer_list<Burst> loud)
{
    QByteArray pcm(qint64(seconds * 16000) * 4, '\0');
    auto* samples = reinterpret_cast<qint16*>(pcm.data());
    for (const Burst& burst : loud) {
        for (auto i = qint64(burst.from * 16000); i < qint64(burst.to * 16000); ++i) {
            samples[2 * i + burst.channel]
                = qToLittleEndian(qint16(16000 * std::sin(2 * M_PI * 440 * double(i) / 16000)));
        }
    }
    return pcm;
}

} // namespace

Q_DECLARE_METATYPE(FakeLive::OnStop)

class tst_LiveTranscription : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void resumesAfterADropWithoutLosingOrDoublingAnything()
    {
        FakeLive fake;
        LiveTranscription::Service service = fake.service();
        service.largestMessage = 64 * 1024;
        LiveTranscription live(Gladia::Session(), service);
        live.start(u"clé-test"_s);
        QTRY_COMPARE(fake.connections, 1);
        const RecordedRequest request = fake.http.requests().constFirst();
        QCOMPARE(request.target, "/v2/live");
        QCOMPARE(request.header("x-gladia-key"), u"clé-test"_s.toUtf8());
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value(u"encoding").toString(), u"wav/pcm"_s);
        QCOMPARE(body.value(u"channels").toInt(), 2);
        QCOMPARE(body.value(u"sample_rate").toInt(), 16000);
        QVERIFY(body.value(u"messages_config")[u"receive_acknowledgments"].toBool());

        const QByteArray audio = stream(2 * second);
        live.pushAudio(QByteArrayView(audio).first(second));
        QTRY_COMPARE(live.acknowledged(), second);
        fake.say(u"a"_s, false, 0.5, 0, u"Bon"_s);
        fake.say(u"a"_s, true, 0.5, 0, u"Bonjour"_s);
        fake.say(u"b"_s, false, 1.2, 1, u"Sal"_s);
        QTRY_VERIFY(live.partial() && live.partial()->text == u"Sal"_s);

        // The second second reaches the service but is never acknowledged before the drop.
        fake.acknowledge = false;
        live.pushAudio(QByteArrayView(audio).sliced(second));
        QTRY_COMPARE(fake.audio.size(), audio.size());
        fake.drop();
        fake.acknowledge = true;
        QTRY_COMPARE(fake.connections, 2);
        QTRY_COMPARE(live.acknowledged(), audio.size());
        QVERIFY(fake.audio == audio);

        // After resuming, the service repeats a final it had sent.
        fake.say(u"a"_s, true, 0.5, 0, u"Bonjour"_s);
        fake.say(u"c"_s, true, 0.1, 1, u"Allô"_s);
        fake.say(u"b"_s, true, 1.2, 1, u"Salut"_s);
        QTRY_VERIFY(!live.partial());
        QCOMPARE(live.transcript(),
            u"[00:00] Audio de l’appel · Allô\n[00:00] Micro · Bonjour\n[00:01] Audio de l’appel · Salut"_s);

        // An oversized message is refused like a cut connection: the session resumes.
        fake.socket->sendTextMessage(QString(100 * 1024, u'x'));
        QTRY_COMPARE(fake.connections, 3);
        fake.say(u"d"_s, true, 1.8, 0, u"Ensuite"_s);
        QTRY_COMPARE(live.lines().size(), 4);
        QVERIFY(!live.error());
    }

    void stopWaitsForTheLastWords_data()
    {
        QTest::addColumn<FakeLive::OnStop>("onStop");
        QTest::addColumn<bool>("complete");
        QTest::newRow("post_final_transcript") << FakeLive::OnStop::LastWords << true;
        QTest::newRow("close 1000") << FakeLive::OnStop::Close << true;
        QTest::newRow("no answer") << FakeLive::OnStop::Nothing << false;
    }

    void stopWaitsForTheLastWords()
    {
        QFETCH(FakeLive::OnStop, onStop);
        QFETCH(bool, complete);
        FakeLive fake;
        fake.onStop = onStop;
        LiveTranscription live(Gladia::Session(), fake.service());
        QSignalSpy finished(&live, &LiveTranscription::finished);
        live.start(u"k"_s);
        // A quarter of a second: two whole frames, and half of one that only the stop sends.
        const QByteArray audio = stream(second / 4);
        live.pushAudio(audio);
        live.stop();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), complete);
        QVERIFY(fake.audio == audio);
        QCOMPARE(fake.texts, QStringList { uR"({"type":"stop_recording"})"_s });
    }

    // Before the service's limit, a new session takes over: the old one's last words are heard,
    // no byte is lost or sent twice, and the new one's times follow on.
    void rollsOverBeforeTheSessionLimit()
    {
        FakeLive fake;
        fake.hears = true;
        LiveTranscription::Service service = fake.service();
        service.longestSession = std::chrono::milliseconds(1600);
        LiveTranscription live(Gladia::Session(), service);
        QSignalSpy finished(&live, &LiveTranscription::finished);
        live.start(u"k"_s);
        const QByteArray audio = bursts(3, { { 0, 0.5, 1.0 }, { 1, 2.0, 2.5 } });
        live.pushAudio(audio);
        QTRY_COMPARE(live.lines().size(), 2);
        QCOMPARE(fake.sessions, 2);
        live.stop();
        QTRY_COMPARE(finished.count(), 1);
        QVERIFY(finished.at(0).at(0).toBool());
        QVERIFY(fake.audio == audio);
        QCOMPARE(fake.texts.size(), 2);
        QCOMPARE(live.lines().at(0).start, 0.5);
        QCOMPARE(live.lines().at(1).start, 2.0);
        QCOMPARE(live.lines().at(1).text, FakeLive::heard(1));
    }

    void aFullQueueStopsTheLiveTranscriptAloud()
    {
        FakeLive fake;
        LiveTranscription::Service service = fake.service();
        service.largestQueue = LiveTranscription::frameBytes;
        LiveTranscription live(Gladia::Session(), service);
        QSignalSpy failed(&live, &LiveTranscription::failed);
        QSignalSpy finished(&live, &LiveTranscription::finished);
        live.start(u"k"_s);
        live.pushAudio(stream(LiveTranscription::frameBytes));
        live.pushAudio(stream(1));
        QTRY_COMPARE(failed.count(), 1);
        QCOMPARE(failed.at(0).at(0).toString(),
            u"La transcription en direct s’est arrêtée car la connexion ne suit plus le son ; "
            "l’enregistrement continue."_s);
        live.stop();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).toBool(), false);
    }
};

QTEST_GUILESS_MAIN(tst_LiveTranscription)
#include "tst_livetranscription.moc"
