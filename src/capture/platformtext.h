#pragma once

#include "error.h"

#include <QString>

// French sentences for the failures of the system and of the audio libraries, whose own texts are
// English ("System error : No space left on device."): only French reaches the status line.

// A system error number (errno), as a sentence.
[[nodiscard]] QString systemErrorText(int error);
// A libpulse error number.
[[nodiscard]] QString pulseErrorText(int error);
// An FFmpeg status (AVERROR); negated system errors read as systemErrorText.
[[nodiscard]] QString ffmpegErrorText(int status);
// A libsndfile error number; its system errors read as systemErrorText(`systemError`).
[[nodiscard]] QString sndfileErrorText(int error, int systemError);

// A file could not be created or written: the system error number and its French sentence.
class StorageError : public PlatformError
{
public:
    explicit StorageError(int systemError);

    [[nodiscard]] int systemError() const noexcept { return m_systemError; }
    // No space left, or the user's disk quota reached.
    [[nodiscard]] bool diskFull() const noexcept;

private:
    int m_systemError;
};
