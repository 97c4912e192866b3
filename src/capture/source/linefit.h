#pragma once

#include <deque>
#include <optional>
#include <vector>

// A straight line through a stream's reported times against its frame count, robust to the odd
// late report: least squares over the last minute, refitted every quarter second, leaving out
// reports far off the line. It is followed only once the times settled: a rate a crystal can
// have, known closely, the same over either half of the minute.
class LineFit
{
public:
    // `period`: the slope until the times give one, the nominal one unless known.
    explicit LineFit(double nominalPeriod, double period = 0)
        : m_nominal(nominalPeriod)
        , m_line { 0, 0, period > 0 ? period : nominalPeriod, 0 }
    { }

    void add(double frame, double time);

    // The time of `frame` on the line, in nanoseconds.
    [[nodiscard]] double at(double frame) const
    {
        return m_line.time + m_line.period * (frame - m_line.frame);
    }
    // Nanoseconds per frame.
    [[nodiscard]] double period() const { return m_line.period; }
    // Whether the line comes from the times yet, rather than from the stream's start.
    [[nodiscard]] bool fitted() const { return m_fitted; }

private:
    struct Point
    {
        double frame;
        double time;
    };
    struct Line
    {
        double frame = 0;
        double time = 0;
        double period = 0; // nanoseconds per frame
        double periodError = 0; // its standard error
    };

    void refit();
    // Least squares over the points from `from` to `to` within `limit` of the current line.
    [[nodiscard]] std::optional<Line> leastSquares(double limit, double from, double to) const;
    double median();

    double m_nominal;
    Line m_line;
    double m_fittedAt = 0;
    bool m_fitted = false;
    std::deque<Point> m_points;
    std::vector<double> m_scratch;
};
