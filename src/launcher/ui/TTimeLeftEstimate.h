#pragma once

#include <QtGlobal>

namespace vorna::launcher {

// The time left of a download as the tile shows it. The rate is smoothed again over a few
// seconds, and the shown value counts down by the time that passed as long as the estimate from
// the smoothed rate stays near it; when the estimate moves away, the shown value moves only as
// far as needed to be near it again. A steady download thus counts down second by second, and a
// rate that changes for good moves the value once, by no more than it must.
//
// Usage: update() on every progress tick while the transfer runs; reset() when it stops (paused,
// finished), so that the next start is estimated afresh.
class TTimeLeftEstimate final
{
public:
    // Seconds the smoothed rate takes to follow a change of the rate halfway and more.
    static constexpr double SmoothingSeconds = 3.0;
    // How far the estimate may stray from the counted-down value before the value moves: the
    // larger of these seconds and this share of the value.
    static constexpr double ToleranceSeconds = 2.0;
    static constexpr double ToleranceShare = 0.1;

    // The seconds left, or -1 while there is no rate to tell.
    qint64 update(qint64 RemainingBytes, double BytesPerSecond, qint64 ElapsedMilliseconds);
    void reset();
    qint64 secondsLeft() const { return m_shown < 0 ? -1 : qint64(m_shown + 0.5); }

private:
    double m_rate = 0;
    double m_shown = -1;
};

} // namespace vorna::launcher
