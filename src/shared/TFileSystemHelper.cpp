#include "TFileSystemHelper.h"

#include "TLZMACompressedReadOnlyMemoryBlob.h"
#include "format/TErrorException.h"
#include "shared/LogCategories.h"

#include <QBuffer>
#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QJsonParseError>
#include <QSettings>
#include <QSysInfo>
#include <QTextStream>

#include <stdexcept>

namespace shared {

namespace {

[[noreturn]] void throwIoError(EErrorCode Code, const QFile &File, const QString &Reason)
{
    throw TErrorException(Code, File.fileName(), Reason);
}

void throwOnFileError(EErrorCode Code, const QFile &File)
{
    if (File.error() != QFileDevice::NoError)
        throwIoError(Code, File, File.errorString());
}

QByteArray readWholeFile(const QString &Path, bool MissingIsEmpty)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (MissingIsEmpty && file.error() == QFileDevice::OpenError)
            return {};
        throwIoError(EErrorCode::OpenFailed, file, file.errorString());
    }
    throwOnFileError(EErrorCode::ReadFailed, file);
    QByteArray data = file.readAll();
    throwOnFileError(EErrorCode::ReadFailed, file);
    file.close();
    throwOnFileError(EErrorCode::ReadFailed, file);
    return data;
}

// A document may name files with either separator and with Windows drive or UNC prefixes; all of
// them are read as plain relative names below the base directory.
QString normalisedRelativePath(QString RelativePath)
{
    const int nul = RelativePath.indexOf(QChar(0));
    if (nul >= 0)
        RelativePath.truncate(nul);
    RelativePath.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (RelativePath.size() >= 2 && RelativePath.at(1) == QLatin1Char(':') &&
        RelativePath.at(0).isLetter())
        RelativePath.remove(0, 2);
    return RelativePath;
}

bool removeLink(const QString &Path)
{
    // A link to a directory is a directory entry on Windows and only goes with rmdir there.
    return QFile::remove(Path) || QDir().rmdir(Path);
}

// Empties and removes a directory that is not a link, without entering any link below it.
bool removeDirectoryTree(const QString &Path)
{
    bool removed = true;
    const QFileInfoList entries = QDir(Path).entryInfoList(QDir::AllEntries | QDir::Hidden |
                                                           QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &entry : entries) {
        const QString entryPath = entry.absoluteFilePath();
        if (TFileSystemHelper::isLink(entry))
            removed = removeLink(entryPath) && removed;
        else if (entry.isDir())
            removed = removeDirectoryTree(entryPath) && removed;
        else if (!QFile::remove(entryPath)) {
            // A read-only file (Windows) only goes once it may be written.
            QFile::setPermissions(entryPath, entry.permissions() | QFile::WriteUser);
            removed = QFile::remove(entryPath) && removed;
        }
    }
    return QDir().rmdir(Path) && removed;
}

bool isInside(const QString &Path, const QString &Base)
{
    // Cleaning keeps a parent reference it cannot resolve, as in "/..": such a path names
    // something above what its prefix suggests.
    if (Path.split(QLatin1Char('/')).contains(QLatin1String("..")))
        return false;
    if (Path == Base)
        return true;
    const QString prefix = Base.endsWith(QLatin1Char('/')) ? Base : Base + QLatin1Char('/');
    return Path.startsWith(prefix);
}

} // namespace

std::shared_ptr<TReadOnlyMemoryBlob> TFileSystemHelper::openReadOnlyBlob(const QString &Path) const
{
    const QString lzmaSuffix = QStringLiteral(".lzma");
    if (fileExists(Path)) {
        if (Path.endsWith(lzmaSuffix))
            return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(Path);
        return std::make_shared<TReadOnlyMemoryBlob>(Path);
    }
    if (fileExists(Path + lzmaSuffix))
        return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(Path + lzmaSuffix);
    return std::make_shared<TReadOnlyMemoryBlob>(Path);
}

