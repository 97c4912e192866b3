#pragma once

#include <QString>
#include <vector>

// Audio that one input of a recording could not capture, and why: the sound server went away,
// or the input moved to another device.
struct AudioLoss
{
    enum class Input
    {
        microphone,
        call,
    };
    enum class Cause
    {
        deviceChange,
        serverRestart, // the server came back and the recording went on
        serverLost, // the server was still away when the recording stopped
        deviceOverrun, // the device dropped audio nobody read in time
    };

    Input input = Input::microphone;
    Cause cause = Cause::deviceChange;
    double seconds = 0;

    friend bool operator==(const AudioLoss&, const AudioLoss&) = default;
};

// The status of a finished recording followed by a short French note on what it lost, when an
// input lost about a second or more; the status unchanged otherwise.
[[nodiscard]] QString withLossNote(const QString& status, const std::vector<AudioLoss>& losses);
