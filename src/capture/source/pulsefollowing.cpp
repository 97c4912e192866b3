#include "hostclock.h"
#include "source/pulsestream.h"

#include <pulse/timeval.h>

void PulseSource::Stream::subscribe()
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

void PulseSource::Stream::follow()
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

void PulseSource::Stream::lookUpDefault(const pa_server_info* server)
{
    pa_operation* operation = nullptr;
    if (role == StreamRole::microphone) {
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

void PulseSource::Stream::moveTo(
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

void PulseSource::Stream::interrupt(AudioLoss::Cause cause, bool deliverUnread)
{
    if (!interruption) {
        interruption = cause;
    }
    closeStream(deliverUnread);
}

void PulseSource::Stream::moved(pa_stream* movedStream)
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
            // The new device's audio starts when it started delivering, which is not where
            // the old device's ended: its time is settled afresh, as for a stream of its own.
            self->checkingMove = false;
            self->device = source->name;
            self->reader.releaseHeld();
            if (!self->interruption) {
                self->interruption = AudioLoss::Cause::deviceChange;
            }
            self->reader.begin(self->spec, self->format);
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

void PulseSource::Stream::contextChanged(pa_context* changed)
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

void PulseSource::Stream::streamChanged(pa_stream* changed)
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

void PulseSource::Stream::recordAtFullLevel()
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

void PulseSource::Stream::scheduleRetry()
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

void PulseSource::Stream::retry()
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

void PulseSource::Stream::dropContext() noexcept
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
