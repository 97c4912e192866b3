#include "pulsesource.h"

#include "audiopermissionhelp.h"
#include "captureerror.h"
#include "hostclock.h"
#include "platformtext.h"

#include <algorithm>
#include <pulse/pulseaudio.h>
#include <span>
#include <utility>
#include <vector>

namespace {

enum class Role
{
    microphone,
    systemAudio,
};

// Chunks of about 20 ms: short enough for a prompt first buffer, long enough to stay cheap.
constexpr pa_usec_t fragmentUsec = 20'000;
// The first frame's time is the median of this many estimates (about 0.3 s of audio), and audio
// is held back for a second at most while they come in.
constexpr std::size_t settlingEstimates = 15;
constexpr std::uint64_t maximumHoldNanoseconds = 1'000'000'000;

[[noreturn]] void throwNoMicrophone()
{
    throw CaptureError(
        QStringLiteral("Aucun micro disponible. Vérifiez votre périphérique d’entrée."));
}

// A failure while opening a source: refused access is the permission, anything else means the
// input is not there (microphone) or carries the libpulse error number (call).
[[noreturn]] void throwOpenFailure(Role role, int error)
{
    if (error == PA_ERR_ACCESS) {
        throw AudioPermissionHelp(role == Role::microphone ? AudioPermissionHelp::microphone
                                                           : AudioPermissionHelp::systemAudio);
    }
    if (role == Role::microphone) {
        throwNoMicrophone();
    }
    throw CaptureError(QStringLiteral("Impossible de démarrer l’audio du système (%1).")
                           .arg(error == PA_OK ? int(PA_ERR_UNKNOWN) : error));
}

// A failure while starting an opened source; the microphone passes the library's own text on.
[[noreturn]] void throwStartFailure(Role role, int error)
{
    if (role == Role::microphone && error != PA_ERR_ACCESS) {
        throw PlatformError(pulseErrorText(error));
    }
    throwOpenFailure(role, error);
}

class MainLoopLock
{
public:
    explicit MainLoopLock(pa_threaded_mainloop* loop)
        : m_loop(loop)
    {
        pa_threaded_mainloop_lock(m_loop);
    }
    ~MainLoopLock() { pa_threaded_mainloop_unlock(m_loop); }
    MainLoopLock(const MainLoopLock&) = delete;
    MainLoopLock& operator=(const MainLoopLock&) = delete;

private:
    pa_threaded_mainloop* m_loop;
};

void signalLoop(pa_threaded_mainloop* loop)
{
    pa_threaded_mainloop_signal(loop, 0);
}

struct ServerInfo
{
    pa_threaded_mainloop* loop;
    QByteArray defaultSink;
    QByteArray defaultSource;
};

struct DeviceInfo
{
    pa_threaded_mainloop* loop;
    bool found = false;
    bool isMonitor = false;
    pa_sample_spec spec {};
    pa_channel_map map {};
    QByteArray monitorSource;
};

} // namespace

struct PulseSource::Stream
{
    Role role;
    pa_threaded_mainloop* loop = nullptr;
    bool loopRunning = false;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_sample_spec spec {};
    pa_channel_map map {};
    PcmFormat format;
    QByteArray device;
    Handler handler;
    // The first moments of audio wait here while the time of their first frame is estimated from
    // the chunks that follow: timing known when audio begins to flow is stale and can be tens of
    // milliseconds off, and a single estimate carries the jitter of one timing report.
    std::vector<std::byte> held;
    std::vector<std::uint64_t> firstFrameEstimates;
    bool settled = false;
    int timingUpdates = 0;
    int timingUpdatesAtFirstData = -1;

