#pragma once

#include <QString>

namespace shared {

// One file found by TFileSystemHelper::listFiles.
struct TLocalFileInfo
{
    TLocalFileInfo() = default;
    TLocalFileInfo(QString AbsoluteFilePath, qint64 Size)
        : absoluteFilePath(std::move(AbsoluteFilePath)), size(Size)
    {
    }
    virtual ~TLocalFileInfo() = default;
    TLocalFileInfo(const TLocalFileInfo &) = default;
    TLocalFileInfo &operator=(const TLocalFileInfo &) = default;

    QString absoluteFilePath;
    qint64 size = 0;
};

} // namespace shared
