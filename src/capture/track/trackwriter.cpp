#include "track/trackwriter.h"

#include "error.h"
#include "hostclock.h"
#include "platformtext.h"
#include "track/filesync.h"
#include "track/recordingfolder.h"

#include <QFile>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <sndfile.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

int sndfileSubtype(SampleType type)
{
    switch (type) {
    case SampleType::Float32:
        return SF_FORMAT_FLOAT;
    case SampleType::Int16:
        return SF_FORMAT_PCM_16;
    case SampleType::Int32:
        return SF_FORMAT_PCM_32;
    }
    Q_UNREACHABLE();
}

[[noreturn]] void throwSndfileError(SNDFILE* handle)
{
    const int systemError = errno;
    const int error = sf_error(handle);
    if (error == SF_ERR_SYSTEM && systemError) {
        throw StorageError(systemError);
    }
    throw PlatformError(sndfileErrorText(error, systemError));
}

// Copies channel planes, from frame `from` on, into frames of interleaved samples.
template<typename Sample>
void interleave(const PcmBuffer& buffer, std::int64_t from, std::byte* destination)
{
    const auto* planes = reinterpret_cast<const Sample*>(buffer.data.data());
    auto* frames = reinterpret_cast<Sample*>(destination);
    const int channels = buffer.format.channelCount;
    for (int channel = 0; channel < channels; ++channel) {
        const Sample* plane = planes + channel * buffer.frameLength;
        for (std::int64_t frame = from; frame < buffer.frameLength; ++frame) {
            frames[(frame - from) * channels + channel] = plane[frame];
        }
    }
}

} // namespace

struct TrackWriter::File
{
    SNDFILE* handle = nullptr;
    int descriptor = -1; // owned by the handle
    std::unique_ptr<FileSync> sync;
    std::int64_t frames = 0;
    int sampleRate = 0;
    std::vector<std::byte> scratch; // reused for interleaving, so steady writes do not allocate

    ~File()
    {
        if (handle) {
            sf_close(handle);
        }
    }

    // Closes the file once all of it is on the disk; the system's complaint when its last bytes
    // could not be written.
    std::exception_ptr close()
    {
        sync.reset();
        const int unsynced = ::fdatasync(descriptor) == 0 ? 0 : errno;
        errno = 0;
        const int status = sf_close(std::exchange(handle, nullptr));
        if (unsynced) {
            return std::make_exception_ptr(StorageError(unsynced));
        }
        if (status == SF_ERR_NO_ERROR) {
            return nullptr;
        }
        return errno ? std::make_exception_ptr(StorageError(errno))
                     : std::make_exception_ptr(PlatformError(sndfileErrorText(status, 0)));
    }

    // Writes the frames of `buffer` from `from` on.
    void write(const PcmBuffer& buffer, std::int64_t from = 0)
    {
        const std::int64_t count = buffer.frameLength - from;
        const std::size_t frameBytes
            = std::size_t(buffer.format.channelCount * bytesPerSample(buffer.format.sampleType));
        const std::byte* interleaved = buffer.data.data() + std::size_t(from) * frameBytes;
        if (!buffer.format.interleaved && buffer.format.channelCount > 1) {
            scratch.resize(std::size_t(count) * frameBytes);
            switch (buffer.format.sampleType) {
            case SampleType::Float32:
                interleave<float>(buffer, from, scratch.data());
                break;
            case SampleType::Int16:
                interleave<std::int16_t>(buffer, from, scratch.data());
                break;
            case SampleType::Int32:
                interleave<std::int32_t>(buffer, from, scratch.data());
                break;
            }
            interleaved = scratch.data();
        }
        writeFrames(buffer.format.sampleType, interleaved, count);
    }

    // Writes `count` frames of digital silence in the track's format.
    void writeSilence(const PcmFormat& format, std::int64_t count)
    {
        constexpr std::int64_t block = 4800;
        const std::size_t frameBytes
            = std::size_t(format.channelCount * bytesPerSample(format.sampleType));
        scratch.assign(std::size_t(std::min(count, block)) * frameBytes, std::byte { 0 });
        for (std::int64_t left = count; left > 0; left -= block) {
            writeFrames(format.sampleType, scratch.data(), std::min(left, block));
        }
    }

    void writeFrames(SampleType type, const std::byte* interleaved, std::int64_t count)
    {
        sf_count_t written = 0;
        switch (type) {
        case SampleType::Float32:
            written = sf_writef_float(handle, reinterpret_cast<const float*>(interleaved), count);
            break;
        case SampleType::Int16:
            written = sf_writef_short(handle, reinterpret_cast<const short*>(interleaved), count);
            break;
        case SampleType::Int32:
            written = sf_writef_int(handle, reinterpret_cast<const int*>(interleaved), count);
            break;
        }
        if (written > 0) {
            frames += written;
        }
        if (written != count) {
            throwSndfileError(handle);
        }
    }
};

TrackWriter::TrackWriter(QString path, bool checkSignal)
    : m_path(std::move(path))
    , m_hasSignal(!checkSignal)
{ }

TrackWriter::~TrackWriter() = default;