    explicit Stream(Role role)
        : role(role)
    { }
    ~Stream() { release(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    [[nodiscard]] int contextError() const
    {
        const int error = context ? pa_context_errno(context) : PA_ERR_INTERNAL;
        return error == PA_OK ? int(PA_ERR_UNKNOWN) : error;
    }

    // Starts the main loop and connects to the server (the default one when `server` is empty).
    void connect(const QByteArray& server)
    {
        loop = pa_threaded_mainloop_new();
        if (!loop) {
            throwOpenFailure(role, PA_ERR_INTERNAL);
        }
        pa_threaded_mainloop_set_name(
            loop, role == Role::microphone ? "Parlevox.audio.mic" : "Parlevox.audio.system");
        context = pa_context_new(pa_threaded_mainloop_get_api(loop), "Parlevox");
        if (!context) {
            throwOpenFailure(role, PA_ERR_INTERNAL);
        }
        pa_context_set_state_callback(
            context,
            [](pa_context*, void* userdata) {
                signalLoop(static_cast<pa_threaded_mainloop*>(userdata));
            },
            loop);
        if (pa_threaded_mainloop_start(loop) < 0) {
            throwOpenFailure(role, PA_ERR_INTERNAL);
        }
        loopRunning = true;

        MainLoopLock lock(loop);
        if (pa_context_connect(context, server.isEmpty() ? nullptr : server.constData(),
                PA_CONTEXT_NOAUTOSPAWN, nullptr)
            < 0) {
            throwOpenFailure(role, contextError());
        }
        for (;;) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state == PA_CONTEXT_READY) {
                return;
            }
            if (!PA_CONTEXT_IS_GOOD(state)) {
                throwOpenFailure(role, contextError());
            }
            pa_threaded_mainloop_wait(loop);
        }
    }

