#pragma once

namespace vorna::launcher {

// How an installation treats files it cannot delete. The numeric values are those of the
// installation manager's installationMode and are never renumbered.
enum class EInstallationMode : int
{
    Normal = 0,
    // The launcher installs its own package over itself: files in use are moved aside to
    // "<name>.old" instead of being deleted.
    SelfUpdate = 1,
};

} // namespace vorna::launcher
