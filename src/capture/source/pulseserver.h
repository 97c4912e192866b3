#pragma once

#include <QByteArray>
#include <optional>
#include <pulse/pulseaudio.h>

// The pieces of libpulse's threaded API that every stream uses: the main-loop lock, the names the
// desktop's volume mixer shows, and blocking questions to the server.

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

// How the desktop's volume mixer shows the connection and its streams. No media.role: a role
// such as "phone" lets the server reroute the stream (to a headset, an echo-cancelling source)
// and remember its device under that role, shared with every other call application.
struct Proplist
{
    pa_proplist* list = pa_proplist_new();

    explicit Proplist(const char* mediaName = nullptr);
    ~Proplist() { pa_proplist_free(list); }
    Proplist(const Proplist&) = delete;
    Proplist& operator=(const Proplist&) = delete;
};

inline void signalLoop(pa_threaded_mainloop* loop)
{
    pa_threaded_mainloop_signal(loop, 0);
}

struct ServerInfo
{
    QByteArray defaultSink;
    QByteArray defaultSource;
};

struct DeviceInfo
{
    bool found = false; // the server knows a device of that name
    bool isMonitor = false;
    pa_sample_spec spec {};
    pa_channel_map map {};
    QByteArray monitorSource;
};

// Each asks and waits for the answer, the main loop locked from outside its thread; none when the
// request could not be made or the connection failed meanwhile.
[[nodiscard]] std::optional<ServerInfo> queryServer(
    pa_threaded_mainloop* loop, pa_context* context);
[[nodiscard]] std::optional<DeviceInfo> querySource(
    pa_threaded_mainloop* loop, pa_context* context, const QByteArray& name);
[[nodiscard]] std::optional<DeviceInfo> querySink(
    pa_threaded_mainloop* loop, pa_context* context, const QByteArray& name);
