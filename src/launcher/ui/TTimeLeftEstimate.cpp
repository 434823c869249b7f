#include "TTimeLeftEstimate.h"

#include <algorithm>
#include <cmath>

namespace vorna::launcher {

qint64 TTimeLeftEstimate::update(qint64 RemainingBytes, double BytesPerSecond,
                                 qint64 ElapsedMilliseconds)
{
    const double Elapsed = std::max<double>(0.0, double(ElapsedMilliseconds) / 1000.0);
    if (RemainingBytes <= 0) {
        m_shown = 0;
        return 0;
    }
    if (!(BytesPerSecond > 0.0) && !(m_rate > 0.0))
        return secondsLeft();
    const double Rate = std::max(0.0, BytesPerSecond);
    m_rate =
        m_rate > 0.0 ? m_rate + (Rate - m_rate) * std::min(1.0, Elapsed / SmoothingSeconds) : Rate;
    if (!(m_rate > 0.0))
        return secondsLeft();
    const double Estimate = double(RemainingBytes) / m_rate;
    if (m_shown < 0) {
        m_shown = Estimate;
        return secondsLeft();
    }
    const double CountedDown = std::max(0.0, m_shown - Elapsed);
    const double Tolerance = std::max(ToleranceSeconds, ToleranceShare * CountedDown);
    m_shown = std::clamp(CountedDown, Estimate - Tolerance, Estimate + Tolerance);
    m_shown = std::max(0.0, m_shown);
    return secondsLeft();
}

void TTimeLeftEstimate::reset()
{
    m_rate = 0;
    m_shown = -1;
}

} // namespace vorna::launcher
