#pragma once

#include "error.h"
#include "settingspage.h"

#include <QString>
#include <cstddef>
#include <functional>

// A permission the user must grant or check. Thrown where recording cannot start, and handed back
// as a hint by a stop that kept only one track.
class AudioPermissionHelp : public Error
{
public:
    enum Kind
    {
        microphone,
        systemAudio,
        systemAudioSilent,
    };

    // Implicit, so that `throw AudioPermissionHelp(AudioPermissionHelp::microphone)` and
    // `std::optional<AudioPermissionHelp> help = AudioPermissionHelp::systemAudioSilent` both read.
    AudioPermissionHelp(Kind kind); // NOLINT(google-explicit-constructor)

    [[nodiscard]] Kind kind() const noexcept { return m_kind; }
    [[nodiscard]] QString errorDescription() const { return message(); }
    [[nodiscard]] QString settingsLabel() const;
    [[nodiscard]] SettingsPage settingsPage() const;

    friend bool operator==(const AudioPermissionHelp& a, const AudioPermissionHelp& b) noexcept
    {
        return a.m_kind == b.m_kind;
    }

private:
    Kind m_kind;
};

template<> struct std::hash<AudioPermissionHelp>
{
    std::size_t operator()(const AudioPermissionHelp& help) const noexcept
    {
        return std::hash<int> {}(help.kind());
    }
};
