#pragma once

#include "format/TErrorException.h"

#include <QDir>
#include <QString>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace vorna::publisher {

// A publishing run that cannot go on: bad input, an unreadable file, a store that cannot be
// written. The message is shown to the studio as it is; the code and the path (empty where no
// single file is concerned) say what failed.
class TPublishError final : public ::shared::TErrorException
{
public:
    TPublishError(::shared::EErrorCode Code, const QString &Path, const QString &Message)
        : ::shared::TErrorException(::shared::TError{Code, Path, Message}, Message)
    {
    }
};

// Creates Directory with its missing parents. Returns an empty text on success, else the
// operating system's reason ("Not a directory", "Permission denied"), for the studio's message.
inline QString createDirectories(const QString &Directory)
{
    std::error_code error;
    const std::filesystem::path path(QDir::toNativeSeparators(Directory).toStdWString());
    std::filesystem::create_directories(path, error);
    if (!error && std::filesystem::is_directory(path, error))
        return {};
    if (!error)
        error = std::make_error_code(std::errc::not_a_directory);
    return QString::fromLocal8Bit(error.message().c_str());
}

} // namespace vorna::publisher
