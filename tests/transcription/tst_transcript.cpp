#include "gladia.h"

#include <QTest>
#include <limits>

using namespace Qt::StringLiterals;

using Segment = Gladia::Segment;

namespace {

Segment at(double start, QString text, std::optional<qint64> speaker = std::nullopt)
{
    return Segment { start, speaker, std::move(text) };
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
        // "refused", or the status and what the transcription holds
        QTest::addColumn<QString>("decoded");

        // A finished answer around this transcription object.
        const auto done = [](const QByteArray& transcription) {
            return R"({"status":"done","result":{"transcription":)" + transcription + "}}";
        };
        const QString refused = u"refused"_s;
        QTest::newRow("still queued, nothing else") << R"({"status":"queued"})"_ba << u"queued"_s;
        QTest::newRow("result null") << R"({"status":"done","result":null})"_ba << u"done"_s;
        QTest::newRow("transcription null") << done("null") << u"done"_s;
        QTest::newRow("utterances absent")
            << done(R"({"full_transcript":"x"})") << u"done, no utterances"_s;
        QTest::newRow("null speaker, unknown members ignored")
            << R"({"status":"done","id":7,"result":{"metadata":{},"transcription":)"
               R"({"full_transcript":"","utterances":[{"start":1.5,"speaker":null,)"
               R"("text":"a","end":2,"words":[]}]}}})"_ba
            << u"done, 1 utterances"_s;
        QTest::newRow("integral speaker written as 2.0")
            << done(R"({"full_transcript":"","utterances":[{"start":0,"speaker":2.0,"text":"a"}]})")
            << u"done, 1 utterances"_s;

        QTest::newRow("start as a string fails the whole answer") << done(
            R"({"full_transcript":"","utterances":[{"start":1,"text":"a"},)"
            R"({"start":"1","text":"b"}]})") << refused;
        QTest::newRow("fractional speaker")
            << done(R"({"full_transcript":"","utterances":[{"start":1,"speaker":1.5,"text":"a"}]})")
            << refused;
        QTest::newRow("full_transcript missing") << done(R"({"utterances":[]})") << refused;
        QTest::newRow("utterances not a list")
            << done(R"({"full_transcript":"","utterances":{}})") << refused;
        QTest::newRow("result of the wrong type")
            << R"({"status":"done","result":"x"})"_ba << refused;
        QTest::newRow("status null") << R"({"status":null})"_ba << refused;
        QTest::newRow("top level is a list") << R"([{"status":"done"}])"_ba << refused;
        QTest::newRow("truncated") << "{\"status\":\"do"_ba << refused;
    }

    void pollAnswers()
    {
        QFETCH(QByteArray, json);
        const std::optional<Gladia::Result> result = Gladia::decode<Gladia::Result>(json);
        QString decoded = u"refused"_s;
        if (result) {
            decoded = result->status;
            if (result->result && result->result->transcription) {
                const auto& utterances = result->result->transcription->utterances;
                decoded += utterances ? u", %1 utterances"_s.arg(utterances->size())
                                      : u", no utterances"_s;
            }
        }
        QTEST(decoded, "decoded");
    }

    void segments_data()
    {
        QTest::addColumn<QByteArray>("transcription");
        QTest::addColumn<QList<Segment>>("expected");
        QTest::newRow("utterances win over the full text, kept as sent and in order")
            << QByteArray(R"({"full_transcript":"autre","utterances":[)"
                          R"({"start":3.25,"speaker":1,"text":"  Bonjour\n"},)"
                          R"({"start":0,"speaker":null,"text":"Salut"}]})")
            << QList<Segment> { at(3.25, u"  Bonjour\n"_s, 1), at(0, u"Salut"_s) };
        QTest::newRow("no utterances: full text trimmed, one segment at 0")
            << R"({"full_transcript":" \u00a0 Bonjour à tous.\n  \r\n"})"_ba
            << QList<Segment> { at(0, u"Bonjour à tous."_s) };
        QTest::newRow("empty utterances fall back too")
            << R"({"full_transcript":"\tOui\u2028","utterances":[]})"_ba
            << QList<Segment> { at(0, u"Oui"_s) };
        QTest::newRow("null utterances, blank text: nothing")
            << R"({"full_transcript":" \n\u3000 \n","utterances":null})"_ba << QList<Segment> {};
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
        QTest::newRow("past the hour") << 3725.7 << "62:05";
        QTest::newRow("huge") << 1e300 << "1440:00";
        QTest::newRow("NaN") << std::numeric_limits<double>::quiet_NaN() << "00:00";
        QTest::newRow("infinity") << infinity << "00:00";
    }

