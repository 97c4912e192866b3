#pragma once

#include <cstdint>
#include <ctime>

// The host clock shared by both tracks: CLOCK_MONOTONIC, in nanoseconds.
[[nodiscard]] inline std::uint64_t currentHostTime()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::uint64_t(now.tv_sec) * 1'000'000'000u + std::uint64_t(now.tv_nsec);
}

[[nodiscard]] constexpr double hostTimeToSeconds(std::uint64_t hostTime)
{
    return double(hostTime) / 1e9;
}
