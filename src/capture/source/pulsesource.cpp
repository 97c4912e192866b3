#include "source/pulsesource.h"

#include "audiopermissionhelp.h"
#include "captureerror.h"
#include "hostclock.h"
#include "platformtext.h"
#include "source/pulseserver.h"
#include "source/pulsestreamreader.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <pulse/pulseaudio.h>
#include <pulse/timeval.h>
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

} // namespace

struct PulseSource::Stream
{
    Role role;
    QByteArray server;
    pa_threaded_mainloop* loop = nullptr;
    bool loopRunning = false;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    pa_sample_spec spec {};
    pa_channel_map map {};
    PcmFormat format;
    QByteArray device;
    // The microphone's stream was moved by the server: nothing is read until the new device is
    // known not to be a sink's monitor.
    bool checkingMove = false;
    PulseStreamReader reader { [this](std::uint64_t first) {
        noteResumption(first);
    } };
    // Counts the streams, so that the handler can tell a new one (a new device) from the next
    // buffer of the same.
    std::atomic<std::uint64_t> streams = 0;

    // From a successful start until the stop: the input follows the default device and comes
    // back after a server restart.
    bool following = false;
    pa_time_event* retryTimer = nullptr;
    int retries = 0;
    std::optional<AudioLoss::Cause> interruption; // why the current silence began
    std::vector<AudioLoss> losses;

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

    [[nodiscard]] pa_context* newContext()
    {
        const Proplist properties;
        pa_context* created = pa_context_new_with_proplist(
            pa_threaded_mainloop_get_api(loop), "Parlevox", properties.list);
        if (created) {
            pa_context_set_state_callback(
                created,
                [](pa_context* context, void* userdata) {
                    static_cast<Stream*>(userdata)->contextChanged(context);
                },
                this);
        }
        return created;
    }

