#pragma once

#include <QString>
#include <cstdint>
#include <memory>

// Writes AAC-LC into an MPEG-4 audio (.m4a) file from planar float samples, in any amounts. The
// encoder's fast coder does it: half the work of its default one, for much the same sound at
// these bit rates, which matters for a mix encoded all along a meeting.
class M4aWriter
{
public:
    struct Format
    {
        int sampleRate = 48000;
        int channels = 2;
        std::int64_t bitRate = 0; // 0: the encoder's own choice for the rate and channels
    };

    // Throws "Impossible de préparer l’export audio." when no encoder or muxer is available, and
    // the platform's error when the file cannot be created.
    M4aWriter(const QString& path, Format format);
    explicit M4aWriter(const QString& path); // 48 kHz stereo
    ~M4aWriter();
    M4aWriter(const M4aWriter&) = delete;
    M4aWriter& operator=(const M4aWriter&) = delete;

    // Appends `frames` samples of each channel, one plane per channel.
    void write(const float* const* planes, std::int64_t frames);
    // Encodes what is left and completes the file.
    void finish();

    // Samples per channel written so far.
    [[nodiscard]] std::int64_t length() const { return m_length; }

private:
    struct Output;
    void encodePending();

    std::unique_ptr<Output> m_output;
    std::int64_t m_length = 0;
};

// A fresh hidden file beside `destination` that only its owner writes; removed unless kept.
class PartFile
{
public:
    explicit PartFile(const QString& destination);
    ~PartFile();
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    [[nodiscard]] const QString& path() const { return m_path; }

    // Gives the finished file its name, refusing to replace a file that appeared there meanwhile.
    void keepAs(const QString& destination);

private:
    QString m_path;
};

// Copies the .m4a file `from` into `to` without its first `samples` samples, which must be
// silent: the packets that hold only silence are left out and the rest is cut on playback by the
// file's edit list. No sample is encoded again.
void copyWithoutLeadingSilence(const QString& from, const QString& to, std::int64_t samples);
