#pragma once

#include "shared/FirstInstanceTester.h"

#include <memory>

namespace vorna::launcher {

// Tests whether this launcher is the only one running. A launcher restarted by a self-update
// (WaitForPreviousLauncher) retries for up to 10 s: the old launcher starts it and only then
// ends, so for a moment it still holds the single-instance segment.
std::unique_ptr<::shared::FirstInstanceTester> testFirstInstance(bool WaitForPreviousLauncher);

} // namespace vorna::launcher
