#pragma once

#include "audiosource.h"

#include <QByteArray>
#include <memory>

// A libpulse record stream: the microphone (the default source) or the call (the monitor of the
// default sink). Each source has its own server connection and main-loop thread, so that the two
// inputs deliver, fail and stop independently of each other.
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

    // The format of every buffer this source delivers.
    [[nodiscard]] const PcmFormat& format() const;
    // The name of the recorded source on the server.
    [[nodiscard]] const QByteArray& device() const;

private:
    struct Stream;
    explicit PulseSource(std::unique_ptr<Stream> stream);

    std::unique_ptr<Stream> m_stream;
};
