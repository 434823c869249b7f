#include "TError.h"

#include "BlobContainer.h"
#include "TErrorException.h"
#include "TZstdDelta.h"

#include <QDir>

namespace shared {

QString TError::text() const
{
    switch (code) {
    case EErrorCode::DeleteFailed:
        return QStringLiteral("Failed to delete file ") + path;
    case EErrorCode::CreateFolderFailed:
        if (path.isEmpty())
            return detail;
        return QStringLiteral("Failed to create folder: '%1'.").arg(QDir::toNativeSeparators(path));
    case EErrorCode::FolderMissing:
        return QStringLiteral("Directory doesn't exist");
    case EErrorCode::InvalidFileName:
        return QStringLiteral("Invalid file name in package configuration: '%1'").arg(path);
    case EErrorCode::ScanFailed:
        return QStringLiteral("Scanning the installation directory failed: %1").arg(detail);
    default:
        return path.isEmpty() ? detail : ioErrorText(path, detail);
    }
}

QString ioErrorText(const QString &FileName, const QString &Reason)
{
    return QStringLiteral("I/O error on file '%1': %2").arg(FileName, Reason);
}

TError errorOf(const std::exception &Error)
{
    if (const auto *typed = dynamic_cast<const TErrorException *>(&Error))
        return typed->error();
    if (dynamic_cast<const TDecompressionError *>(&Error))
        return {EErrorCode::DecompressionFailed, {}, errorText(Error)};
    if (dynamic_cast<const TDeltaError *>(&Error))
        return {EErrorCode::DeltaFailed, {}, errorText(Error)};
    return {EErrorCode::Unexpected, {}, errorText(Error)};
}

} // namespace shared
