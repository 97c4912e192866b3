#pragma once

#include <QString>
#include <cstdint>
#include <mutex>

// Disk space held back for the mix while the tracks grow, so that a disk that fills up during a
// recording still has room for "reunion.m4a": a hidden file of the recording kept allocated, and
// given back just before mixing. Where the file system cannot allocate ahead, the free space is
// checked instead.
class SpaceReserve
{
public:
    // The reserve file of a recording folder.
    [[nodiscard]] static QString pathIn(const QString& folder);
    // What the mix of `seconds` of recording may take: AAC at 128 kbit/s, with room to spare.
    [[nodiscard]] static std::uint64_t bytesFor(double seconds);

    // Holds the space of a short mix in `folder`; throws StorageError when the disk cannot.
    explicit SpaceReserve(const QString& folder);
    ~SpaceReserve();
    SpaceReserve(const SpaceReserve&) = delete;
    SpaceReserve& operator=(const SpaceReserve&) = delete;

    // Holds at least `bytes` (growing ahead in steps); false when the disk cannot. Thread-safe.
    [[nodiscard]] bool cover(std::uint64_t bytes);
    // Gives the space back; later calls to cover() fail.
    void release() noexcept;

private:
    bool grow(std::uint64_t bytes);

    QString m_path;
    std::mutex m_mutex;
    int m_descriptor = -1;
    std::uint64_t m_held = 0;
    bool m_allocates = true;
};
