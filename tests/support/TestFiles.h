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

// The build entry names ("os", "architecture") of the machine the tests run on.
QString runningOsName();
QString runningArchitectureName();

// Makes Link a symbolic link to Target; on Windows a junction, which any user may make but only
// to a directory. False where that cannot be done (a file target on Windows; Wine 8, which has
// neither junctions nor symbolic links).
bool makeLink(const QString &Target, const QString &Link);

} // namespace testsupport

// Makes the link or skips the test, saying why.
#define LINK_OR_SKIP(Target, Link)                                                                 \
    do {                                                                                           \
        if (!testsupport::makeLink(Target, Link))                                                  \
            QSKIP("this platform cannot make this link (Windows makes junctions to directories "   \
                  "only; Wine 8 makes no links at all)");                                          \
    } while (false)
