#include "echo/echocanceller.h"
#include "echoscenario.h"
#include "livecapture.h"
#include "privatetmpdir.h"
#include "pulseserver.h"
#include "source/pulsesource.h"

#include <QFileInfo>
#include <QTest>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <numeric>
#include <optional>
#include <random>
#include <span>

namespace {

// The microphone as the sound server delivers it, recorded beside the capture under test.
class RawMicrophone
{
public:
    RawMicrophone()
        : m_source(PulseSource::openMicrophone())
    {
        m_signal.sampleRate = m_source->format().sampleRate;
        m_source->start([this](const PcmBuffer& buffer, std::uint64_t) {
            const std::lock_guard lock(m_mutex);
            const int channels = buffer.format.channelCount;
            for (std::int64_t frame = 0; frame < buffer.frameLength; ++frame) {
                m_signal.samples.push_back(buffer.floatChannel(0)[frame * channels]);
            }
        });
    }
    MonoSignal stop()
    {
        m_source->stop();
        const std::lock_guard lock(m_mutex);
        return m_signal;
    }

private:
    std::unique_ptr<PulseSource> m_source;
    std::mutex m_mutex;
    MonoSignal m_signal;
};

struct Recording
{
    AudioCapture::StopResult result;
    MonoSignal raw;
    MonoSignal microphone;
    double rawLag = 0; // seconds from the scenario's time to the same sound in `raw`
    double microphoneLag = 0; // and in the microphone track
    // What a live transcript was sent, each channel alone, on the mix's timeline.
    RecordedAudio liveMicrophone;
    RecordedAudio liveCall;
    bool liveFeedLost = false;
};

constexpr int rate = 48000;

// Noise in bursts as a voice comes in syllables, `seconds` long, silent over
// [quiet.start, quiet.end).
std::vector<float> callNoise(double seconds, EchoScenario::Stretch quiet)
{
    std::mt19937 random(11);
    std::normal_distribution<float> noise(0, 0.1f);
    std::uniform_int_distribution<int> syllable(rate / 16, rate / 4);
    std::vector<float> call(std::size_t(seconds * rate));
    float level = 1;
    for (std::size_t at = 0, change = 0; at < call.size(); ++at) {
        if (at == change) {
            level = level == 1 ? 0.1f : 1;
            change += std::size_t(syllable(random));
        }
        const double time = double(at) / rate;
        call[at] = time >= quiet.start && time < quiet.end ? 0.0f : level * noise(random);
    }
    return call;
}

// What the microphone hears of the call: about -10 dB, `delayMs` late, then `laterDelayMs` late
// from `change` seconds on.
std::vector<float> echoOf(
    const std::vector<float>& call, int delayMs = 40, int laterDelayMs = 40, double change = 0)
{
    std::vector<float> microphone(call.size(), 0.0f);
    for (std::size_t at = 0; at < call.size(); ++at) {
        const int delay = double(at) / rate < change || change == 0 ? delayMs : laterDelayMs;
        const auto from = std::ptrdiff_t(at) - std::ptrdiff_t(delay * rate / 1000);
        microphone[at] = from >= 0 ? 0.3f * call[std::size_t(from)] : 0.0f;
    }
    return microphone;
}

// How much quieter `out` is than `microphone` over [from, to) seconds, in dB.
double enhancement(
    const std::vector<float>& microphone, const std::vector<float>& out, double from, double to)
{
    double before = 0;
    double after = 0;
    for (auto at = std::size_t(from * rate); at < std::size_t(to * rate); ++at) {
        before += double(microphone[at]) * microphone[at];
        after += double(out[at]) * out[at];
    }
    return decibels(before / std::max(after, 1e-20));
}

// Both through a canceller in 20 ms buffers, the call's 200 ms before the microphone's of the
// same moment (as a sound server may deliver them); up to ten times real time but never more than
// 1.5 s ahead of the canceller (beyond the second it may wait for the call, short of the 2 s behind
// which it lets the microphone through raw): live audio never outruns it, a slow build under load
// could. What comes out of the microphone. From `callMoves` seconds on, the call comes at 44.1 kHz
// instead (resampled from `call`), as when it moves to another output.
std::vector<float> cancel(
    const std::vector<float>& call, const std::vector<float>& microphone, double callMoves = 0)
{
    constexpr int frames = rate / 50;
    std::mutex mutex;
    std::condition_variable progressed;
    std::vector<float> out;
    // While it learns, it takes the microphone in and holds it back: that counts as progress.
    std::optional<std::size_t> heldUpTo;
    EchoCanceller canceller(
        [&](const PcmBuffer& buffer, std::uint64_t) {
            const std::lock_guard lock(mutex);
            const float* samples = buffer.floatChannel(0);
            out.insert(out.end(), samples, samples + buffer.frameLength);
            progressed.notify_all();
        },
        { [&](const PcmBuffer& buffer, std::uint64_t) {
             const std::lock_guard lock(mutex);
             heldUpTo = heldUpTo.value_or(out.size()) + std::size_t(buffer.frameLength);
             progressed.notify_all();
         },
            [&] {
                const std::lock_guard lock(mutex);
                heldUpTo.reset();
            } });
    const PcmFormat format { rate, 1, SampleType::Float32, true };
    const std::uint64_t start = 1'000'000'000'000;
    constexpr int movedRate = 44100;
    const PcmFormat movedFormat { movedRate, 1, SampleType::Float32, true };
    std::vector<float> moved(movedRate / 50);
    constexpr std::size_t callAhead = rate / 5;
    std::size_t microphonePushed = 0;
    const auto pushMicrophone = [&] {
        const std::uint64_t time = start + microphonePushed * 1'000'000'000 / rate;
        canceller.pushMicrophone(
            { format, frames,
                std::as_bytes(std::span(microphone).subspan(microphonePushed, frames)) },
            time);
        microphonePushed += frames;
        QThread::usleep(2000);
        std::unique_lock lock(mutex);
        progressed.wait_for(lock, std::chrono::seconds(10), [&] {
            return std::max(heldUpTo.value_or(0), out.size()) + rate * 3 / 2 >= microphonePushed;
        });
    };
    for (std::size_t at = 0; at + frames <= call.size(); at += frames) {
        const std::uint64_t time = start + at * 1'000'000'000 / rate;
        if (callMoves > 0 && double(at) / rate >= callMoves) {
            for (std::size_t i = 0; i < moved.size(); ++i) {
                const double source = double(at) + double(i) * rate / movedRate;
                const auto before = std::size_t(source);
                const double after = source - double(before);
                moved[i] = float((1 - after) * call[before]
                    + after * call[std::min(before + 1, call.size() - 1)]);
            }
            canceller.pushReference(
                { movedFormat, movedRate / 50, std::as_bytes(std::span(moved)) }, time);
        } else {
            canceller.pushReference(
                { format, frames, std::as_bytes(std::span(call).subspan(at, frames)) }, time);
        }
        const std::size_t heard = at + frames - std::min(at + frames, callAhead);
        while (microphonePushed < heard) {
            pushMicrophone();
        }
    }
    while (microphonePushed + frames <= microphone.size()) {
        pushMicrophone();
    }
    canceller.finish();
    return out;
}

// The spans where a decoded track is louder than -40 dBFS, gaps between words merged.
QList<EchoScenario::Stretch> voiced(const RecordedAudio& audio)
{
    QList<EchoScenario::Stretch> spans;
    const auto step = std::size_t(audio.sampleRate / 50);
    for (std::size_t from = 0; from + step <= audio.mono.size(); from += step) {
        const auto begin = audio.mono.begin() + std::ptrdiff_t(from);
        if (std::inner_product(begin, begin + std::ptrdiff_t(step), begin, 0.0) < 1e-4 * step) {
            continue;
        }
        const double at = double(from) / audio.sampleRate;
        if (!spans.isEmpty() && at - spans.last().end < 0.5) {
            spans.last().end = at + 0.02;
        } else {
            spans.append({ at, at + 0.02 });
        }
    }
    return spans;
}

double overlap(EchoScenario::Stretch a, EchoScenario::Stretch b)
{
    return std::max(0.0, std::min(a.end, b.end) - std::max(a.start, b.start));
}

// One buffer as it went into the canceller or came out of it.
struct Passed
{
    std::uint64_t hostTime = 0;
    std::int64_t frames = 0;
    std::vector<std::byte> bytes;
    friend bool operator==(const Passed&, const Passed&) = default;
};

} // namespace

