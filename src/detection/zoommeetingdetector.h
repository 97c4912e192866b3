#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// Turns successive readings of the Zoom client's window titles into one event: a meeting has just
// started. A small value: copy it, replace it with a fresh one to forget what it has seen.
class ZoomMeetingDetector
{
public:
    // Not in a meeting, no absence counted.
    ZoomMeetingDetector() = default;

    // Whether a meeting window is considered present.
    [[nodiscard]] bool inMeeting() const { return m_inMeeting; }

    // Advances the state with one poll result (none when the titles were unreadable); true exactly
    // when a meeting has just started.
    bool observe(const std::optional<QStringList>& titles);

    // The titles of the Zoom client's windows: empty when it is not running, none when unreadable.
    // Blocks for at most a quarter of a second.
    [[nodiscard]] static std::optional<QStringList> windowTitles();

    // Whether a window title is one of the meeting or webinar window titles, once trimmed,
    // lower-cased and compared under canonical equivalence.
    [[nodiscard]] static bool isMeetingTitle(const QString& title);

    [[nodiscard]] bool operator==(const ZoomMeetingDetector&) const = default;

private:
    bool m_inMeeting = false;
    int m_consecutiveAbsences = 0;
};
