#pragma once

#include <QString>

namespace vorna::launcher {

// Every text of the launcher uses this face; the sheets add size and colour.
inline QString launcherFontStyle()
{
    return QStringLiteral(
        "font-family: \"Liberation Sans\"; font-variant: small-caps; font-weight: bold;");
}

// Prefix of every picture of the user interface in the resource tree.
inline QString launcherImage(const QString &Name)
{
    return QStringLiteral(":/images/launcher/") + Name;
}

} // namespace vorna::launcher
