#include "source/pulseserver.h"

namespace {

// An answer on its way, filled in on the main-loop thread.
template<typename Info> struct Pending
{
    pa_threaded_mainloop* loop;
    Info info {};
};

template<typename Info>
std::optional<Info> await(pa_threaded_mainloop* loop, pa_context* context, pa_operation* operation,
    Pending<Info>& pending)
{
    if (!operation) {
        return std::nullopt;
    }
    while (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) {
        pa_threaded_mainloop_wait(loop);
    }
    pa_operation_unref(operation);
    if (pa_context_get_state(context) != PA_CONTEXT_READY) {
        return std::nullopt;
    }
    return std::move(pending.info);
}

} // namespace

Proplist::Proplist(const char* mediaName)
{
    pa_proplist_sets(list, PA_PROP_APPLICATION_NAME, "Parlevox");
    pa_proplist_sets(list, PA_PROP_APPLICATION_ID, "org.parlevox.Parlevox");
    pa_proplist_sets(list, PA_PROP_APPLICATION_ICON_NAME, "org.parlevox.Parlevox");
    if (mediaName) {
        pa_proplist_sets(list, PA_PROP_MEDIA_NAME, mediaName);
    }
}

std::optional<ServerInfo> queryServer(pa_threaded_mainloop* loop, pa_context* context)
{
    Pending<ServerInfo> pending { loop };
    pa_operation* operation = pa_context_get_server_info(
        context,
        [](pa_context*, const pa_server_info* server, void* userdata) {
            auto* pending = static_cast<Pending<ServerInfo>*>(userdata);
            if (server) {
                pending->info.defaultSink = server->default_sink_name;
                pending->info.defaultSource = server->default_source_name;
            }
            signalLoop(pending->loop);
        },
        &pending);
    return await(loop, context, operation, pending);
}

std::optional<DeviceInfo> querySource(
    pa_threaded_mainloop* loop, pa_context* context, const QByteArray& name)
{
    Pending<DeviceInfo> pending { loop };
    pa_operation* operation = pa_context_get_source_info_by_name(
        context, name.constData(),
        [](pa_context*, const pa_source_info* source, int, void* userdata) {
            auto* pending = static_cast<Pending<DeviceInfo>*>(userdata);
            if (source) {
                pending->info.found = true;
                pending->info.isMonitor = source->monitor_of_sink != PA_INVALID_INDEX;
                pending->info.spec = source->sample_spec;
                pending->info.map = source->channel_map;
            }
            signalLoop(pending->loop);
        },
        &pending);
    return await(loop, context, operation, pending);
}

std::optional<DeviceInfo> querySink(
    pa_threaded_mainloop* loop, pa_context* context, const QByteArray& name)
{
    Pending<DeviceInfo> pending { loop };
    pa_operation* operation = pa_context_get_sink_info_by_name(
        context, name.constData(),
        [](pa_context*, const pa_sink_info* sink, int, void* userdata) {
            auto* pending = static_cast<Pending<DeviceInfo>*>(userdata);
            if (sink) {
                pending->info.found = true;
                pending->info.spec = sink->sample_spec;
                pending->info.monitorSource = sink->monitor_source_name;
            }
            signalLoop(pending->loop);
        },
        &pending);
    return await(loop, context, operation, pending);
}