    // Starts the main loop and connects to the server (the default one when `server` is empty).
    void connect(const QByteArray& address)
    {
        server = address;
        loop = pa_threaded_mainloop_new();
        if (!loop) {
            throwOpenFailure(role, PA_ERR_INTERNAL);
        }
        pa_threaded_mainloop_set_name(
            loop, role == Role::microphone ? "Parlevox.mic" : "Parlevox.call");
        context = newContext();
        if (!context) {
            throwOpenFailure(role, PA_ERR_INTERNAL);
        }
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

    // The server's defaults and its devices, main loop locked; a failed request fails the open.
    ServerInfo serverInfo() { return answered(queryServer(loop, context)); }
    DeviceInfo sourceInfo(const QByteArray& name)
    {
        return answered(querySource(loop, context, name));
    }
    DeviceInfo sinkInfo(const QByteArray& name) { return answered(querySink(loop, context, name)); }

    template<typename Info> Info answered(std::optional<Info> info)
    {
        if (!info) {
            throwOpenFailure(role, contextError());
        }
        return std::move(*info);
    }

    // The microphone records a source in its own rate and channels; the call a sink's monitor as
    // stereo in the sink's rate. False when the device cannot be recorded so.
    bool useDevice(
        const QByteArray& name, const pa_sample_spec& deviceSpec, const pa_channel_map& deviceMap)
    {
        const std::uint8_t channels = role == Role::microphone ? deviceSpec.channels : 2;
        const pa_sample_spec wanted { PA_SAMPLE_FLOAT32NE, deviceSpec.rate, channels };
        if (deviceSpec.rate == 0 || channels == 0 || !pa_sample_spec_valid(&wanted)) {
            return false;
        }
        spec = wanted;
        format = { int(spec.rate), int(spec.channels), SampleType::Float32, true };
        if (role == Role::microphone) {
            map = deviceMap;
            if (!pa_channel_map_compatible(&map, &spec)) {
                pa_channel_map_init_extend(&map, spec.channels, PA_CHANNEL_MAP_DEFAULT);
            }
        } else {
            pa_channel_map_init_stereo(&map);
        }
        device = name;
        return true;
    }

    void openMicrophone(const QByteArray& address)
    {
        connect(address);
        MainLoopLock lock(loop);
        const QByteArray name = serverInfo().defaultSource;
        if (name.isEmpty()) {
            throwNoMicrophone();
        }
        const DeviceInfo source = sourceInfo(name);
        if (!source.found || source.isMonitor || !useDevice(name, source.spec, source.map)) {
            throwNoMicrophone();
        }
    }

    void openSystemAudio(const QByteArray& address)
    {
        connect(address);
        MainLoopLock lock(loop);
        const QByteArray sinkName = serverInfo().defaultSink;
        if (sinkName.isEmpty()) {
            throwOpenFailure(role, PA_ERR_NOENTITY);
        }
        const DeviceInfo sink = sinkInfo(sinkName);
        if (!sink.found || sink.monitorSource.isEmpty()) {
            throwOpenFailure(role, PA_ERR_NOENTITY);
        }
        if (!useDevice(sink.monitorSource, sink.spec, {})) {
            throw CaptureError(QStringLiteral("Format audio du système indisponible."));
        }
    }

    // Creates the record stream on `device` and starts connecting it (main loop locked).
    bool openStream()
    {
        const char* name = role == Role::microphone ? "Micro de la réunion" : "Audio de l’appel";
        const Proplist properties(name);
        stream = pa_stream_new_with_proplist(context, name, &spec, &map, properties.list);
        if (!stream) {
            return false;
        }
        reader.begin(spec, format);
        checkingMove = false;
        ++streams;
        pa_stream_set_state_callback(
            stream,
            [](pa_stream* stream, void* userdata) {
                static_cast<Stream*>(userdata)->streamChanged(stream);
            },
            this);
        pa_stream_set_read_callback(
            stream,
            [](pa_stream* stream, size_t, void* userdata) {
                static_cast<Stream*>(userdata)->readAvailable(stream);
            },
            this);
        pa_stream_set_latency_update_callback(
            stream,
            [](pa_stream* stream, void* userdata) {
                static_cast<Stream*>(userdata)->reader.timingArrived(stream);
            },
            this);
        if (role == Role::microphone) {
            pa_stream_set_moved_callback(
                stream,
                [](pa_stream* stream, void* userdata) {
                    static_cast<Stream*>(userdata)->moved(stream);
                },
                this);
        }
        pa_buffer_attr attributes;
        attributes.maxlength = std::uint32_t(-1);
        attributes.tlength = std::uint32_t(-1);
        attributes.prebuf = std::uint32_t(-1);
        attributes.minreq = std::uint32_t(-1);
        attributes.fragsize = std::uint32_t(pa_usec_to_bytes(fragmentUsec, &spec));
        const auto flags = pa_stream_flags_t(
            PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        return pa_stream_connect_record(stream, device.constData(), &attributes, flags) >= 0;
    }

    // Releases the current stream (main loop locked); what it received and audio still held are
    // delivered first, unless it comes from a device that must not be recorded.
    void closeStream(bool deliverUnread = true) noexcept
    {
        if (!stream) {
            return;
        }
        if (loopRunning && deliverUnread) {
            deliverRemaining();
        }
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_latency_update_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        reader.releaseHeld();
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
    }

    void start(Handler newHandler)
    {
        if (!loop || !context || stream) {
            return;
        }
        MainLoopLock lock(loop);
        reader.setHandler(std::move(newHandler));
        if (!openStream()) {
            throwStartFailure(role, contextError());
        }
        for (;;) {
            const pa_stream_state_t state = pa_stream_get_state(stream);
            if (state == PA_STREAM_READY) {
                break;
            }
            if (!PA_STREAM_IS_GOOD(state)) {
                throwStartFailure(role, contextError());
            }
            pa_threaded_mainloop_wait(loop);
        }
        following = true;
        subscribe();
    }

    // Device changes and server restarts (main-loop thread) ------------------------------------

    // Listens for default-device changes and devices coming and going.
    void subscribe()
    {
        pa_context_set_subscribe_callback(
            context,
            [](pa_context* context, pa_subscription_event_type_t event, uint32_t, void* userdata) {
                auto* self = static_cast<Stream*>(userdata);
                const auto facility = event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
                const auto kind = event & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
                if (context == self->context
                    && (facility == PA_SUBSCRIPTION_EVENT_SERVER
                        || kind != PA_SUBSCRIPTION_EVENT_CHANGE)) {
                    self->follow();
                }
            },
            this);
        const auto mask = pa_subscription_mask_t(
            PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE);
        if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr)) {
            pa_operation_unref(operation);
        }
    }

    // Looks up the current default device and moves the recording there if it changed.
    void follow()
    {
        if (!following || !context || pa_context_get_state(context) != PA_CONTEXT_READY) {
            return;
        }
        pa_operation* operation = pa_context_get_server_info(
            context,
            [](pa_context* context, const pa_server_info* server, void* userdata) {
                auto* self = static_cast<Stream*>(userdata);
                if (server && context == self->context) {
                    self->lookUpDefault(server);
                }
            },
            this);
        if (operation) {
            pa_operation_unref(operation);
        }
    }

