#pragma once

#include "audiosource.h"

#include <QByteArray>
#include <memory>
#include <optional>

// A libpulse record stream: the microphone (the default source) or the call (the monitor of the
// default sink). Each source has its own server connection and main-loop thread, so that the two
// inputs deliver, fail and stop independently of each other.
//
// Once started it follows the user's devices: when the default changes, or the device goes away,
// a new stream on the new default replaces the old one, and when the server goes away it connects
// again on the same address after a short, growing pause. The handler sees one input throughout;
// buffers keep the host time of their first frame, so the silence between two streams shows as a
// jump in time, and each buffer comes in the format of the device it was recorded from. A
// microphone stream the server moves onto a sink's monitor is let go: the microphone counts as
// lost until a real one is the default again.
class PulseSource final : public AudioSource
{
public:
    // The default source as 32-bit float in its own rate and channels. Throws
    // AudioPermissionHelp::microphone when access is refused, and the no-microphone CaptureError
    // when there is no server, no default source, only a sink monitor or no usable format.
    [[nodiscard]] static std::unique_ptr<PulseSource> openMicrophone(const QByteArray& server = {});
    // The monitor of the default sink as stereo 32-bit float, in the sink's rate. Throws
    // AudioPermissionHelp::systemAudio, the CaptureError with the libpulse error number, or the
    // unusable-format CaptureError.
    [[nodiscard]] static std::unique_ptr<PulseSource> openSystemAudio(
        const QByteArray& server = {});

    ~PulseSource() override;
    PulseSource(const PulseSource&) = delete;
    PulseSource& operator=(const PulseSource&) = delete;

    void start(Handler handler) override;
    void stop() noexcept override;

    [[nodiscard]] std::vector<AudioLoss> losses() const override;
    [[nodiscard]] std::uint64_t streamNumber() const override;
    [[nodiscard]] bool measuresTime() const override;
    [[nodiscard]] std::optional<std::uint64_t> measuredTime() const override;

    // The format of the device the source records now.
    [[nodiscard]] const PcmFormat& format() const;
    // The name of the source it records now on the server.
    [[nodiscard]] const QByteArray& device() const;

private:
    struct Stream;
    explicit PulseSource(std::unique_ptr<Stream> stream);

    std::unique_ptr<Stream> m_stream;
};
