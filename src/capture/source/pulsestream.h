#pragma once

#include "source/pulseserver.h"
#include "source/pulsesource.h"
#include "source/pulsestreamreader.h"

#include <QByteArray>
#include <atomic>
#include <optional>
#include <pulse/pulseaudio.h>
#include <vector>

// The inside of a PulseSource, for its two halves: opening and reading the stream
// (pulsestream.cpp), and following the user's devices and the server (pulsefollowing.cpp). All of
// it runs on the source's main-loop thread or with its main loop locked.

enum class StreamRole
{
    microphone,
    systemAudio,
};

struct PulseSource::Stream
{
    StreamRole role;
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

    explicit Stream(StreamRole role)
        : role(role)
    { }
    ~Stream() { release(); }
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    [[nodiscard]] int contextError() const;

    [[nodiscard]] pa_context* newContext();

    // Starts the main loop and connects to the server (the default one when `server` is empty).
    void connect(const QByteArray& address);

    // The server's defaults and its devices, main loop locked; a failed request fails the open.
    ServerInfo serverInfo();
    DeviceInfo sourceInfo(const QByteArray& name);
    DeviceInfo sinkInfo(const QByteArray& name);

    template<typename Info> Info answered(std::optional<Info> info);

    // The microphone records a source in its own rate and channels; the call a sink's monitor as
    // stereo in the sink's rate. False when the device cannot be recorded so.
    bool useDevice(
        const QByteArray& name, const pa_sample_spec& deviceSpec, const pa_channel_map& deviceMap);

    void openMicrophone(const QByteArray& address);

    void openSystemAudio(const QByteArray& address);

    // Creates the record stream on `device` and starts connecting it (main loop locked).
    bool openStream();

    // Releases the current stream (main loop locked); what it received and audio still held are
    // delivered first, unless it comes from a device that must not be recorded.
    void closeStream(bool deliverUnread = true) noexcept;

    void start(Handler newHandler);

    // Device changes and server restarts (main-loop thread) ------------------------------------

    // Listens for default-device changes and devices coming and going.
    void subscribe();

    // Looks up the current default device and moves the recording there if it changed.
    void follow();

    void lookUpDefault(const pa_server_info* server);

    void moveTo(
        const QByteArray& name, const pa_sample_spec& deviceSpec, const pa_channel_map& deviceMap);

    // The current stream ends; the silence that follows is put down to `cause`.
    void interrupt(AudioLoss::Cause cause, bool deliverUnread = true);

    // The server moved the microphone's stream, as it does when its device goes away. Onto a
    // sink's monitor it would record the call into the microphone's track: the microphone is then
    // lost until a real one is the default again.
    void moved(pa_stream* movedStream);

    void contextChanged(pa_context* changed);

    void streamChanged(pa_stream* changed);

    // The server gives a new stream the level and mute the mixer last set for Parlevox, which
    // both inputs share: muting the microphone there would mute the next call too. Every stream
    // records unmuted at full level; the user can still turn it down while it runs.
    void recordAtFullLevel();

    // Tries again after a short pause that grows with every attempt: 100, 200, 400, then 800 ms.
    void scheduleRetry();

    void retry();

    void dropContext() noexcept;

    // Reading and resumption (main-loop thread) -----------------------------------------------

    // Nothing is read while a moved microphone's new device is checked.
    void readAvailable(pa_stream* readable, bool everything = false);

    // Audio flows again after an interruption: what lies between is lost.
    void noteResumption(std::uint64_t first);

    [[nodiscard]] AudioLoss::Input input() const;

    // Hands over, on the main-loop thread, what the stream received but did not deliver yet
    // (main loop locked).
    void deliverRemaining() noexcept;

    // Releases in the reverse order of creation: stream, connection, main loop.
    void release() noexcept;
};
