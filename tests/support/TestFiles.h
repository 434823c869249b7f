#pragma once

#include <QByteArray>
#include <QString>

namespace testsupport {

// The whole file, or empty bytes when it cannot be read.
QByteArray readAll(const QString &Path);

// Writes the file whole, creating its directory; false when that fails.
bool writeAll(const QString &Path, const QByteArray &Data);

} // namespace testsupport