bool TrackWriter::append(const PcmBuffer& buffer, std::uint64_t hostTime)
{
    const std::lock_guard lock(m_mutex);
    if (m_failure) {
        return false;
    }
    if (buffer.frameLength == 0 || m_finished) {
        return true;
    }
    try {
        if (!m_file) {
            SF_INFO info {};
            info.samplerate = buffer.format.sampleRate;
            info.channels = buffer.format.channelCount;
            info.format = SF_FORMAT_CAF | sndfileSubtype(buffer.format.sampleType);
            auto file = std::make_unique<File>();
            file->sampleRate = info.samplerate;
            errno = 0;
            const int descriptor = RecordingLocation::openPrivateFile(m_path);
            if (descriptor < 0) {
                throw StorageError(errno);
            }
            file->handle = sf_open_fd(descriptor, SFM_WRITE, &info, SF_TRUE);
            if (!file->handle) {
                throwSndfileError(nullptr);
            }
            file->descriptor = descriptor;
            // The header follows every write, so a recording cut short by a crash still reads back,
            // and the file reaches the disk every few seconds, so a power loss takes little.
            sf_command(file->handle, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
            file->sync = std::make_unique<FileSync>(m_path);
            m_file = std::move(file);
            m_firstSample = hostTimeToSeconds(hostTime);
            m_firstHostTime = hostTime;
            m_converter = std::make_unique<FormatConverter>(buffer.format);
        }
        if (!m_hasSignal) {
            m_hasSignal = containsSignal(buffer);
        }
        errno = 0;
        if (!m_converter->needed(buffer.format)) {
            place(buffer, hostTime);
            return true;
        }
        std::uint64_t delay = 0;
        std::optional<PcmBuffer> converted;
        try {
            converted = m_converter->convert(buffer, delay);
        } catch (const PlatformError&) {
            // Dropped: the next buffer that can be written is placed at its own time, so the
            // track stays whole and on time around the hole.
            return true;
        }
        place(*converted, hostTime - std::min(hostTime, delay));
    } catch (...) {
        m_failure = std::current_exception();
        return false;
    }
    return true;
}

std::exception_ptr TrackWriter::failure()
{
    const std::lock_guard lock(m_mutex);
    return m_failure;
}

std::optional<TrackWriter::Finished> TrackWriter::finishAt(std::uint64_t endHostTime)
{
    const std::lock_guard lock(m_mutex);
    m_finished = true;
    const std::unique_ptr<File> file = std::move(m_file);
    if (!file || !m_firstSample) {
        return std::nullopt;
    }
    // Also drops the torn end of a write that failed half-way.
    const double kept = hostTimeToSeconds(endHostTime) - *m_firstSample;
    sf_count_t frames = std::clamp<sf_count_t>(
        sf_count_t(std::llround(kept * file->sampleRate)), 0, file->frames);
    if (sf_command(file->handle, SFC_FILE_TRUNCATE, &frames, sizeof frames) == 0) {
        file->frames = frames;
    }
    (void)file->close();
    if (file->frames <= 0) {
        return std::nullopt;
    }
    return Finished { *m_firstSample, m_hasSignal };
}

void TrackWriter::place(const PcmBuffer& buffer, std::uint64_t hostTime)
{
    // Converted or not, the buffer is in the track's rate now.
    const double rate = buffer.format.sampleRate;
    const auto since = double(std::int64_t(hostTime - m_firstHostTime));
    const auto position = std::int64_t(std::llround(since * rate / 1e9));
    const std::int64_t gap = position - m_file->frames;
    const auto tolerance = std::int64_t(gapTolerance * rate);
    if (gap > tolerance) {
        m_file->writeSilence(buffer.format, gap);
    } else if (gap < -tolerance) {
        // Already covered up to here: only the rest is new.
        if (-gap < buffer.frameLength) {
            m_file->write(buffer, -gap);
        }
        return;
    }
    m_file->write(buffer);
}

std::optional<TrackWriter::Finished> TrackWriter::finish()
{
    const std::lock_guard lock(m_mutex);
    m_finished = true;
    const std::unique_ptr<File> file = std::move(m_file);
    const std::exception_ptr closing = file ? file->close() : nullptr;
    if (m_failure) {
        std::rethrow_exception(m_failure);
    }
    if (!m_firstSample || !file || file->frames <= 0) {
        return std::nullopt;
    }
    return Finished { *m_firstSample, m_hasSignal, closing };
}

bool TrackWriter::containsSignal(const PcmBuffer& buffer)
{
    if (buffer.format.sampleType == SampleType::Float32) {
        const int stride = buffer.sampleStride();
        for (int channel = 0; channel < buffer.format.channelCount; ++channel) {
            const float* samples = buffer.floatChannel(channel);
            for (std::int64_t frame = 0; frame < buffer.frameLength; ++frame) {
                // NaN compares false, so it never counts as sound.
                if (std::fabs(samples[frame * stride]) > 1e-5f) {
                    return true;
                }
            }
        }
        return false;
    }
    for (const std::byte byte : buffer.data) {
        if (byte != std::byte { 0 }) {
            return true;
        }
    }
    return false;
}
