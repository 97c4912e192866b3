#include "zoommeetingdetector.h"

#include "x11windowtitles.h"

#include <QtGlobal>
#include <algorithm>
#include <array>
#include <chrono>

using namespace std::chrono_literals;

namespace {

// The X11 class name of the Zoom client's windows.
constexpr auto zoomWindowClass = "zoom";

// Long enough for a local display, short enough to keep the interface responsive at each poll.
constexpr auto queryBudget = 250ms;

// Absences in a row after which the meeting is over; a single missed poll is tolerated.
constexpr int absencesEndingMeeting = 2;

const std::array<QString, 4>& meetingTitles()
{
    static const std::array<QString, 4> titles {
        QStringLiteral("zoom meeting").normalized(QString::NormalizationForm_C),
        QStringLiteral("réunion zoom").normalized(QString::NormalizationForm_C),
        QStringLiteral("zoom webinar").normalized(QString::NormalizationForm_C),
        QStringLiteral("webinaire zoom").normalized(QString::NormalizationForm_C),
    };
    return titles;
}

} // namespace

bool ZoomMeetingDetector::isMeetingTitle(const QString& title)
{
    // QString::toLower applies the Unicode case mapping, independent of the locale.
    const QString normalized = title.trimmed().toLower().normalized(QString::NormalizationForm_C);
    const auto& titles = meetingTitles();
    return std::find(titles.begin(), titles.end(), normalized) != titles.end();
}

bool ZoomMeetingDetector::observe(const std::optional<QStringList>& titles)
{
    if (!titles) {
        return false;
    }
    if (std::any_of(titles->begin(), titles->end(), &ZoomMeetingDetector::isMeetingTitle)) {
        m_consecutiveAbsences = 0;
        const bool started = !m_inMeeting;
        m_inMeeting = true;
        return started;
    }
    m_consecutiveAbsences = std::min(m_consecutiveAbsences + 1, absencesEndingMeeting);
    if (m_consecutiveAbsences == absencesEndingMeeting) {
        m_inMeeting = false;
    }
    return false;
}

std::optional<QStringList> ZoomMeetingDetector::windowTitles()
{
    return x11WindowTitles(qgetenv("DISPLAY"), zoomWindowClass, queryBudget);
}