QByteArray TFileSystemHelper::readFile(const QString &Path) const
{
    return readWholeFile(Path, false);
}

QByteArray TFileSystemHelper::readFileIfPresent(const QString &Path) const
{
    return readWholeFile(Path, true);
}

void TFileSystemHelper::writeFile(const QString &Path, const QByteArray &Data) const
{
    QFile file(Path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throwIoError(EErrorCode::OpenFailed, file, QStringLiteral("Could not open file."));
    throwOnFileError(EErrorCode::WriteFailed, file);
    const qint64 written = file.write(Data);
    throwOnFileError(EErrorCode::WriteFailed, file);
    file.close();
    throwOnFileError(EErrorCode::WriteFailed, file);
    if (written != Data.size())
        throwIoError(EErrorCode::WriteFailed, file,
                     QStringLiteral("Could not write all data to disk."));
}

void TFileSystemHelper::writeText(const QString &Path, const QString &Text) const
{
    QFile file(Path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream << Text;
}

void TFileSystemHelper::appendText(const QString &Path, const QString &Text) const
{
    QFile file(Path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        return;
    QTextStream stream(&file);
    stream << Text;
}

bool TFileSystemHelper::deleteFile(const QString &Path) const
{
    if (!QFile::remove(Path))
        throw TErrorException(EErrorCode::DeleteFailed, Path, {});
    return true;
}

QDir TFileSystemHelper::ensureDirectory(const QString &Path) const
{
    QDir dir(Path);
    if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
        throw TErrorException(EErrorCode::CreateFolderFailed, Path, {});
    dir.refresh();
    return dir;
}

QString TFileSystemHelper::filePathInDirectory(const QDir &Base, const QString &RelativePath) const
{
    const QString base = QDir::cleanPath(Base.absolutePath());
    const QString relative = normalisedRelativePath(RelativePath);
    const QString joined = QDir::cleanPath(joinPath({base, relative}));
    if (isInside(joined, base))
        return joined;

    // The path climbs out of the base: keep only its last name. A last name that is itself a
    // reference to a directory (".." or ".") would climb again or name the base, so it is dropped.
    QString name = QFileInfo(relative).fileName();
    if (name.isEmpty())
        name = QFileInfo(QDir::cleanPath(relative)).fileName();
    if (name == QLatin1String("..") || name == QLatin1String("."))
        name.clear();
    const QString confined = QDir::cleanPath(joinPath({base, name}));
    return isInside(confined, base) ? confined : base;
}

void TFileSystemHelper::forEachFile(
    const QString &DirectoryPath, const std::function<void(const TLocalFileInfo &)> &Callback) const
{
    for (const TLocalFileInfo &info : listFiles(DirectoryPath))
        Callback(info);
}

std::vector<TLocalFileInfo> TFileSystemHelper::listFiles(const QString &DirectoryPath) const
{
    std::vector<TLocalFileInfo> files;
    QDirIterator it(DirectoryPath, QDir::Files | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo info = it.fileInfo();
        files.emplace_back(info.absoluteFilePath(), info.size());
    }
    return files;
}

bool TFileSystemHelper::fileExists(const QString &Path) const
{
    return QFileInfo::exists(Path);
}

bool TFileSystemHelper::directoryExists(const QString &Path) const
{
    return QFileInfo(Path).isDir();
}

QString TFileSystemHelper::joinPath(const QStringList &Parts) const
{
    QString joined;
    for (const QString &part : Parts)
        joined += QLatin1Char('/') + part;
    return QDir::toNativeSeparators(joined.mid(1));
}

QDir TFileSystemHelper::ensureSubdirectory(const QString &ParentPath, const QString &Name) const
{
    QDir parent(ParentPath);
    if (!parent.exists())
        throw TErrorException(EErrorCode::FolderMissing, ParentPath, {});
    QDir subdirectory(parent.filePath(Name));
    if (subdirectory.exists())
        return subdirectory;
    if (!parent.mkpath(Name) || !subdirectory.exists())
        throw TErrorException(EErrorCode::CreateFolderFailed, {},
                              QStringLiteral("Failed to create subdirectory."));
    subdirectory.refresh();
    return subdirectory;
}

std::shared_ptr<QSettings> TFileSystemHelper::openIniSettings(const QString &Path) const
{
    return std::make_shared<QSettings>(Path, QSettings::IniFormat);
}

QJsonDocument TFileSystemHelper::readJsonFileAsQJsonDocument(const QString &Path,
                                                             bool &ParseFailed) const
{
    const QByteArray bytes = readFileIfPresent(Path);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (!bytes.isEmpty() && error.error != QJsonParseError::NoError) {
        qCWarning(lcShared) << "Json parse error in file" << Path << ": " << error.errorString()
                            << "at offset" << error.offset;
        ParseFailed = true;
        return {};
    }
    ParseFailed = false;
    return document;
}

std::shared_ptr<QImage> TFileSystemHelper::readImage(const QString &Path, const char *Format) const
{
    const QByteArray bytes = readFileIfPresent(Path);
    if (bytes.isEmpty())
        return {};
    auto image = std::make_shared<QImage>();
    if (!image->loadFromData(bytes, Format))
        return {};
    return image;
}

void TFileSystemHelper::writeImage(const QImage &Image, const QString &Path,
                                   const char *Format) const
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    Image.save(&buffer, Format);
    buffer.close();
    writeFile(Path, bytes);
}

Qt::CaseSensitivity TFileSystemHelper::fileNameCaseSensitivity(const QString &DirectoryPath) const
{
    // Asked of the file system itself, without writing: a mount, a volume or a directory can
    // differ from what the operating system usually does. An entry whose name with its letter
    // case changed is found too, without being listed as an entry of its own, is found
    // regardless of case. A directory not created yet lies on the file system of its nearest
    // existing parent.
    QString existing = QDir(DirectoryPath).absolutePath();
    while (!QFileInfo(existing).isDir()) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        existing = parent;
    }
    const QDir directory(existing);
    const QStringList names =
        directory.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names) {
        const QString other = name.toUpper() != name ? name.toUpper() : name.toLower();
        if (other == name || names.contains(other))
            continue;
        const QFileInfo found(directory.filePath(other));
        return found.exists() || found.isSymLink() ? Qt::CaseInsensitive : Qt::CaseSensitive;
    }
    const QString kernel = QSysInfo::kernelType();
    return kernel == QLatin1String("winnt") || kernel == QLatin1String("darwin")
               ? Qt::CaseInsensitive
               : Qt::CaseSensitive;
}

