#pragma once

#include <QString>

namespace vorna::launcher {

// Reports that the player reached a step of the funnel ("launcher_downloaded",
// "launcher_verified"). FirstTimeKey names the per-user flag that marks the first time the step
// was reached. The installation manager calls this after every download and verification; the
// telemetry code decides what, if anything, is sent. Until the funnel events are wired in, it
// does nothing. Main thread only; never throws.
void sendFunnelEvent(const QString &Step, const QString &FirstTimeKey);

} // namespace vorna::launcher
