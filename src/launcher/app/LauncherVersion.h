#pragma once

#include <QString>

namespace vorna::launcher {

// The launcher's own version; the self-update compares it with the launcher package's version.
inline QString launcherVersion()
{
    return QStringLiteral("0.0.7");
}

// Suffix of files moved aside while the launcher replaces itself.
inline QString oldFileSuffix()
{
    return QStringLiteral(".old");
}

// Long name of the option that turns the self-update check off.
inline QString skipSelfUpdateOptionName()
{
    return QStringLiteral("skip-selfupdate");
}

} // namespace vorna::launcher