Q_DECLARE_METATYPE(PcmFormat)

// The call played on loudspeakers reaches the microphone again, late and quieter; the microphone
// track must keep the local speaker and lose the call. Two synthetic voices on a private sound
// server: the call into the call sink, the local speaker into the microphone's sink, and for the
// loudspeaker case a loopback from the call to the microphone, 40 ms late and 10 dB down.
class tst_EchoCancellation : public QObject
{
    Q_OBJECT

    PrivateTmpDir m_temp;
    EchoScenario m_scenario;
    std::optional<Recording> m_loudspeakers;

    Recording record(bool echo)
    {
        PulseServer server;
        if (!server.isReady()) {
            qFatal("no sound server: %s", qPrintable(server.log()));
        }
        server.makeDefault();
        if (echo && !server.addEcho(40, -10)) {
            qFatal("the echo path could not be set up");
        }
        Recording recording;
        RawMicrophone raw;
        CollectedFeed feed;
        AudioCapture capture;
        capture.setLiveConsumer(&feed);
        if (!startReceiving(capture)) {
            qFatal("the capture receives nothing");
        }
        if (!server.playTogether({ { QLatin1String(PulseServer::callSink), m_scenario.call },
                { QLatin1String(PulseServer::microphoneSink), m_scenario.local } })) {
            qFatal("the scenario could not be played");
        }
        QTest::qWait(500);
        recording.result = blockingWait(capture.stop());
        recording.raw = raw.stop();
        recording.microphone = readMono(capture.microphone());
        recording.liveMicrophone = feed.channel(0);
        recording.liveCall = feed.channel(1);
        recording.liveFeedLost = feed.lost();
        // Both hold the local speaker alone in the near-end stretch: that places them.
        const EchoScenario::Stretch near = m_scenario.nearEndOnly;
        recording.rawLag
            = envelopeLag(m_scenario.localSignal, recording.raw, near.start, near.end, 8);
        recording.microphoneLag
            = envelopeLag(m_scenario.localSignal, recording.microphone, near.start, near.end, 8);
        return recording;
    }

