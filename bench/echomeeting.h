#pragma once

#include "echoscenario.h"

#include <QProcess>
#include <QString>
#include <memory>
#include <optional>

class PulseServer;
class QTemporaryDir;

// The local voice's level and the echo left by a canceller, from one recorded meeting on
// loudspeakers (see EchoScenario): the microphone as the sound server delivered it and as the
// canceller wrote it, both placed on the scenario by the local voice alone.
struct EchoFigures
{
    double erle = 0; // echo taken off where only the call talks, dB
    double nearEndChange = 0; // the local voice's level change where it talks alone, dB
    double doubleTalkChange = 0; // the same while both talk, dB
};

[[nodiscard]] EchoFigures measureEcho(
    const EchoScenario& scenario, const MonoSignal& raw, const MonoSignal& cancelled);

// Echo taken off while both talk, in dB: the local voice reaches the raw microphone sample for
// sample (the scenario played at the microphone's own rate), so what else the raw microphone
// holds is the echo; the canceller's output is fitted to both, 20 ms at a time.
[[nodiscard]] double doubleTalkEchoReduction(
    const EchoScenario& scenario, const MonoSignal& raw, const MonoSignal& cancelled);

// Records a source of the server into a float WAV file until finished.
[[nodiscard]] std::unique_ptr<QProcess> recordSource(
    const PulseServer& server, const QString& source, const QString& file);
void finishRecording(QProcess& recorder);
// Plays the call into `callSink` and the local voice into the microphone's sink, both starting
// together, to the end; false when they could not be played.
[[nodiscard]] bool playScenario(
    const PulseServer& server, const EchoScenario& scenario, const QString& callSink);

struct MeetingRecording
{
    MonoSignal raw; // the microphone beside the capture, as the sound server delivered it
    MonoSignal microphone; // the capture's microphone track
    double cancellerMsPerSecond = 0; // CPU of the canceller's thread per recorded second
    double captureMsPerSecond = 0; // of the whole process
    double echoDelayMs = 0; // where the echo reached the raw microphone, after the call
};

// Plays the scenario on a private sound server whose microphone hears the call `delayMs` late
// and 10 dB down (wandering when `drifting`), and records it through AudioCapture; nothing when
// a step failed (said on stderr).
[[nodiscard]] std::optional<MeetingRecording> recordMeeting(
    const EchoScenario& scenario, const QTemporaryDir& folder, int delayMs, bool drifting);
