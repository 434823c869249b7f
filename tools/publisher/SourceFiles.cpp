#include "SourceFiles.h"

#include "TPublishError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryFile>

#include <algorithm>

namespace vorna::publisher {

namespace {

// Walks one directory of the tree below Root (canonical). Links are followed, files and
// directories alike, as long as they lead to a place inside Root; a link that leads out of
// the tree, nowhere, or into a directory it is itself inside stops the run with the link's
// name: a package never silently lacks what a link stood for. Ancestors holds the canonical
// directories from Root down to this one.
void collectFiles(const QString &Root, const QString &Directory, QStringList &Ancestors,
                  const QDir &Base, bool Asset, std::vector<TSourceFile> &Files)
{
    const QDir directory(Directory);
    if (!directory.isReadable())
        throw TPublishError(::shared::EErrorCode::ReadFailed, Directory,
                            QStringLiteral("Could not read directory '%1': permission denied")
                                .arg(QDir::toNativeSeparators(Directory)));
    // System entries are listed too, so that a device or socket in a build directory stops the
    // run instead of silently missing from the package.
    const QFileInfoList entries = directory.entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QFileInfo &info : entries) {
        const QString path = info.filePath();
        const QString real = info.canonicalFilePath();
        if (info.isSymbolicLink() || info.isJunction()) {
            const QString name = QDir::toNativeSeparators(path);
            if (real.isEmpty())
                throw TPublishError(
                    ::shared::EErrorCode::InvalidInput, {},
                    QStringLiteral("The link '%1' leads to '%2', which does not exist")
                        .arg(name, QDir::toNativeSeparators(info.symLinkTarget())));
            if (!isSameOrInside(real, Root))
                throw TPublishError(
                    ::shared::EErrorCode::InvalidInput, {},
                    QStringLiteral("The link '%1' leads to '%2', outside '%3': copy the files "
                                   "into the directory or publish the target directly")
                        .arg(name, QDir::toNativeSeparators(real), QDir::toNativeSeparators(Root)));
            if (info.isDir() && Ancestors.contains(real))
                throw TPublishError(::shared::EErrorCode::InvalidInput, {},
                                    QStringLiteral("The link '%1' leads to '%2', which contains "
                                                   "the link: the tree would never end")
                                        .arg(name, QDir::toNativeSeparators(real)));
        }
        if (info.isDir()) {
            Ancestors.append(real);
            collectFiles(Root, path, Ancestors, Base, Asset, Files);
            Ancestors.removeLast();
            continue;
        }
        if (!info.isFile())
            throw TPublishError(::shared::EErrorCode::InvalidInput, path,
                                QStringLiteral("Could not read file '%1': not a regular file")
                                    .arg(QDir::toNativeSeparators(path)));
        TSourceFile file;
        file.path = path;
        file.localFile = Base.relativeFilePath(path);
        file.executable =
            info.permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
        file.asset = Asset;
        file.size = info.size();
        file.modified = info.lastModified();
        Files.push_back(file);
    }
}

} // namespace

bool isSameOrInside(const QString &Path, const QString &Directory)
{
    return Path == Directory || Path.startsWith(Directory + QLatin1Char('/'));
}

QString plannedPath(const QString &Directory)
{
    QString existing = QDir::cleanPath(QFileInfo(Directory).absoluteFilePath());
    QString missing;
    while (!QFileInfo::exists(existing)) {
        const QFileInfo info(existing);
        const QString parent = info.path();
        if (parent == existing)
            break;
        missing =
            missing.isEmpty() ? info.fileName() : info.fileName() + QLatin1Char('/') + missing;
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    const QString base = canonical.isEmpty() ? existing : canonical;
    return missing.isEmpty() ? base : QDir::cleanPath(base + QLatin1Char('/') + missing);
}

QString prepareWritableDirectory(const QString &Directory, const QString &What)
{
    const QString reason = createDirectories(Directory);
    if (!reason.isEmpty())
        throw TPublishError(::shared::EErrorCode::CreateFolderFailed, Directory,
                            QStringLiteral("The %1 '%2' cannot be created: %3")
                                .arg(What, QDir::toNativeSeparators(Directory), reason));
    QTemporaryFile probe(Directory + QStringLiteral("/.corvane-publish-probe-XXXXXX"));
    if (!probe.open())
        throw TPublishError(
            ::shared::EErrorCode::WriteFailed, Directory,
            QStringLiteral("The %1 '%2' is not writable: %3")
                .arg(What, QDir::toNativeSeparators(Directory), probe.errorString()));
    return QFileInfo(Directory).canonicalFilePath();
}

QString existingDirectory(const QString &Directory, const QString &What)
{
    const QFileInfo info(Directory);
    if (Directory.isEmpty() || !info.exists())
        throw TPublishError(::shared::EErrorCode::FolderMissing, Directory,
                            QStringLiteral("The %1 '%2' does not exist")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    if (!info.isDir())
        throw TPublishError(::shared::EErrorCode::InvalidInput, Directory,
                            QStringLiteral("The %1 '%2' is not a directory")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    if (!info.isReadable())
        throw TPublishError(::shared::EErrorCode::ReadFailed, Directory,
                            QStringLiteral("The %1 '%2' is not readable: permission denied")
                                .arg(What, QDir::toNativeSeparators(Directory)));
    return info.canonicalFilePath();
}

std::vector<TSourceFile> listFiles(const QString &Directory, bool Asset)
{
    std::vector<TSourceFile> files;
    QStringList ancestors{Directory};
    collectFiles(Directory, Directory, ancestors, QDir(Directory), Asset, files);
    std::sort(files.begin(), files.end(), [](const TSourceFile &Left, const TSourceFile &Right) {
        return Left.localFile < Right.localFile;
    });
    return files;
}

QStringList caseCollisions(const std::vector<TSourceFile> &Sources)
{
    QHash<QString, QString> fileByFoldedName;
    QStringList pairs;
    for (const TSourceFile &file : Sources) {
        const QString folded = file.localFile.toCaseFolded();
        const auto known = fileByFoldedName.constFind(folded);
        if (known == fileByFoldedName.constEnd())
            fileByFoldedName.insert(folded, file.localFile);
        else
            pairs << QStringLiteral("'%1' and '%2'").arg(*known, file.localFile);
    }
    for (const TSourceFile &file : Sources) {
        for (int slash = file.localFile.indexOf(QLatin1Char('/')); slash > 0;
             slash = file.localFile.indexOf(QLatin1Char('/'), slash + 1)) {
            const QString directory = file.localFile.left(slash);
            const auto known = fileByFoldedName.constFind(directory.toCaseFolded());
            if (known != fileByFoldedName.constEnd() && *known != directory)
                pairs << QStringLiteral("'%1' and '%2'").arg(*known, file.localFile);
        }
    }
    return pairs;
}

} // namespace vorna::publisher
