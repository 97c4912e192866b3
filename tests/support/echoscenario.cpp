#include "echoscenario.h"

#include "recordedaudio.h"

#include <QProcess>
#include <algorithm>
#include <cmath>

namespace {

constexpr double envelopeStep = 0.01;

MonoSignal speak(
    const QString& folder, const QString& name, const QString& voice, const QString& text)
{
    const QString path = folder + QLatin1Char('/') + name + QStringLiteral(".wav");
    QProcess espeak;
    espeak.start(QStringLiteral("espeak-ng"),
        { QStringLiteral("-v"), voice, QStringLiteral("-w"), path, text });
    if (!espeak.waitForFinished(60000) || espeak.exitCode() != 0) {
        return {};
    }
    MonoSignal speech = readMono(path);
    // Trim the leading and trailing silence so that stretches are the speech itself.
    const auto loud = [](float sample) {
        return std::abs(sample) > 0.003f;
    };
    const auto first = std::find_if(speech.samples.begin(), speech.samples.end(), loud);
    const auto last = std::find_if(speech.samples.rbegin(), speech.samples.rend(), loud).base();
    if (first >= last) {
        return {};
    }
    speech.samples = std::vector<float>(first, last);
    return speech;
}

void place(MonoSignal& track, const MonoSignal& speech, double at)
{
    const auto start = std::size_t(std::llround(at * track.sampleRate));
    track.samples.resize(std::max(track.samples.size(), start + speech.samples.size()), 0.0f);
    for (std::size_t i = 0; i < speech.samples.size(); ++i) {
        track.samples[start + i] += speech.samples[i];
    }
}

std::vector<double> envelope(const MonoSignal& signal)
{
    const auto step = std::size_t(envelopeStep * signal.sampleRate);
    std::vector<double> levels;
    for (std::size_t at = 0; step && at + step <= signal.samples.size(); at += step) {
        double sum = 0;
        for (std::size_t i = at; i < at + step; ++i) {
            sum += double(signal.samples[i]) * signal.samples[i];
        }
        levels.push_back(std::log10(sum / double(step) + 1e-10));
    }
    return levels;
}

} // namespace

double MonoSignal::power(double from, double to) const
{
    const auto begin = std::size_t(std::clamp(from * sampleRate, 0.0, double(samples.size())));
    const auto end = std::size_t(std::clamp(to * sampleRate, 0.0, double(samples.size())));
    if (end <= begin) {
        return 0;
    }
    double sum = 0;
    for (std::size_t i = begin; i < end; ++i) {
        sum += double(samples[i]) * samples[i];
    }
    return sum / double(end - begin);
}

MonoSignal readMono(const QString& path)
{
    RecordedAudio audio = RecordedAudio::fromTrack(path);
    return { audio.sampleRate, std::move(audio.mono) };
}

double decibels(double powerRatio)
{
    return 10 * std::log10(std::max(powerRatio, 1e-30));
}

double envelopeLag(
    const MonoSignal& reference, const MonoSignal& other, double from, double to, double maximumLag)
{
    const std::vector<double> a = envelope(reference);
    const std::vector<double> b = envelope(other);
    const auto first = std::ptrdiff_t(from / envelopeStep);
    const auto last = std::ptrdiff_t(to / envelopeStep);
    const auto reach = std::ptrdiff_t(maximumLag / envelopeStep);
    double best = -1e300;
    std::ptrdiff_t bestLag = 0;
    for (std::ptrdiff_t lag = -reach; lag <= reach; ++lag) {
        double score = 0;
        for (std::ptrdiff_t i = first; i < last; ++i) {
            const std::ptrdiff_t j = i + lag;
            if (i >= 0 && i < std::ptrdiff_t(a.size()) && j >= 0 && j < std::ptrdiff_t(b.size())) {
                score -= std::abs(a[std::size_t(i)] - b[std::size_t(j)]);
            } else {
                score -= 10;
            }
        }
        if (score > best) {
            best = score;
            bestLag = lag;
        }
    }
    return double(bestLag) * envelopeStep;
}

EchoScenario EchoScenario::make(const QString& folder, bool withDoubleTalk)
{
    const MonoSignal far = speak(folder, QStringLiteral("far"), QStringLiteral("fr+m3"),
        QStringLiteral("Bonjour à tous, nous commençons par le budget du trimestre. Les chiffres "
                       "sont meilleurs que prévu, surtout pour les ventes en ligne."));
    const MonoSignal near = speak(folder, QStringLiteral("near"), QStringLiteral("fr+f2"),
        QStringLiteral("Merci, je voudrais ajouter une remarque sur le calendrier de livraison."));
    const MonoSignal farAgain = speak(folder, QStringLiteral("far2"), QStringLiteral("fr+m3"),
        QStringLiteral("Passons maintenant au recrutement, aux nouveaux bureaux de Lyon et au "
                       "calendrier des entretiens de la rentrée."));
    const MonoSignal nearAgain = speak(folder, QStringLiteral("near2"), QStringLiteral("fr+f2"),
        QStringLiteral("Attendez, il manque encore les chiffres de la semaine dernière, et je "
                       "ne les retrouve pas dans le dossier partagé."));
    EchoScenario scenario;
    if (far.samples.empty() || near.samples.empty() || farAgain.samples.empty()
        || nearAgain.samples.empty() || far.sampleRate != near.sampleRate) {
        return scenario;
    }
    MonoSignal call { far.sampleRate, {} };
    MonoSignal local { far.sampleRate, {} };
    double at = 0.5;
    place(call, far, at);
    scenario.farEndOnly = { at, at + far.seconds() };
    at = scenario.farEndOnly.end + 1.0;
    place(local, near, at);
    scenario.nearEndOnly = { at, at + near.seconds() };
    at = scenario.nearEndOnly.end + 1.0;
    if (withDoubleTalk) {
        // The local voice starts a little later so that the whole of it meets the call.
        place(call, farAgain, at);
        place(local, nearAgain, at + 0.3);
        scenario.doubleTalk
            = { at + 0.3, std::min(at + farAgain.seconds(), at + 0.3 + nearAgain.seconds()) };
        at = std::max(at + farAgain.seconds(), at + 0.3 + nearAgain.seconds());
    }
    scenario.seconds = at + 0.5;
    const auto length = std::size_t(scenario.seconds * call.sampleRate);
    call.samples.resize(length, 0.0f);
    local.samples.resize(length, 0.0f);
    const QString callPath = folder + QStringLiteral("/call.wav");
    const QString localPath = folder + QStringLiteral("/local.wav");
    if (!writeFloatWav(callPath, call.samples, call.sampleRate)
        || !writeFloatWav(localPath, local.samples, local.sampleRate)) {
        return scenario;
    }
    scenario.call = callPath;
    scenario.local = localPath;
    scenario.callSignal = std::move(call);
    scenario.localSignal = std::move(local);
    return scenario;
}