    // PipeWire's loopback, the test's loudspeaker, puts the echo 50 to 180 ms after the call from
    // one run to the next, and the canceller does not hold its figures there yet in most runs.
    static bool loudspeakersMisbehaveHere()
    {
        return PulseServer::chosenKind() == PulseServer::Kind::pipeWire;
    }

    const Recording& loudspeakers()
    {
        if (!m_loudspeakers) {
            m_loudspeakers = record(true);
        }
        return *m_loudspeakers;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_scenario = EchoScenario::make(m_temp.path());
        QVERIFY(m_scenario.isValid());
    }

    void microphoneTrack_data()
    {
        QTest::addColumn<bool>("echo");
        QTest::newRow("loudspeakers") << true;
        QTest::newRow("headphones") << false;
    }

    void microphoneTrack()
    {
        QFETCH(bool, echo);
        if (echo && loudspeakersMisbehaveHere()) {
            QSKIP("the loudspeaker echo is not yet removed reliably on PipeWire");
        }
        std::optional<Recording> headphones;
        const Recording& recording = echo ? loudspeakers() : headphones.emplace(record(false));
        QVERIFY(recording.result.tracks.has_value());
        const MonoSignal& raw = recording.raw;
        const MonoSignal& microphone = recording.microphone;
        QCOMPARE(microphone.sampleRate, raw.sampleRate);

        // Near end only: the local speaker comes through bit for bit.
        const EchoScenario::Stretch near = m_scenario.nearEndOnly;
        const auto rate = std::ptrdiff_t(raw.sampleRate);
        const auto rawStart = std::ptrdiff_t((near.start + recording.rawLag) * double(rate));
        const auto guess = std::ptrdiff_t((near.start + recording.microphoneLag) * double(rate));
        const auto length = std::ptrdiff_t((near.end - near.start) * double(rate));
        QVERIFY(rawStart >= 0 && rawStart + length <= std::ptrdiff_t(raw.samples.size()));
        // Found within 100 ms of where the envelopes place it.
        const auto track = std::ptrdiff_t(microphone.samples.size());
        const auto from = microphone.samples.begin() + std::clamp(guess - rate / 10, {}, track);
        const auto to
            = microphone.samples.begin() + std::clamp(guess + rate / 10 + length, {}, track);
        const auto spoken = raw.samples.begin() + rawStart;
        QVERIFY2(std::search(from, to, spoken, spoken + length) != to,
            "the local speaker alone was changed");

        // A stretch of the scenario where it lies in the raw microphone, and in the track.
        const auto rawPower = [&](EchoScenario::Stretch span) {
            return raw.power(span.start + recording.rawLag, span.end + recording.rawLag);
        };
        const auto trackPower = [&](EchoScenario::Stretch span) {
            return microphone.power(
                span.start + recording.microphoneLag, span.end + recording.microphoneLag);
        };
        const EchoScenario::Stretch far = m_scenario.farEndOnly;
        const EchoScenario::Stretch both = m_scenario.doubleTalk;
        if (echo) {
            // The setup does make an echo about 10 dB under the call...
            const double echoLevel
                = decibels(rawPower(far) / m_scenario.callSignal.power(far.start, far.end));
            QVERIFY2(echoLevel > -16 && echoLevel < -5, qPrintable(QString::number(echoLevel)));
            // ...and the far-end stretch loses it, its first two seconds too, which the
            // canceller heard before it knew the room and goes over again once it has learnt it
            // (bench/echo gives the figure).
            const double first = decibels(
                rawPower({ far.start, far.start + 2 }) / trackPower({ far.start, far.start + 2 }));
            const double rest = decibels(
                rawPower({ far.start + 2, far.end }) / trackPower({ far.start + 2, far.end }));
            QVERIFY2(
                first > 15 && rest > 15, qPrintable(QStringLiteral("%1 %2").arg(first).arg(rest)));
            // While both talk, the local voice keeps its level: what the microphone holds then
            // against the local voice alone, as loud as it comes through in the near-end stretch.
            const double localBoth = rawPower(near)
                / m_scenario.localSignal.power(near.start, near.end)
                * m_scenario.localSignal.power(both.start, both.end);
            const double change = decibels(trackPower(both) / localBoth);
            QVERIFY2(change > -1.5, qPrintable(QString::number(change)));
        } else {
            QVERIFY(trackPower(far) < 1e-10); // nothing to hear, nothing made up
            // Without an echo, the local speaker keeps its level while the call talks too.
            const double change = decibels(trackPower(both) / rawPower(both));
            QVERIFY2(std::abs(change) < 1, qPrintable(QString::number(change)));
        }
    }

