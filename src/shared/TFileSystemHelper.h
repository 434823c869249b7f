#pragma once

#include "TLocalFileInfo.h"
#include "format/TError.h"

#include <QByteArray>
#include <QDir>
#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QImage;
class QSettings;

namespace shared {

class TReadOnlyMemoryBlob;

// The one place where the launcher touches the file system. Every operation reports failure by
// throwing std::runtime_error; the helper keeps no mutable state and is used from any thread.
class TFileSystemHelper
{
public:
    TFileSystemHelper() = default;
    virtual ~TFileSystemHelper() = default;
    TFileSystemHelper(const TFileSystemHelper &) = delete;
    TFileSystemHelper &operator=(const TFileSystemHelper &) = delete;

    virtual std::shared_ptr<TReadOnlyMemoryBlob> openReadOnlyBlob(const QString &Path) const;
    virtual QByteArray readFile(const QString &Path) const;
    virtual QByteArray readFileIfPresent(const QString &Path) const;
    virtual void writeFile(const QString &Path, const QByteArray &Data) const;
    virtual void writeText(const QString &Path, const QString &Text) const;
    virtual void appendText(const QString &Path, const QString &Text) const;
    virtual bool deleteFile(const QString &Path) const;
    virtual QDir ensureDirectory(const QString &Path) const;
    virtual QString filePathInDirectory(const QDir &Base, const QString &RelativePath) const;
    virtual void forEachFile(const QString &DirectoryPath,
                             const std::function<void(const TLocalFileInfo &)> &Callback) const;
    virtual std::vector<TLocalFileInfo> listFiles(const QString &DirectoryPath) const;
    virtual bool fileExists(const QString &Path) const;
    virtual bool directoryExists(const QString &Path) const;
    virtual QString joinPath(const QStringList &Parts) const;
    virtual QDir ensureSubdirectory(const QString &ParentPath, const QString &Name) const;
    virtual std::shared_ptr<QSettings> openIniSettings(const QString &Path) const;
    virtual QJsonDocument readJsonFileAsQJsonDocument(const QString &Path, bool &ParseFailed) const;
    virtual std::shared_ptr<QImage> readImage(const QString &Path, const char *Format) const;
    virtual void writeImage(const QImage &Image, const QString &Path, const char *Format) const;
    // Whether two names in DirectoryPath that differ only in letter case name one file there.
    virtual Qt::CaseSensitivity fileNameCaseSensitivity(const QString &DirectoryPath) const;

    // Removes whatever is at Path: a symbolic link or junction as the link itself, never what it
    // leads to; a directory with everything below it, links inside it again removed as links; a
    // file through deleteFile. Nothing at Path is no error. Throws std::runtime_error when
    // something stays.
    void removePath(const QString &Path) const;

    // A symbolic link, or on Windows a junction: an entry that leads somewhere else.
    static bool isLink(const QFileInfo &Info);

    // The file that starting Program runs, resolved as the system's process start resolves it:
    // Program itself when it is a file, else, where a name without an extension gets ".exe"
    // (Windows), that file. Empty when neither is a file.
    static QString startableProgram(const QString &Program);
    static QString startableProgram(const QString &Program, bool CompletesExeSuffix);
};

} // namespace shared
