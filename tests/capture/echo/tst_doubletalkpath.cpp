#include "echo/doubletalkpath.h"

#include <QTest>
#include <cmath>
#include <numbers>
#include <random>

namespace {

// A voice stand-in that can be sampled at any rate: a few partials whose loudness follows a
// syllable-like envelope, silent outside [from, to) seconds.
struct Voice
{
    std::vector<double> frequencies;
    std::vector<double> phases;
    double from = 0;
    double to = 0;

    static Voice make(unsigned seed, double lowest, double from, double to)
    {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> unit(0, 1);
        Voice voice { {}, {}, from, to };
        for (int partial = 1; partial <= 12; ++partial) {
            voice.frequencies.push_back(lowest * partial * (0.97 + 0.06 * unit(random)));
            voice.phases.push_back(2 * std::numbers::pi * unit(random));
        }
        return voice;
    }
    [[nodiscard]] float at(double seconds) const
    {
        if (seconds < from || seconds >= to) {
            return 0;
        }
        const double envelope = 0.6 + 0.4 * std::sin(2 * std::numbers::pi * 4 * seconds);
        double sum = 0;
        for (std::size_t i = 0; i < frequencies.size(); ++i) {
            sum += std::sin(2 * std::numbers::pi * frequencies[i] * seconds + phases[i])
                / double(i + 1);
        }
        return float(0.1 * envelope * sum);
    }
};

double power(const std::vector<float>& samples)
{
    double sum = 0;
    for (const float sample : samples) {
        sum += double(sample) * sample;
    }
    return sum / double(samples.size());
}

} // namespace

class TestDoubleTalkPath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The call alone for 3 s, then both talk for 2 s. Stands in for the main canceller: it removes
    // the echo completely and takes 4.4 dB of the local voice where both talk. In the last row the
    // echo moves 40 ms later (the call is handed over at another lead) as both start talking.
    void keepsTheLocalVoiceAndOnlyIt_data()
    {
        QTest::addColumn<int>("referenceRate");
        QTest::addColumn<float>("echoGain");
        QTest::addColumn<bool>("echoMoves");
        QTest::newRow("echo") << 44100 << 0.3f << false;
        QTest::newRow("echo, call resampled") << 48000 << 0.3f << false;
        QTest::newRow("no echo to learn from") << 44100 << 0.0f << false;
        QTest::newRow("echo moved, not learnt again") << 44100 << 0.3f << true;
    }

    void keepsTheLocalVoiceAndOnlyIt()
    {
        QFETCH(int, referenceRate);
        QFETCH(float, echoGain);
        QFETCH(bool, echoMoves);
        const int rate = 44100;
        const Voice call = Voice::make(1, 110, 0, 5);
        const Voice local = Voice::make(2, 210, 3, 5);
        double echoDelay = 0.04;
        DoubleTalkPath path(rate, 1, 0);
        std::mt19937 random(3);
        std::uniform_real_distribution<float> roomNoise(-0.003f, 0.003f); // about -55 dBFS
        std::vector<float> callOnly, both, localBoth, mainBoth;
        for (int frame = 0; frame < 500; ++frame) {
            if (echoMoves && frame == 300) {
                echoDelay = 0.08;
                path.echoMoved();
            }
            std::vector<float> reference(std::size_t(referenceRate / 100));
            for (std::size_t i = 0; i < reference.size(); ++i) {
                reference[i] = call.at(frame / 100.0 + double(i) / referenceRate);
            }
            path.pushReference(reference, referenceRate);
            std::vector<std::vector<float>> input(1, std::vector<float>(rate / 100));
            std::vector<std::vector<float>> cancelled = input;
            std::vector<float> localPart(input[0].size());
            for (std::size_t i = 0; i < input[0].size(); ++i) {
                const double t = frame / 100.0 + double(i) / rate;
                localPart[i] = local.at(t);
                input[0][i] = localPart[i] + echoGain * call.at(t - echoDelay) + roomNoise(random);
                cancelled[0][i] = 0.6f * localPart[i];
            }
            const std::vector<float> main = cancelled[0];
            path.process(input, cancelled);
            const auto keep = [&](std::vector<float>& into, const std::vector<float>& samples) {
                into.insert(into.end(), samples.begin(), samples.end());
            };
            if (frame >= 200 && frame < 300) {
                keep(callOnly, cancelled[0]);
            } else if (frame >= 310) {
                keep(both, cancelled[0]);
                keep(localBoth, localPart);
                keep(mainBoth, main);
            }
        }
        // Where only the call talks, the main canceller's silence stands.
        QCOMPARE(power(callOnly), 0.0);
        if (echoGain > 0 && !echoMoves) {
            // Where both talk, the local voice keeps its level.
            const double change = 10 * std::log10(power(both) / power(localBoth));
            QVERIFY2(std::abs(change) < 0.5, qPrintable(QString::number(change)));
        } else {
            // With no echo to take off, or none learnt where it is now, the main canceller's output
            // stands there too.
            QVERIFY(both == mainBoth);
        }
    }
};

QTEST_GUILESS_MAIN(TestDoubleTalkPath)
#include "tst_doubletalkpath.moc"