    // Whatever the canceller makes of it, every microphone buffer comes out once, in order, with
    // its length and host time; untouched where it cannot or need not work.
    void everyBufferComesOutOnce_data()
    {
        QTest::addColumn<PcmFormat>("format");
        QTest::addColumn<float>("call"); // amplitude of the call's noise; 0: silent call
        QTest::addColumn<int>("seconds");
        QTest::addColumn<int>("untouchedSeconds"); // at the end
        QTest::addColumn<bool>("outputStalls"); // until everything has been pushed
        QTest::newRow("rate the canceller refuses")
            << PcmFormat { 22050, 1, SampleType::Float32, true } << 0.3f << 8 << 8 << false;
        QTest::newRow("16-bit stereo, silent call")
            << PcmFormat { 48000, 2, SampleType::Int16, true } << 0.0f << 8 << 8 << false;
        // Fed as fast as possible: most of it overtakes the canceller and goes out raw.
        QTest::newRow("talking call, faster than real time")
            << PcmFormat { 44100, 1, SampleType::Float32, false } << 0.3f << 8 << 0 << false;
        // A slow disk holds the output up for longer than the canceller waits: it stands aside.
        QTest::newRow("talking call, the output held up")
            << PcmFormat { 48000, 1, SampleType::Float32, true } << 0.3f << 14 << 4 << true;
    }

