#include "doubletalkpath.h"

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
    // Stands in for the main canceller: for 3 s it lets the echo through at half its level (as
    // when it has not yet learnt the room), then removes it completely, and takes 4.4 dB of the
    // local voice where both talk, from 5 s on.
    void keepsTheLocalVoiceAndOnlyIt_data()
    {
        QTest::addColumn<int>("referenceRate");
        QTest::newRow("same rate") << 44100;
        QTest::newRow("call resampled") << 48000;
    }

    void keepsTheLocalVoiceAndOnlyIt()
    {
        QFETCH(int, referenceRate);
        const int rate = 44100;
        const Voice call = Voice::make(1, 110, 0, 7);
        const Voice local = Voice::make(2, 210, 5, 7);
        const double echoDelay = 0.04;
        DoubleTalkPath path(rate, 1, 0);
        std::vector<float> leaked, echoLeaked, removed, bothOut, localBoth;
        for (int frame = 0; frame < 700; ++frame) {
            std::vector<float> reference(std::size_t(referenceRate / 100));
            for (std::size_t i = 0; i < reference.size(); ++i) {
                reference[i] = call.at(frame / 100.0 + double(i) / referenceRate);
            }
            path.pushReference(reference, referenceRate);
            std::vector<std::vector<float>> input(1, std::vector<float>(rate / 100));
            std::vector<std::vector<float>> cancelled = input;
            std::vector<float> localPart(input[0].size()), echoPart(input[0].size());
            for (std::size_t i = 0; i < input[0].size(); ++i) {
                const double t = frame / 100.0 + double(i) / rate;
                localPart[i] = local.at(t);
                echoPart[i] = 0.3f * call.at(t - echoDelay);
                input[0][i] = localPart[i] + echoPart[i];
                cancelled[0][i] = frame < 300 ? 0.5f * echoPart[i] : 0.6f * localPart[i];
            }
            path.process(input, cancelled);
            const auto keep = [&](std::vector<float>& into, const std::vector<float>& samples) {
                into.insert(into.end(), samples.begin(), samples.end());
            };
            if (frame >= 200 && frame < 300) {
                keep(leaked, cancelled[0]);
                keep(echoLeaked, echoPart);
            } else if (frame >= 400 && frame < 500) {
                keep(removed, cancelled[0]);
            } else if (frame >= 510) {
                keep(bothOut, cancelled[0]);
                keep(localBoth, localPart);
            }
        }
        // Where the main canceller leaves the call's echo loud, the linear one removes it...
        const double linearLoss = 10 * std::log10(power(echoLeaked) / power(leaked));
        QVERIFY2(linearLoss > 15, qPrintable(QString::number(linearLoss)));
        // ...where it leaves nothing, nothing is added...
        QCOMPARE(power(removed), 0.0);
        // ...and where both talk, the local voice keeps its level.
        const double change = 10 * std::log10(power(bothOut) / power(localBoth));
        QVERIFY2(std::abs(change) < 0.5, qPrintable(QString::number(change)));
    }
};

QTEST_GUILESS_MAIN(TestDoubleTalkPath)
#include "tst_doubletalkpath.moc"
