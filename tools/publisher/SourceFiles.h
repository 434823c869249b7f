#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <vector>

namespace vorna::publisher {

// A file to publish, as listed from a source or assets directory.
struct TSourceFile
{
    QString path;
    QString localFile;
    bool executable = false;
    bool asset = false;
    qint64 size = 0;
    QDateTime modified;
};

bool isSameOrInside(const QString &Path, const QString &Directory);

// The canonical form of a directory that may not exist yet: the canonical path of its deepest
// existing ancestor followed by the missing rest. Links on the way are resolved, so two
// spellings of one place compare equal before anything is created.
QString plannedPath(const QString &Directory);

// Makes the directory and returns its canonical path; throws TPublishError when it cannot be
// written, before any work is spent on compression.
QString prepareWritableDirectory(const QString &Directory, const QString &What);

// The canonical path of a directory to read; throws TPublishError when it is none or unreadable.
QString existingDirectory(const QString &Directory, const QString &What);

// Every file below Directory (canonical), in the order of their names. Throws TPublishError for
// a link that leads out of the tree, nowhere or into a loop, and for an entry that is no regular
// file.
std::vector<TSourceFile> listFiles(const QString &Directory, bool Asset);

// Names that stand for one file where letter case is ignored (Windows, usually macOS), as
// "'xt_DSCP.ko' and 'xt_dscp.ko'": a file twice, or a file and a directory. The launcher on
// such a file system refuses the package as contradicting itself; elsewhere it installs.
QStringList caseCollisions(const std::vector<TSourceFile> &Sources);

} // namespace vorna::publisher