    void lineStamps()
    {
        QFETCH(double, at);
        QFETCH(QString, stamp);
        QCOMPARE(
            Gladia::line(at, u"Micro"_s, u"Bonjour"_s), u"["_s + stamp + u"] Micro · Bonjour"_s);
    }

    void singleRecording_data()
    {
        QTest::addColumn<QList<Segment>>("segments");
        QTest::addColumn<QString>("transcript");
        QTest::newRow("nothing") << QList<Segment> {} << "Aucune parole reconnue.";
        QTest::newRow("speakers counted from one, list order kept") << QList<Segment> {
            at(12, u"Bonjour"_s, 0), at(3, u"Salut"_s, 2), at(4, u"Oui"_s)
        } << lines({ "[00:12] Voix 1 · Bonjour", "[00:03] Voix 3 · Salut", "[00:04] Voix · Oui" });
        QTest::newRow("inner line breaks kept")
            << QList<Segment> { at(0, u"un\ndeux"_s) } << lines({ "[00:00] Voix · un", "deux" });
        QTest::newRow("extreme speaker indices") << QList<Segment> {
            at(0, u"a"_s, std::numeric_limits<qint64>::max()), at(0, u"b"_s, -1)
        } << lines({ "[00:00] Voix 9223372036854775808 · a", "[00:00] Voix 0 · b" });
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
            << QList<Segment> {} << QList<Segment> { at(1, u"a"_s, 0), at(2, u"b"_s, 1) } << 0.0
            << 0.0
            << lines({ "[00:01] Audio de l’appel · a", "[00:02] Audio de l’appel · b",
                   "Micro · aucune parole reconnue." });
        QTest::newRow("offsets place both tracks on one timeline")
            << QList<Segment> { at(3, u"m1"_s), at(10, u"m2"_s) }
            << QList<Segment> { at(3, u"s1"_s) } << 0.0 << 1.5
            << lines(
                   { "[00:03] Micro · m1", "[00:04] Audio de l’appel · s1", "[00:10] Micro · m2" });
        QTest::newRow("equal times: microphone first, each track keeps its order")
            << QList<Segment> { at(2, u"m1"_s), at(2, u"m2"_s) }
            << QList<Segment> { at(1, u"s1"_s), at(1, u"s2"_s) } << 1.0 << 2.0
            << lines({ "[00:03] Micro · m1", "[00:03] Micro · m2", "[00:03] Audio de l’appel · s1",
                   "[00:03] Audio de l’appel · s2" });
        QTest::newRow("sorted by exact time, not by stamp")
            << QList<Segment> { at(5.9, u"m"_s) } << QList<Segment> { at(5.1, u"s"_s) } << 0.0
            << 0.0 << lines({ "[00:05] Audio de l’appel · s", "[00:05] Micro · m" });
        QTest::newRow("out-of-order service list is sorted")
            << QList<Segment> { at(9, u"m2"_s), at(1, u"m1"_s) } << QList<Segment> { at(5, u"s"_s) }
            << 0.0 << 0.0
            << lines(
                   { "[00:01] Micro · m1", "[00:05] Audio de l’appel · s", "[00:09] Micro · m2" });
        QTest::newRow("a time that is not a number sorts and stamps at 0")
            << QList<Segment> { at(4, u"m"_s) } << QList<Segment> { at(1, u"s1"_s), at(2, u"s2"_s) }
            << 0.0 << std::numeric_limits<double>::quiet_NaN()
            << lines({ "[00:00] Audio de l’appel · s1", "[00:00] Audio de l’appel · s2",
                   "[00:04] Micro · m" });
    }

    void twoTracks()
    {
        QFETCH(QList<Segment>, microphone);
        QFETCH(QList<Segment>, system);
        QFETCH(double, microphoneOffset);
        QFETCH(double, systemOffset);
        QTEST(Gladia::format(microphone, system,
                  { .microphoneOffset = microphoneOffset, .systemOffset = systemOffset }),
            "transcript");
    }
};

QTEST_GUILESS_MAIN(tst_Transcript)
#include "tst_transcript.moc"