    void lookUpDefault(const pa_server_info* server)
    {
        pa_operation* operation = nullptr;
        if (role == Role::microphone) {
            if (!server->default_source_name) {
                return;
            }
            operation = pa_context_get_source_info_by_name(
                context, server->default_source_name,
                [](pa_context* context, const pa_source_info* source, int, void* userdata) {
                    auto* self = static_cast<Stream*>(userdata);
                    // A sink's monitor is no microphone: the recording stays where it is.
                    if (source && context == self->context
                        && source->monitor_of_sink == PA_INVALID_INDEX) {
                        self->moveTo(source->name, source->sample_spec, source->channel_map);
                    }
                },
                this);
        } else {
            if (!server->default_sink_name) {
                return;
            }
            operation = pa_context_get_sink_info_by_name(
                context, server->default_sink_name,
                [](pa_context* context, const pa_sink_info* sink, int, void* userdata) {
                    auto* self = static_cast<Stream*>(userdata);
                    if (sink && context == self->context && sink->monitor_source_name) {
                        self->moveTo(sink->monitor_source_name, sink->sample_spec, {});
                    }
                },
                this);
        }
        if (operation) {
            pa_operation_unref(operation);
        }
    }

    void moveTo(
        const QByteArray& name, const pa_sample_spec& deviceSpec, const pa_channel_map& deviceMap)
    {
        if (!following) {
            return;
        }
        if (stream && PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
            // The server may have moved the stream there itself, converting as it goes.
            const char* current = pa_stream_get_state(stream) == PA_STREAM_READY
                ? pa_stream_get_device_name(stream)
                : nullptr;
            if (name == device || (current && name == current)) {
                device = name;
                return;
            }
        }
        interrupt(AudioLoss::Cause::deviceChange);
        if (!useDevice(name, deviceSpec, deviceMap) || !openStream()) {
            closeStream();
            scheduleRetry();
        }
    }

    // The current stream ends; the silence that follows is put down to `cause`.
    void interrupt(AudioLoss::Cause cause, bool deliverUnread = true)
    {
        if (!interruption) {
            interruption = cause;
        }
        closeStream(deliverUnread);
    }

    // The server moved the microphone's stream, as it does when its device goes away. Onto a
    // sink's monitor it would record the call into the microphone's track: the microphone is then
    // lost until a real one is the default again.
    void moved(pa_stream* movedStream)
    {
        if (!following || movedStream != stream) {
            return;
        }
        // What came before the move is the old device's.
        readAvailable(movedStream, true);
        checkingMove = true;
        pa_operation* operation = pa_context_get_source_info_by_index(
            context, pa_stream_get_device_index(movedStream),
            [](pa_context* context, const pa_source_info* source, int, void* userdata) {
                auto* self = static_cast<Stream*>(userdata);
                if (!source || context != self->context || !self->stream || !self->checkingMove
                    || source->index != pa_stream_get_device_index(self->stream)) {
                    return;
                }
                if (source->monitor_of_sink != PA_INVALID_INDEX) {
                    self->interrupt(AudioLoss::Cause::deviceChange, false);
                    return;
                }
                self->checkingMove = false;
                self->device = source->name;
                ++self->streams;
                self->readAvailable(self->stream);
            },
            this);
        if (operation) {
            pa_operation_unref(operation);
        } else {
            checkingMove = false;
        }
    }

    void contextChanged(pa_context* changed)
    {
        signalLoop(loop);
        if (!following || changed != context) {
            return;
        }
        const pa_context_state_t state = pa_context_get_state(changed);
        if (state == PA_CONTEXT_READY) {
            subscribe();
            follow();
        } else if (!PA_CONTEXT_IS_GOOD(state)) {
            interrupt(AudioLoss::Cause::serverRestart);
            scheduleRetry();
        }
    }

    void streamChanged(pa_stream* changed)
    {
        signalLoop(loop);
        if (changed != stream) {
            return;
        }
        const pa_stream_state_t state = pa_stream_get_state(changed);
        if (state == PA_STREAM_READY) {
            recordAtFullLevel();
            retries = 0;
        } else if (following && !PA_STREAM_IS_GOOD(state)) {
            // The device went away (unplugged, module unloaded): the server picks another default.
            interrupt(AudioLoss::Cause::deviceChange);
            scheduleRetry();
        }
    }

    // The server gives a new stream the level and mute the mixer last set for Parlevox, which
    // both inputs share: muting the microphone there would mute the next call too. Every stream
    // records unmuted at full level; the user can still turn it down while it runs.
    void recordAtFullLevel()
    {
        const std::uint32_t index = pa_stream_get_index(stream);
        pa_cvolume volume;
        pa_cvolume_set(&volume, spec.channels, PA_VOLUME_NORM);
        for (pa_operation* operation :
            { pa_context_set_source_output_volume(context, index, &volume, nullptr, nullptr),
                pa_context_set_source_output_mute(context, index, 0, nullptr, nullptr) }) {
            if (operation) {
                pa_operation_unref(operation);
            }
        }
    }