    void everyBufferComesOutOnce()
    {
        QFETCH(PcmFormat, format);
        QFETCH(float, call);
        QFETCH(int, seconds);
        QFETCH(int, untouchedSeconds);
        QFETCH(bool, outputStalls);
        std::mutex mutex;
        std::condition_variable pushed;
        bool allPushed = !outputStalls;
        std::vector<Passed> out;
        EchoCanceller canceller([&](const PcmBuffer& buffer, std::uint64_t hostTime) {
            std::unique_lock lock(mutex);
            pushed.wait(lock, [&] { return allPushed; });
            out.push_back(
                { hostTime, buffer.frameLength, { buffer.data.begin(), buffer.data.end() } });
        });
        std::mt19937 random(7);
        std::uniform_real_distribution<float> noise(-1, 1);
        std::vector<Passed> in;
        const std::uint64_t start = 1'000'000'000'000;
        const int bytes = bytesPerSample(format.sampleType) * format.channelCount;
        for (int second = 0, chunk = 0; second < seconds; ++second) {
            for (int piece = 0; piece < 50; ++piece, ++chunk) {
                const std::uint64_t at = start + std::uint64_t(chunk) * 20'000'000;
                std::vector<float> reference(960);
                for (float& sample : reference) {
                    sample = call * noise(random);
                }
                canceller.pushReference({ { 48000, 1, SampleType::Float32, true }, 960,
                                            std::as_bytes(std::span(reference)) },
                    at);
                // Odd lengths, so that buffers never line up with the canceller's frames.
                const std::int64_t frames = format.sampleRate / 50 + (chunk % 3) - 1;
                Passed buffer { at, frames, std::vector<std::byte>(std::size_t(frames * bytes)) };
                for (std::byte& byte : buffer.bytes) {
                    byte = std::byte(random() & 0x0f); // quiet, never a NaN
                }
                if (outputStalls) { // the call's echo, which the canceller takes out
                    auto* samples = reinterpret_cast<float*>(buffer.bytes.data());
                    for (std::int64_t i = 0; i < std::min<std::int64_t>(frames, 960); ++i) {
                        samples[i] = 0.3f * reference[std::size_t(i)];
                    }
                }
                canceller.pushMicrophone(
                    { format, frames, std::span<const std::byte>(buffer.bytes) }, at);
                in.push_back(std::move(buffer));
                if (outputStalls) {
                    QThread::usleep(1000); // 20 times real time, the canceller keeping up
                }
            }
        }
        {
            const std::lock_guard lock(mutex);
            allPushed = true;
        }
        pushed.notify_all();
        canceller.finish();
        QCOMPARE(out.size(), in.size());
        const std::size_t untouchedFrom = in.size() - std::size_t(untouchedSeconds * 50);
        for (std::size_t i = 0; i < in.size(); ++i) {
            QCOMPARE(out[i].hostTime, in[i].hostTime);
            QCOMPARE(out[i].frames, in[i].frames);
            if (i >= untouchedFrom) {
                QVERIFY2(out[i].bytes == in[i].bytes, qPrintable(QString::number(i)));
            }
        }
    }

