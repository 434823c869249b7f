#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

// The whole file, or empty bytes when it cannot be read.
QByteArray readAll(const QString &Path);

// Writes the file whole, creating its directory; false when that fails.
bool writeAll(const QString &Path, const QByteArray &Data);

// Writes launchersettings.ini into an application directory: the package directory and file
// names (a settings file replaces the built-in one as a whole) followed by ExtraLines.
bool writeLauncherSettings(const QString &ApplicationDirectory, const QByteArray &ExtraLines);

} // namespace testsupport
