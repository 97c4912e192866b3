#include "echo/delayfinder.h"

#include <QTest>
#include <cmath>
#include <optional>

namespace {

// A syllable-like loudness per 10 ms frame from `start` on, silent before.
float speechPower(int frame, int start, double pace)
{
    return frame < start ? 0.0f : float(1e-2 * (1.1 + std::sin(pace * frame)));
}

} // namespace

class tst_DelayFinder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The lead moves for an echo that comes 200 ms after the call, and stays for a local voice
    // that merely starts 200 ms after the call (headphones: nothing of the call in it), whose
    // first words would otherwise pass for an echo and make the canceller learn the room again.
    void movesOnlyForAnEcho_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::newRow("echo 200 ms late") << true;
        QTest::newRow("voice starting 200 ms late") << false;
    }

    void movesOnlyForAnEcho()
    {
        QFETCH(bool, echo);
        constexpr int callStart = 10;
        constexpr int lag = 20;
        DelayFinder finder;
        std::optional<double> moved;
        for (int frame = 0; frame < 150 && !moved; ++frame) {
            const float call = speechPower(frame, callStart, 0.7);
            const float microphone = echo ? 0.1f * speechPower(frame - lag, callStart, 0.7)
                                          : speechPower(frame, callStart + lag, 1.9);
            const std::vector<std::vector<float>> input { std::vector<float>(
                480, std::sqrt(microphone)) };
            moved = finder.update(input, call);
        }
        QCOMPARE(moved.has_value(), echo);
        if (echo) {
            QCOMPARE(*moved, -lag * echo::frameNanoseconds);
        }
    }
};

QTEST_APPLESS_MAIN(tst_DelayFinder)
#include "tst_delayfinder.moc"
