#include "pulseserver.h"

#include <QDeadlineTimer>
#include <algorithm>
#include <functional>
#include <pulse/pulseaudio.h>
#include <sndfile.h>

namespace {

struct Playback
{
    std::vector<float> samples; // interleaved
    pa_sample_spec spec {};
    pa_stream* stream = nullptr;
    std::size_t written = 0; // in samples
    bool drainAsked = false;
    bool drained = false;
};

bool readSound(const QString& path, Playback& playback)
{
    SF_INFO info {};
    SNDFILE* file = sf_open(path.toLocal8Bit().constData(), SFM_READ, &info);
    if (!file) {
        return false;
    }
    playback.samples.resize(std::size_t(info.frames) * std::size_t(info.channels));
    const sf_count_t read = sf_readf_float(file, playback.samples.data(), info.frames);
    sf_close(file);
    playback.spec
        = { PA_SAMPLE_FLOAT32NE, std::uint32_t(info.samplerate), std::uint8_t(info.channels) };
    return read == info.frames && pa_sample_spec_valid(&playback.spec);
}

void writeWhatFits(Playback& playback)
{
    const std::size_t writable = pa_stream_writable_size(playback.stream) / sizeof(float);
    const std::size_t left = playback.samples.size() - playback.written;
    const std::size_t count = std::min(writable - writable % playback.spec.channels, left);
    if (count > 0) {
        pa_stream_write(playback.stream, playback.samples.data() + playback.written,
            count * sizeof(float), nullptr, 0, PA_SEEK_RELATIVE);
        playback.written += count;
    }
}

} // namespace

// paplay processes started side by side may begin seconds' fractions apart (a PipeWire server
// can take that long to set up a stream), so every stream is made corked, filled, and set going
// with the others in one round.
bool PulseServer::playTogether(const std::vector<Sound>& sounds, int latencyMs) const
{
    std::vector<Playback> playbacks(sounds.size());
    for (std::size_t index = 0; index < sounds.size(); ++index) {
        if (!readSound(sounds[index].file, playbacks[index])) {
            return false;
        }
    }
    pa_mainloop* loop = pa_mainloop_new();
    pa_context* context = pa_context_new(pa_mainloop_get_api(loop), "parlevox test player");
    bool ok = pa_context_connect(context, m_controlAddress.constData(), PA_CONTEXT_NOFLAGS, nullptr)
        == 0;
    double seconds = 0;
    for (const Playback& playback : playbacks) {
        seconds = std::max(
            seconds, double(playback.samples.size()) / playback.spec.channels / playback.spec.rate);
    }
    const QDeadlineTimer deadline(std::chrono::milliseconds(qint64(seconds * 1000) + 30000));
    const auto iterateUntil = [&](const std::function<bool()>& done) {
        while (ok && !done()) {
            ok = !deadline.hasExpired() && pa_mainloop_iterate(loop, 1, nullptr) >= 0
                && PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
        }
        return ok;
    };
    iterateUntil([&] { return pa_context_get_state(context) == PA_CONTEXT_READY; });

    for (std::size_t index = 0; ok && index < sounds.size(); ++index) {
        Playback& playback = playbacks[index];
        playback.stream = pa_stream_new(context, "sound", &playback.spec, nullptr);
        const auto bytes = std::uint32_t(
            pa_usec_to_bytes(pa_usec_t(latencyMs) * PA_USEC_PER_MSEC, &playback.spec));
        const pa_buffer_attr attributes { std::uint32_t(-1), bytes, std::uint32_t(-1),
            std::uint32_t(-1), std::uint32_t(-1) };
        ok = playback.stream
            && pa_stream_connect_playback(playback.stream, sounds[index].sink.toUtf8().constData(),
                   &attributes,
                   pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY), nullptr,
                   nullptr)
                == 0;
    }
    const auto allStreams = [&](pa_stream_state_t state) {
        return std::all_of(playbacks.begin(), playbacks.end(), [&](const Playback& playback) {
            const pa_stream_state_t now = pa_stream_get_state(playback.stream);
            ok = ok && PA_STREAM_IS_GOOD(now);
            return now == state;
        });
    };
    iterateUntil([&] { return allStreams(PA_STREAM_READY); });

    // Filled while corked, so that each starts with a full buffer the moment it is set going.
    for (Playback& playback : playbacks) {
        if (ok) {
            writeWhatFits(playback);
        }
    }
    for (Playback& playback : playbacks) {
        if (ok) {
            pa_operation* uncork = pa_stream_cork(playback.stream, 0, nullptr, nullptr);
            ok = uncork != nullptr;
            if (uncork) {
                pa_operation_unref(uncork);
            }
        }
    }
    iterateUntil([&] {
        for (Playback& playback : playbacks) {
            writeWhatFits(playback);
            if (playback.written == playback.samples.size() && !playback.drainAsked) {
                pa_operation* drain = pa_stream_drain(
                    playback.stream,
                    [](pa_stream*, int, void* flag) { *static_cast<bool*>(flag) = true; },
                    &playback.drained);
                if (!drain) {
                    ok = false;
                    return true;
                }
                pa_operation_unref(drain);
                playback.drainAsked = true;
            }
        }
        return std::all_of(playbacks.begin(), playbacks.end(),
            [](const Playback& playback) { return playback.drained; });
    });

    for (const Playback& playback : playbacks) {
        if (playback.stream) {
            pa_stream_disconnect(playback.stream);
            pa_stream_unref(playback.stream);
        }
    }
    pa_context_disconnect(context);
    pa_context_unref(context);
    pa_mainloop_free(loop);
    return ok;
}
