#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

namespace testsupport {

// A directory of files that nothing may touch: placed next to an installation directory, it
// catches a write, move or delete that escaped it. Remembers the content and modification time
// of every file, and the set of entries, at construction.
class TSentinelDirectory final
{
public:
    // Creates Path (if needed) with a few files and a subdirectory.
    explicit TSentinelDirectory(const QString &Path);

    QString path() const { return m_path; }
    QString filePath(const QString &Name) const;
    // What differs from the state at construction, one line per difference; empty when unchanged.
    QStringList changes() const;

private:
    struct TEntry
    {
        QByteArray content;
        QDateTime modified;
    };
    QMap<QString, TEntry> snapshot() const;

    QString m_path;
    QMap<QString, TEntry> m_entries;
};

// Every file below Root, as paths relative to it (directories end with '/').
QStringList listTree(const QString &Root);

} // namespace testsupport