bool TFileSystemHelper::isLink(const QFileInfo &Info)
{
    return Info.isSymLink() || Info.isJunction();
}

QString TFileSystemHelper::startableProgram(const QString &Program)
{
    return startableProgram(Program, QSysInfo::kernelType() == QLatin1String("winnt"));
}

QString TFileSystemHelper::startableProgram(const QString &Program, bool CompletesExeSuffix)
{
    if (Program.isEmpty())
        return {};
    if (QFileInfo(Program).isFile())
        return Program;
    // CreateProcess appends ".exe" only to a file name without any dot in it.
    const QString completed = Program + QStringLiteral(".exe");
    if (CompletesExeSuffix && !QFileInfo(Program).fileName().contains(QLatin1Char('.')) &&
        QFileInfo(completed).isFile())
        return completed;
    return {};
}

void TFileSystemHelper::removePath(const QString &Path) const
{
    const QFileInfo info(Path);
    if (isLink(info)) {
        if (!removeLink(Path))
            throw TErrorException(EErrorCode::RemoveFailed, Path,
                                  QStringLiteral("Could not remove link."));
        return;
    }
    if (info.isDir()) {
        if (!removeDirectoryTree(Path))
            throw TErrorException(EErrorCode::RemoveFailed, Path,
                                  QStringLiteral("Could not remove directory."));
        return;
    }
    if (info.exists())
        deleteFile(Path);
}

} // namespace shared
