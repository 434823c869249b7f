#include "FunnelHook.h"

namespace vorna::launcher {

void sendFunnelEvent(const QString &Step, const QString &FirstTimeKey)
{
    // Nothing is sent yet: the funnel service is wired in with the telemetry.
    Q_UNUSED(Step)
    Q_UNUSED(FirstTimeKey)
}

} // namespace vorna::launcher
