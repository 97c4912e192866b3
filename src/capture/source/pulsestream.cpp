#include "source/pulsestream.h"

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

// Chunks of about 20 ms: short enough for a prompt first buffer, long enough to stay cheap.
constexpr pa_usec_t fragmentUsec = 20'000;

[[noreturn]] void throwNoMicrophone()
{
    throw CaptureError(
        QStringLiteral("Aucun micro disponible. Vérifiez votre périphérique d’entrée."));
}

// A failure while opening a source: refused access is the permission, anything else means the
// input is not there (microphone) or carries the libpulse error number (call).
[[noreturn]] void throwOpenFailure(StreamRole role, int error)
{
    if (error == PA_ERR_ACCESS) {
        throw AudioPermissionHelp(role == StreamRole::microphone
                ? AudioPermissionHelp::microphone
                : AudioPermissionHelp::systemAudio);
    }
    if (role == StreamRole::microphone) {
        throwNoMicrophone();
    }
    throw CaptureError(QStringLiteral("Impossible de démarrer l’audio du système (%1).")
                           .arg(error == PA_OK ? int(PA_ERR_UNKNOWN) : error));
}

// A failure while starting an opened source; the microphone passes the library's own text on.
[[noreturn]] void throwStartFailure(StreamRole role, int error)
{
    if (role == StreamRole::microphone && error != PA_ERR_ACCESS) {
        throw PlatformError(pulseErrorText(error));
    }
    throwOpenFailure(role, error);
}

} // namespace

int PulseSource::Stream::contextError() const
{
    const int error = context ? pa_context_errno(context) : PA_ERR_INTERNAL;
    return error == PA_OK ? int(PA_ERR_UNKNOWN) : error;
}

pa_context* PulseSource::Stream::newContext()
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

void PulseSource::Stream::connect(const QByteArray& address)
{
    server = address;
    loop = pa_threaded_mainloop_new();
    if (!loop) {
        throwOpenFailure(role, PA_ERR_INTERNAL);
    }
    pa_threaded_mainloop_set_name(
        loop, role == StreamRole::microphone ? "Parlevox.mic" : "Parlevox.call");
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

ServerInfo PulseSource::Stream::serverInfo()
{
    return answered(queryServer(loop, context));
}

DeviceInfo PulseSource::Stream::sourceInfo(const QByteArray& name)
{
    return answered(querySource(loop, context, name));
}

DeviceInfo PulseSource::Stream::sinkInfo(const QByteArray& name)
{
    return answered(querySink(loop, context, name));
}

template<typename Info> Info PulseSource::Stream::answered(std::optional<Info> info)
{
    if (!info) {
        throwOpenFailure(role, contextError());
    }
    return std::move(*info);
}

bool PulseSource::Stream::useDevice(
    const QByteArray& name, const pa_sample_spec& deviceSpec, const pa_channel_map& deviceMap)
{
    const std::uint8_t channels = role == StreamRole::microphone ? deviceSpec.channels : 2;
    const pa_sample_spec wanted { PA_SAMPLE_FLOAT32NE, deviceSpec.rate, channels };
    if (deviceSpec.rate == 0 || channels == 0 || !pa_sample_spec_valid(&wanted)) {
        return false;
    }
    spec = wanted;
    format = { int(spec.rate), int(spec.channels), SampleType::Float32, true };
    if (role == StreamRole::microphone) {
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

void PulseSource::Stream::openMicrophone(const QByteArray& address)
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

void PulseSource::Stream::openSystemAudio(const QByteArray& address)
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

bool PulseSource::Stream::openStream()
{
    const char* name = role == StreamRole::microphone ? "Micro de la réunion" : "Audio de l’appel";
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
    if (role == StreamRole::microphone) {
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

void PulseSource::Stream::closeStream(bool deliverUnread) noexcept
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

void PulseSource::Stream::start(Handler newHandler)
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

void PulseSource::Stream::readAvailable(pa_stream* readable, bool everything)
{
    if (!checkingMove) {
        reader.read(readable, everything);
    }
}

void PulseSource::Stream::noteResumption(std::uint64_t first)
{
    const std::optional<std::uint64_t> lastEnd = reader.lastEnd();
    if (interruption && lastEnd && first > *lastEnd) {
        losses.push_back({ input(), *interruption, hostTimeToSeconds(first - *lastEnd) });
    }
    interruption.reset();
}

AudioLoss::Input PulseSource::Stream::input() const
{
    return role == StreamRole::microphone ? AudioLoss::Input::microphone : AudioLoss::Input::call;
}

void PulseSource::Stream::deliverRemaining() noexcept
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

void PulseSource::Stream::release() noexcept
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