    // The echo comes 10 to 300 ms after the call (the output's latency, the room, a Bluetooth
    // speaker), and moves when the output does. A canceller that starts with the call has not
    // learnt the room yet: it holds the microphone back while it learns, then goes over it
    // again, so that the echo of the call's first seconds goes as well as the rest.
    void removesTheEchoAtAnyDelay_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("laterDelayMs");
        QTest::addColumn<bool>("callMoves"); // to an output of another rate, at 4 s
        QTest::addColumn<double>("firstDb"); // echo taken off the first seconds, at least
        QTest::newRow("40 ms") << 40 << 40 << false << 25.0;
        QTest::newRow("20 ms") << 20 << 20 << false << 25.0;
        // Beside the room, the two feeds' host times may disagree by tens of milliseconds. The
        // canceller finds so long a delay after a second of the call, and its first second
        // keeps more of the echo.
        QTest::newRow("300 ms, the call's times 80 ms early") << 380 << 380 << false << 20.0;
        QTest::newRow("300 ms, the call's times 180 ms early") << 480 << 480 << false << 20.0;
        QTest::newRow("a Bluetooth speaker takes over: 40 then 300 ms")
            << 40 << 300 << false << 25.0;
        QTest::newRow("the call moves to a 44.1 kHz output") << 40 << 40 << true << 25.0;
    }

    void removesTheEchoAtAnyDelay()
    {
        QFETCH(int, delayMs);
        QFETCH(int, laterDelayMs);
        QFETCH(bool, callMoves);
        QFETCH(double, firstDb);
        const std::vector<float> call = callNoise(8, {});
        const std::vector<float> microphone = echoOf(call, delayMs, laterDelayMs, 4);
        const std::vector<float> out = cancel(call, microphone, callMoves ? 4 : 0);
        QCOMPARE(out.size(), microphone.size());
        // Its very first frames still go out with some echo, while the canceller settles again;
        // a new delay takes it a few seconds, a new output learning the room again (the moment
        // of the move itself keeps some echo).
        const double first = enhancement(microphone, out, 0.5, 3.5);
        const double later = enhancement(microphone, out, callMoves ? 4.5 : 7, 8);
        QVERIFY2(first > firstDb && later > 30,
            qPrintable(QStringLiteral("%1 %2").arg(first).arg(later)));
    }

    // The canceller's output runs a few milliseconds behind its input: it must come back where
    // the microphone heard it, so that the tracks stay aligned and moving between cancelled and
    // raw audio neither shifts nor repeats a sample. Clicks of the local speaker while the
    // canceller learns, cancels, rests (the call silent) and cancels again.
    void keepsTheMicrophoneInTime()
    {
        const std::vector<float> call = callNoise(4.5, { 2.5, 3.3 });
        std::vector<float> microphone = echoOf(call);
        for (const double click : { 1.0, 2.2, 3.1, 4.0 }) {
            microphone[std::size_t(click * rate)] += 0.8f;
        }
        const std::vector<float> out = cancel(call, microphone);
        QCOMPARE(out.size(), microphone.size());
        for (const double click : { 1.0, 2.2, 3.1, 4.0 }) {
            const auto from = std::size_t((click - 0.02) * rate);
            const auto loudest = std::max_element(out.begin() + std::ptrdiff_t(from),
                out.begin() + std::ptrdiff_t(from + rate / 25),
                [](float a, float b) { return std::abs(a) < std::abs(b); });
            const auto at = std::distance(out.begin(), loudest);
            QVERIFY2(std::abs(at - std::ptrdiff_t(click * rate)) <= 2,
                qPrintable(QStringLiteral("click at %1 s came out at %2 s")
                               .arg(click)
                               .arg(double(at) / rate, 0, 'f', 5)));
        }
    }

    // The call's words stay off the microphone in what goes out to be transcribed: the copy of
    // each track made for the transcription (the track itself without one), on the mix's timeline,
    // and each channel of a live transcript's feed, heard alone as the live service does.
    void callStaysOffTheMicrophone_data()
    {
        QTest::addColumn<bool>("live");
        QTest::newRow("copies for the transcription") << false;
        QTest::newRow("live feed") << true;
    }

    void callStaysOffTheMicrophone()
    {
        QFETCH(bool, live);
        if (loudspeakersMisbehaveHere()) {
            QSKIP("the loudspeaker echo is not yet removed reliably on PipeWire");
        }
        const Recording& recording = loudspeakers();
        QVERIFY(recording.result.tracks.has_value());
        QVERIFY(!live || !recording.liveFeedLost);
        const auto uploaded = [](const QString& track, double offset) {
            const QString copy = AudioCapture::uploadCopy(track);
            QList<EchoScenario::Stretch> spans
                = voiced(RecordedAudio::decoded(QFileInfo::exists(copy) ? copy : track));
            for (EchoScenario::Stretch& span : spans) {
                span = { span.start + offset, span.end + offset };
            }
            return spans;
        };
        const AudioCapture::Tracks& tracks = *recording.result.tracks;
        const QList<EchoScenario::Stretch> call
            = live ? voiced(recording.liveCall) : uploaded(tracks.system, tracks.systemOffset);
        const QList<EchoScenario::Stretch> micro = live
            ? voiced(recording.liveMicrophone)
            : uploaded(tracks.microphone, tracks.microphoneOffset);
        QString heard;
        for (const auto& [label, spans] :
            { std::pair { QStringLiteral("Micro"), micro }, { QStringLiteral("Appel"), call } }) {
            for (const EchoScenario::Stretch& span : spans) {
                heard += QStringLiteral("%1 %2-%3\n").arg(label).arg(span.start).arg(span.end);
            }
        }
        QVERIFY2(call.size() >= 2 && !micro.isEmpty(), qPrintable(heard));
        // The local speaker, between the call's two sentences, is still under "Micro"...
        const EchoScenario::Stretch between { call.at(0).end, call.at(1).start };
        QVERIFY2(std::any_of(micro.begin(), micro.end(),
                     [&](const EchoScenario::Stretch& span) { return overlap(span, between) > 1; }),
            qPrintable(heard));
        // ...while the call's first sentence (far end only) is heard on the call's track alone.
        for (const EchoScenario::Stretch& span : micro) {
            QVERIFY2(overlap(span, call.first()) < 0.2, qPrintable(heard));
        }
    }
};

QTEST_GUILESS_MAIN(tst_EchoCancellation)
#include "tst_echocancellation.moc"
