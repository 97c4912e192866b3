#include "source/linefit.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The line is fitted over the last minute of a stream: over a shorter stretch the jitter of the
// reported times (up to 18 ms on some servers) would pass for a rate. It is fitted once it spans
// 8 s and its two halves agree on the rate.
constexpr double fitWindowSeconds = 60;
constexpr double slopeAfterSeconds = 8;
constexpr double refitEverySeconds = 0.25;
// Reported times further from the line than this many deviations are scheduling hiccups.
constexpr double outlierDeviations = 3;
constexpr double smallestOutlier = 0.3e6; // nanoseconds
// Crystals are within a few hundred ppm: a line that says much more is fitted on times that are
// wrong, as those of a device still waking up or of a server rerouting, and is not followed.
constexpr double maximumDrift = 1e-3;
// The rates fitted over either half of the last minute agree this closely once the times have
// settled.
constexpr double consistentRates = 3e-5;
// The jitter of the times leaves the fitted rate uncertain (its standard error): a few seconds of
// a device whose times jump by milliseconds would pass for a clock a hundred ppm off. The line is
// followed once its rate is known this closely, or sooner when it is that many errors off the
// nominal rate, a clock plainly off.
constexpr double rateUncertainty = 1e-5;
constexpr double plainlyOff = 4;

} // namespace

void LineFit::add(double frame, double time)
{
    m_points.push_back({ frame, time });
    const double window = fitWindowSeconds * 1e9 / m_nominal;
    while (frame - m_points.front().frame > window) {
        m_points.pop_front();
    }
    if (m_points.size() == 1 || frame - m_fittedAt >= refitEverySeconds * 1e9 / m_nominal) {
        refit();
        m_fittedAt = frame;
    }
}

void LineFit::refit()
{
    const double first = m_points.front().frame;
    const double last = m_points.back().frame;
    if ((last - first) * m_nominal / 1e9 < slopeAfterSeconds) {
        return;
    }
    const std::optional<Line> rough
        = leastSquares(std::numeric_limits<double>::infinity(), first, last);
    if (!rough) {
        return;
    }
    const Line before = m_line;
    m_line = *rough;
    m_scratch.clear();
    for (const Point& point : m_points) {
        m_scratch.push_back(std::abs(point.time - at(point.frame)));
    }
    // 1.4826 times the median absolute deviation estimates the deviation of the jitter.
    const double limit = std::max(outlierDeviations * 1.4826 * median(), smallestOutlier);
    const double middle = (first + last) / 2;
    const std::optional<Line> line = leastSquares(limit, first, last);
    const std::optional<Line> earlier = leastSquares(limit, first, middle);
    const std::optional<Line> later = leastSquares(limit, middle, last);
    // A device's rate holds over a minute; times whose halves disagree on it are still
    // settling, and a line through them would steer the stream for nothing.
    if (line && earlier && later && std::abs(line->period / m_nominal - 1) <= maximumDrift
        && (line->periodError <= m_nominal * rateUncertainty
            || std::abs(line->period - m_nominal) >= plainlyOff * line->periodError)
        && std::abs(earlier->period - later->period) <= m_nominal * consistentRates) {
        m_line = *line;
        m_fitted = true;
    } else {
        m_line = before;
    }
}

std::optional<LineFit::Line> LineFit::leastSquares(double limit, double from, double to) const
{
    const auto counted = [&](const Point& point) {
        return point.frame >= from && point.frame <= to
            && std::abs(point.time - at(point.frame)) <= limit;
    };
    double frames = 0;
    double times = 0;
    int count = 0;
    for (const Point& point : m_points) {
        if (counted(point)) {
            frames += point.frame;
            times += point.time;
            ++count;
        }
    }
    if (count < 2) {
        return std::nullopt;
    }
    const Line centre { frames / count, times / count, 0 };
    double spread = 0;
    double covariance = 0;
    for (const Point& point : m_points) {
        if (counted(point)) {
            spread += (point.frame - centre.frame) * (point.frame - centre.frame);
            covariance += (point.frame - centre.frame) * (point.time - centre.time);
        }
    }
    if (spread <= 0 || count < 3) {
        return std::nullopt;
    }
    const double period = covariance / spread;
    double squares = 0;
    for (const Point& point : m_points) {
        if (counted(point)) {
            const double residual
                = point.time - centre.time - period * (point.frame - centre.frame);
            squares += residual * residual;
        }
    }
    return Line { centre.frame, centre.time, period, std::sqrt(squares / (count - 2) / spread) };
}

double LineFit::median()
{
    const auto middle = m_scratch.begin() + std::ptrdiff_t(m_scratch.size() / 2);
    std::nth_element(m_scratch.begin(), middle, m_scratch.end());
    return *middle;
}