    // Tries again after a short pause that grows with every attempt: 100, 200, 400, then 800 ms.
    void scheduleRetry()
    {
        const pa_usec_t delay = pa_usec_t(100'000) << std::min(retries, 3);
        ++retries;
        timeval when {};
        pa_gettimeofday(&when);
        pa_timeval_add(&when, delay);
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop);
        if (retryTimer) {
            api->time_restart(retryTimer, &when);
            return;
        }
        retryTimer = api->time_new(
            api, &when,
            [](pa_mainloop_api*, pa_time_event*, const timeval*, void* userdata) {
                static_cast<Stream*>(userdata)->retry();
            },
            this);
    }

    void retry()
    {
        if (!following) {
            return;
        }
        if (context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
            follow();
            return;
        }
        // The server went away: a new connection, on the same address.
        dropContext();
        context = newContext();
        if (!context
            || pa_context_connect(context, server.isEmpty() ? nullptr : server.constData(),
                   PA_CONTEXT_NOAUTOSPAWN, nullptr)
                < 0) {
            scheduleRetry();
        }
    }

    void dropContext() noexcept
    {
        if (!context) {
            return;
        }
        pa_context_set_state_callback(context, nullptr, nullptr);
        pa_context_set_subscribe_callback(context, nullptr, nullptr);
        pa_context_disconnect(context);
        pa_context_unref(context);
        context = nullptr;
    }

    // Reading and resumption (main-loop thread) -----------------------------------------------

    // Nothing is read while a moved microphone's new device is checked.
    void readAvailable(pa_stream* readable, bool everything = false)
    {
        if (!checkingMove) {
            reader.read(readable, everything);
        }
    }

    // Audio flows again after an interruption: what lies between is lost.
    void noteResumption(std::uint64_t first)
    {
        const std::optional<std::uint64_t> lastEnd = reader.lastEnd();
        if (interruption && lastEnd && first > *lastEnd) {
            losses.push_back({ input(), *interruption, hostTimeToSeconds(first - *lastEnd) });
        }
        interruption.reset();
    }

    [[nodiscard]] AudioLoss::Input input() const
    {
        return role == Role::microphone ? AudioLoss::Input::microphone : AudioLoss::Input::call;
    }

    // Hands over, on the main-loop thread, what the stream received but did not deliver yet
    // (main loop locked).
    void deliverRemaining() noexcept
    {
        if (!stream || pa_stream_get_state(stream) != PA_STREAM_READY) {
            return;
        }
        if (pa_threaded_mainloop_in_thread(loop)) {
            readAvailable(stream, true);
            return;
        }
        struct Request
        {
            Stream* self;
            bool done = false;
        } request { this };
        pa_mainloop_api_once(
            pa_threaded_mainloop_get_api(loop),
            [](pa_mainloop_api*, void* userdata) {
                auto* request = static_cast<Request*>(userdata);
                Stream& self = *request->self;
                if (self.stream && pa_stream_get_state(self.stream) == PA_STREAM_READY) {
                    self.readAvailable(self.stream, true);
                }
                request->done = true;
                signalLoop(self.loop);
            },
            &request);
        while (!request.done) {
            pa_threaded_mainloop_wait(loop);
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
        following = false;
        if (retryTimer) {
            pa_threaded_mainloop_get_api(loop)->time_free(retryTimer);
            retryTimer = nullptr;
        }
        closeStream();
        // Still waiting for the input to come back: lost until now.
        const std::optional<std::uint64_t> lastEnd = reader.lastEnd();
        if (interruption && lastEnd) {
            const std::uint64_t now = currentHostTime();
            losses.push_back({ input(),
                *interruption == AudioLoss::Cause::serverRestart ? AudioLoss::Cause::serverLost
                                                                 : *interruption,
                hostTimeToSeconds(now - std::min(now, *lastEnd)) });
            interruption.reset();
        }
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
        }
        if (loopRunning) {
            pa_threaded_mainloop_unlock(loop);
            pa_threaded_mainloop_stop(loop);
            loopRunning = false;
        }
        if (context) {
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_free(loop);
        loop = nullptr;
        reader.setHandler(nullptr);
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

std::uint64_t PulseSource::streamNumber() const
{
    return m_stream->streams.load(std::memory_order_relaxed);
}

bool PulseSource::measuresTime() const
{
    return true;
}

std::optional<std::uint64_t> PulseSource::measuredTime() const
{
    return m_stream->reader.measured();
}

std::vector<AudioLoss> PulseSource::losses() const
{
    if (m_stream->loop && m_stream->loopRunning) {
        MainLoopLock lock(m_stream->loop);
        return m_stream->losses;
    }
    return m_stream->losses;
}
