#include "gladia.h"

#include <QTest>
#include <limits>

using Segment = Gladia::Segment;

namespace {

Segment at(double start, QString text, std::optional<qint64> speaker = std::nullopt)
{
    return Segment { start, speaker, std::move(text) };
}

AudioCapture::Tracks offsets(double microphone, double system)
{
    AudioCapture::Tracks tracks;
    tracks.microphoneOffset = microphone;
    tracks.systemOffset = system;
    return tracks;
}

QString lines(std::initializer_list<const char*> parts)
{
    QStringList list;
    for (const char* part : parts) {
        list.append(QString::fromUtf8(part));
    }
    return list.join(QLatin1Char('\n'));
}

} // namespace

class tst_Transcript : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pollAnswers_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("utterances"); // -1: transcription absent, -2: utterances absent

        QTest::newRow("still queued, nothing else")
            << QByteArray(R"({"status":"queued"})") << true << "queued" << -1;
        QTest::newRow("result null")
            << QByteArray(R"({"status":"done","result":null})") << true << "done" << -1;
        QTest::newRow("transcription null")
            << QByteArray(R"({"status":"done","result":{"transcription":null}})") << true << "done"
            << -1;
        QTest::newRow("utterances absent")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"x"}}})")
            << true << "done" << -2;
        QTest::newRow("null speaker, unknown members ignored")
            << QByteArray(R"({"status":"done","id":7,"result":{"metadata":{},"transcription":)"
                          R"({"full_transcript":"","utterances":[{"start":1.5,"speaker":null,)"
                          R"("text":"a","end":2,"words":[]}]}}})")
            << true << "done" << 1;
        QTest::newRow("integral speaker written as 2.0")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":[{"start":0,"speaker":2.0,"text":"a"}]}}})")
            << true << "done" << 1;

        QTest::newRow("start as a string fails the whole answer")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":[{"start":1,"text":"a"},{"start":"1","text":"b"}]}}})")
            << false << QString() << 0;
        QTest::newRow("text missing in one utterance")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":[{"start":1}]}}})")
            << false << QString() << 0;
        QTest::newRow("fractional speaker")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":[{"start":1,"speaker":1.5,"text":"a"}]}}})")
            << false << QString() << 0;
        QTest::newRow("full_transcript missing")
            << QByteArray(R"({"status":"done","result":{"transcription":{"utterances":[]}}})")
            << false << QString() << 0;
        QTest::newRow("full_transcript null") << QByteArray(
            R"({"status":"done","result":{"transcription":{"full_transcript":null}}})")
                                              << false << QString() << 0;
        QTest::newRow("utterances not a list")
            << QByteArray(R"({"status":"done","result":{"transcription":{"full_transcript":"",)"
                          R"("utterances":{}}}})")
            << false << QString() << 0;
        QTest::newRow("result of the wrong type")
            << QByteArray(R"({"status":"done","result":"x"})") << false << QString() << 0;
        QTest::newRow("status null") << QByteArray(R"({"status":null})") << false << QString() << 0;
        QTest::newRow("top level is a list")
            << QByteArray(R"([{"status":"done"}])") << false << QString() << 0;
        QTest::newRow("truncated") << QByteArray("{\"status\":\"do") << false << QString() << 0;
    }

    void pollAnswers()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, decodes);
        const std::optional<Gladia::Result> result = Gladia::decode<Gladia::Result>(json);
        QCOMPARE(result.has_value(), decodes);
        if (!decodes) {
            return;
        }
        QTEST(result->status, "status");
        QFETCH(int, utterances);
        const bool hasTranscription = result->result && result->result->transcription;
        QCOMPARE(hasTranscription, utterances != -1);
        if (hasTranscription) {
            const auto& list = result->result->transcription->utterances;
            QCOMPARE(list.has_value(), utterances != -2);
            if (list) {
                QCOMPARE(list->size(), utterances);
            }
        }
    }

    void segments_data()
    {
        QTest::addColumn<QByteArray>("transcription");
        QTest::addColumn<QList<Segment>>("expected");
        QTest::newRow("utterances win over the full text, kept as sent and in order")
            << QByteArray(R"({"full_transcript":"autre","utterances":[)"
                          R"({"start":3.25,"speaker":1,"text":"  Bonjour\n"},)"
                          R"({"start":0,"speaker":null,"text":"Salut"}]})")
            << QList<Segment> { at(3.25, QStringLiteral("  Bonjour\n"), 1),
                   at(0, QStringLiteral("Salut")) };
        QTest::newRow("no utterances: full text trimmed, one segment at 0")
            << QByteArray(R"({"full_transcript":" \u00a0 Bonjour à tous.\n  \r\n"})")
            << QList<Segment> { at(0, QStringLiteral("Bonjour à tous.")) };
        QTest::newRow("empty utterances fall back too")
            << QByteArray(R"({"full_transcript":"\tOui\u2028","utterances":[]})")
            << QList<Segment> { at(0, QStringLiteral("Oui")) };
        QTest::newRow("null utterances, blank text: nothing")
            << QByteArray(R"({"full_transcript":" \n\u3000 \n","utterances":null})")
            << QList<Segment> {};
    }

    void segments()
    {
        QFETCH(QByteArray, transcription);
        const auto result = Gladia::decode<Gladia::Result>(
            R"({"status":"done","result":{"transcription":)" + transcription + "}}");
        QVERIFY(result);
        QTEST(result->result->transcription->segments(), "expected");
    }

    void lineStamps_data()
    {
        QTest::addColumn<double>("at");
        QTest::addColumn<QString>("stamp");
        const double infinity = std::numeric_limits<double>::infinity();
        QTest::newRow("negative") << -3.0 << "00:00";
        QTest::newRow("truncated, not rounded") << 59.99 << "00:59";
        QTest::newRow("one minute") << 60.0 << "01:00";
        QTest::newRow("past the hour") << 3725.7 << "62:05";
        QTest::newRow("top of the clamp") << 86400.0 << "1440:00";
        QTest::newRow("beyond the clamp") << 100000.0 << "1440:00";
        QTest::newRow("huge") << 1e300 << "1440:00";
        QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << "00:00";
        QTest::newRow("infinity") << infinity << "00:00";
    }

    void lineStamps()
    {
        QFETCH(double, at);
        QFETCH(QString, stamp);
        QCOMPARE(Gladia::line(at, QStringLiteral("Micro"), QStringLiteral("Bonjour")),
            QStringLiteral("[") + stamp + QStringLiteral("] Micro · Bonjour"));
    }

    void singleRecording_data()
    {
        QTest::addColumn<QList<Segment>>("segments");
        QTest::addColumn<QString>("transcript");
        QTest::newRow("nothing") << QList<Segment> {} << "Aucune parole reconnue.";
        QTest::newRow("speakers counted from one, list order kept") << QList<Segment> {
            at(12, QStringLiteral("Bonjour"), 0), at(3, QStringLiteral("Salut"), 2),
            at(4, QStringLiteral("Oui"))
        } << lines({ "[00:12] Voix 1 · Bonjour", "[00:03] Voix 3 · Salut", "[00:04] Voix · Oui" });
        QTest::newRow("inner line breaks kept")
            << QList<Segment> { at(0, QStringLiteral("un\ndeux")) }
            << lines({ "[00:00] Voix · un", "deux" });
        QTest::newRow("extreme speaker indices")
            << QList<Segment> { at(0, QStringLiteral("a"), std::numeric_limits<qint64>::max()),
                   at(0, QStringLiteral("b"), -1) }
            << lines({ "[00:00] Voix 9223372036854775808 · a", "[00:00] Voix 0 · b" });
    }

    void singleRecording()
    {
        QFETCH(QList<Segment>, segments);
        QTEST(Gladia::format(segments), "transcript");
    }

    void twoTracks_data()
    {
        QTest::addColumn<QList<Segment>>("microphone");
        QTest::addColumn<QList<Segment>>("system");
        QTest::addColumn<double>("microphoneOffset");
        QTest::addColumn<double>("systemOffset");
        QTest::addColumn<QString>("transcript");

        QTest::newRow("both empty") << QList<Segment> {} << QList<Segment> {} << 0.0 << 0.0
                                    << lines({ "Micro · aucune parole reconnue.",
                                           "Audio de l’appel · aucune parole reconnue." });
        QTest::newRow("microphone empty: its line last")
            << QList<Segment> {}
            << QList<Segment> { at(1, QStringLiteral("a"), 0), at(2, QStringLiteral("b"), 1) }
            << 0.0 << 0.0
            << lines({ "[00:01] Audio de l’appel · a", "[00:02] Audio de l’appel · b",
                   "Micro · aucune parole reconnue." });
        QTest::newRow("system empty")
            << QList<Segment> { at(1, QStringLiteral("a"), 3) } << QList<Segment> {} << 0.0 << 0.0
            << lines({ "[00:01] Micro · a", "Audio de l’appel · aucune parole reconnue." });
        QTest::newRow("offsets place both tracks on one timeline")
            << QList<Segment> { at(3, QStringLiteral("m1")), at(10, QStringLiteral("m2")) }
            << QList<Segment> { at(3, QStringLiteral("s1")) } << 0.0 << 1.5
            << lines(
                   { "[00:03] Micro · m1", "[00:04] Audio de l’appel · s1", "[00:10] Micro · m2" });
        QTest::newRow("equal times: microphone first, each track keeps its order")
            << QList<Segment> { at(2, QStringLiteral("m1")), at(2, QStringLiteral("m2")) }
            << QList<Segment> { at(1, QStringLiteral("s1")), at(1, QStringLiteral("s2")) } << 1.0
            << 2.0
            << lines({ "[00:03] Micro · m1", "[00:03] Micro · m2", "[00:03] Audio de l’appel · s1",
                   "[00:03] Audio de l’appel · s2" });
        QTest::newRow("sorted by exact time, not by stamp")
            << QList<Segment> { at(5.9, QStringLiteral("m")) }
            << QList<Segment> { at(5.1, QStringLiteral("s")) } << 0.0 << 0.0
            << lines({ "[00:05] Audio de l’appel · s", "[00:05] Micro · m" });
        QTest::newRow("out-of-order service list is sorted")
            << QList<Segment> { at(9, QStringLiteral("m2")), at(1, QStringLiteral("m1")) }
            << QList<Segment> { at(5, QStringLiteral("s")) } << 0.0 << 0.0
            << lines(
                   { "[00:01] Micro · m1", "[00:05] Audio de l’appel · s", "[00:09] Micro · m2" });
        QTest::newRow("a time that is not a number sorts and stamps at 0")
            << QList<Segment> { at(4, QStringLiteral("m")) }
            << QList<Segment> { at(1, QStringLiteral("s1")), at(2, QStringLiteral("s2")) } << 0.0
            << std::numeric_limits<double>::quiet_NaN()
            << lines({ "[00:00] Audio de l’appel · s1", "[00:00] Audio de l’appel · s2",
                   "[00:04] Micro · m" });
    }

    void twoTracks()
    {
        QFETCH(QList<Segment>, microphone);
        QFETCH(QList<Segment>, system);
        QFETCH(double, microphoneOffset);
        QFETCH(double, systemOffset);
        QTEST(Gladia::format(microphone, system, offsets(microphoneOffset, systemOffset)),
            "transcript");
    }
};

QTEST_GUILESS_MAIN(tst_Transcript)
#include "tst_transcript.moc"