    // Waits (main loop locked) for an introspection request to complete.
    void await(pa_operation* operation)
    {
        if (!operation) {
            throwOpenFailure(role, contextError());
        }
        while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
            pa_threaded_mainloop_wait(loop);
        }
        pa_operation_unref(operation);
        if (pa_context_get_state(context) != PA_CONTEXT_READY) {
            throwOpenFailure(role, contextError());
        }
    }

    ServerInfo serverInfo()
    {
        ServerInfo info { loop, {}, {} };
        await(pa_context_get_server_info(
            context,
            [](pa_context*, const pa_server_info* server, void* userdata) {
                auto* info = static_cast<ServerInfo*>(userdata);
                if (server) {
                    info->defaultSink = server->default_sink_name;
                    info->defaultSource = server->default_source_name;
                }
                signalLoop(info->loop);
            },
            &info));
        return info;
    }

    DeviceInfo sourceInfo(const QByteArray& name)
    {
        DeviceInfo info { loop };
        await(pa_context_get_source_info_by_name(
            context, name.constData(),
            [](pa_context*, const pa_source_info* source, int, void* userdata) {
                auto* info = static_cast<DeviceInfo*>(userdata);
                if (source) {
                    info->found = true;
                    info->isMonitor = source->monitor_of_sink != PA_INVALID_INDEX;
                    info->spec = source->sample_spec;
                    info->map = source->channel_map;
                }
                signalLoop(info->loop);
            },
            &info));
        return info;
    }

    DeviceInfo sinkInfo(const QByteArray& name)
    {
        DeviceInfo info { loop };
        await(pa_context_get_sink_info_by_name(
            context, name.constData(),
            [](pa_context*, const pa_sink_info* sink, int, void* userdata) {
                auto* info = static_cast<DeviceInfo*>(userdata);
                if (sink) {
                    info->found = true;
                    info->spec = sink->sample_spec;
                    info->monitorSource = sink->monitor_source_name;
                }
                signalLoop(info->loop);
            },
            &info));
        return info;
    }

    void useFormat(std::uint32_t rate, std::uint8_t channels)
    {
        spec = { PA_SAMPLE_FLOAT32NE, rate, channels };
        format = { int(rate), int(channels), SampleType::Float32, true };
    }

    void openMicrophone(const QByteArray& server)
    {
        connect(server);
        MainLoopLock lock(loop);
        const QByteArray name = serverInfo().defaultSource;
        if (name.isEmpty()) {
            throwNoMicrophone();
        }
        const DeviceInfo source = sourceInfo(name);
        if (!source.found || source.isMonitor || source.spec.channels == 0
            || source.spec.rate == 0) {
            throwNoMicrophone();
        }
        useFormat(source.spec.rate, source.spec.channels);
        if (!pa_sample_spec_valid(&spec)) {
            throwNoMicrophone();
        }
        map = source.map;
        if (!pa_channel_map_compatible(&map, &spec)) {
            pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
        }
        device = name;
    }

    void openSystemAudio(const QByteArray& server)
    {
        connect(server);
        MainLoopLock lock(loop);
        const QByteArray sinkName = serverInfo().defaultSink;
        if (sinkName.isEmpty()) {
            throwOpenFailure(role, PA_ERR_NOENTITY);
        }
        const DeviceInfo sink = sinkInfo(sinkName);
        if (!sink.found || sink.monitorSource.isEmpty()) {
            throwOpenFailure(role, PA_ERR_NOENTITY);
        }
        useFormat(sink.spec.rate, 2);
        if (!pa_sample_spec_valid(&spec)) {
            throw CaptureError(QStringLiteral("Format audio du système indisponible."));
        }
        pa_channel_map_init_stereo(&map);
        device = sink.monitorSource;
    }

    void start(Handler newHandler)
    {
        if (!loop || !context || stream) {
            return;
        }
        MainLoopLock lock(loop);
        handler = std::move(newHandler);
        stream = pa_stream_new(
            context, role == Role::microphone ? "Micro" : "Audio de l’appel", &spec, &map);
        if (!stream) {
            throwStartFailure(role, contextError());
        }
        pa_stream_set_state_callback(
            stream,
            [](pa_stream*, void* userdata) {
                signalLoop(static_cast<pa_threaded_mainloop*>(userdata));
            },
            loop);
        pa_stream_set_read_callback(
            stream,
            [](pa_stream* stream, size_t, void* userdata) {
                static_cast<Stream*>(userdata)->readAvailable(stream);
            },
            this);
        pa_stream_set_latency_update_callback(
            stream,
            [](pa_stream*, void* userdata) { ++static_cast<Stream*>(userdata)->timingUpdates; },
            this);
        pa_buffer_attr attributes;
        attributes.maxlength = std::uint32_t(-1);
        attributes.tlength = std::uint32_t(-1);
        attributes.prebuf = std::uint32_t(-1);
        attributes.minreq = std::uint32_t(-1);
        attributes.fragsize = std::uint32_t(pa_usec_to_bytes(fragmentUsec, &spec));
        const auto flags = pa_stream_flags_t(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_record(stream, device.constData(), &attributes, flags) < 0) {
            throwStartFailure(role, contextError());
        }
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY) {
                return;
            }
            if (!PA_STREAM_IS_GOOD(state)) {
                throwStartFailure(role, contextError());
            }
            pa_threaded_mainloop_wait(loop);
        }
    }

    // Host time of the first frame of the chunk at the read position: now, minus the audio that
    // the source captured since then (the stream latency; negative for a monitor whose sink plays
    // later than it renders).
    [[nodiscard]] std::uint64_t firstFrameHostTime(pa_stream* stream) const
    {
        const std::uint64_t now = currentHostTime();
        pa_usec_t latency = 0;
        int negative = 0;
        if (pa_stream_get_latency(stream, &latency, &negative) < 0) {
            // No timing yet: at least what waits in the client buffer was captured before now.
            latency = pa_bytes_to_usec(pa_stream_readable_size(stream), &spec);
            negative = 0;
        }
        const std::uint64_t nanoseconds = std::uint64_t(latency) * 1000u;
        return negative ? now + nanoseconds : now - std::min(now, nanoseconds);
    }

    void deliver(std::span<const std::byte> bytes, std::uint64_t hostTime)
    {
        const std::int64_t frames = std::int64_t(bytes.size() / pa_frame_size(&spec));
        if (frames > 0 && handler) {
            handler(PcmBuffer { format, frames,
                        bytes.first(std::size_t(frames) * pa_frame_size(&spec)) },
                hostTime);
        }
    }

    [[nodiscard]] std::uint64_t heldNanoseconds() const
    {
        return std::uint64_t(pa_bytes_to_usec(held.size(), &spec)) * 1000u;
    }

    // Hands over the held audio as one buffer, its first frame at the median estimate, or just
    // before the chunk at `nextHostTime` when there is none.
    void deliverHeld(std::uint64_t nextHostTime)
    {
        settled = true;
        if (held.empty()) {
            return;
        }
        std::uint64_t first = nextHostTime - std::min(nextHostTime, heldNanoseconds());
        if (!firstFrameEstimates.empty()) {
            const auto middle
                = firstFrameEstimates.begin() + std::ptrdiff_t(firstFrameEstimates.size() / 2);
            std::nth_element(firstFrameEstimates.begin(), middle, firstFrameEstimates.end());
            first = *middle;
        }
        deliver(held, first);
        held = {};
        firstFrameEstimates = {};
    }

    void accept(pa_stream* stream, std::span<const std::byte> chunk)
    {
        const std::uint64_t hostTime = firstFrameHostTime(stream);
        if (!settled) {
            if (timingUpdatesAtFirstData < 0) {
                timingUpdatesAtFirstData = timingUpdates;
                if (pa_operation* update = pa_stream_update_timing_info(stream, nullptr, nullptr)) {
                    pa_operation_unref(update);
                }
            }
            // Once timing reported after the start has arrived, every chunk gives an estimate
            // of when the first held frame was captured.
            if (timingUpdates > timingUpdatesAtFirstData) {
                firstFrameEstimates.push_back(hostTime - std::min(hostTime, heldNanoseconds()));
            }
            if (firstFrameEstimates.size() < settlingEstimates
                && heldNanoseconds() < maximumHoldNanoseconds) {
                held.insert(held.end(), chunk.begin(), chunk.end());
                return;
            }
            deliverHeld(hostTime);
        }
        deliver(chunk, hostTime);
    }

    void readAvailable(pa_stream* stream)
    {
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            std::size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) {
                return;
            }
            // A hole (no data, non-zero size) is dropped without being delivered.
            if (data) {
                accept(stream, { static_cast<const std::byte*>(data), bytes });
            }
            pa_stream_drop(stream);
        }
    }

    // Releases in the reverse order of creation: stream, connection, main loop.
    void release() noexcept
    {
        if (!loop) {
            return;
        }
        if (loopRunning) {
            pa_threaded_mainloop_lock(loop);
        }
        if (stream) {
            pa_stream_set_read_callback(stream, nullptr, nullptr);
            pa_stream_set_state_callback(stream, nullptr, nullptr);
            pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
            // Audio still held is kept, placed as well as the timing now allows.
            if (!settled && !held.empty()) {
                deliverHeld(currentHostTime());
            }
            pa_stream_disconnect(stream);
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
        }
        if (loopRunning) {
            pa_threaded_mainloop_unlock(loop);
            pa_threaded_mainloop_stop(loop);
            loopRunning = false;
        }
        if (stream) {
            pa_stream_unref(stream);
            stream = nullptr;
        }
        if (context) {
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
        handler = nullptr;
    }
};

PulseSource::PulseSource(std::unique_ptr<Stream> stream)
    : m_stream(std::move(stream))
{ }

PulseSource::~PulseSource() = default;

std::unique_ptr<PulseSource> PulseSource::openMicrophone(const QByteArray& server)
{
    // The stream is released by its own destructor if opening throws half-way.
    auto stream = std::make_unique<Stream>(Role::microphone);
    stream->openMicrophone(server);
    return std::unique_ptr<PulseSource>(new PulseSource(std::move(stream)));
}

std::unique_ptr<PulseSource> PulseSource::openSystemAudio(const QByteArray& server)
{
    auto stream = std::make_unique<Stream>(Role::systemAudio);
    stream->openSystemAudio(server);
    return std::unique_ptr<PulseSource>(new PulseSource(std::move(stream)));
}

void PulseSource::start(Handler handler)
{
    m_stream->start(std::move(handler));
}

void PulseSource::stop() noexcept
{
    m_stream->release();
}

const PcmFormat& PulseSource::format() const
{
    return m_stream->format;
}

const QByteArray& PulseSource::device() const
{
    return m_stream->device;
}
