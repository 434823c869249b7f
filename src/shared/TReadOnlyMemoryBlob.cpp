#include "TReadOnlyMemoryBlob.h"

#include "TFileSystemHelper.h"
#include "format/TErrorException.h"

#include <QFile>
#include <QFileInfo>

#include <stdexcept>

namespace shared {

TReadOnlyMemoryBlob::TReadOnlyMemoryBlob(QString Path, QByteArray PresetContents)
    : m_path(std::move(Path)), m_presetContents(std::move(PresetContents))
{
    if (!QFileInfo::exists(m_path))
        throw TErrorException(EErrorCode::OpenFailed, m_path,
                              QStringLiteral("File does not exist"));
}

QByteArray TReadOnlyMemoryBlob::data()
{
    if (!m_presetContents.isEmpty())
        return m_presetContents;
    return readBytes();
}

QByteArray TReadOnlyMemoryBlob::readBytes() const
{
    if (!m_presetContents.isEmpty())
        return m_presetContents;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        throw TErrorException(EErrorCode::OpenFailed, file.fileName(),
                              QStringLiteral("Could not open file."));
    if (file.error() != QFileDevice::NoError)
        throw TErrorException(EErrorCode::ReadFailed, file.fileName(), file.errorString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw TErrorException(EErrorCode::ReadFailed, file.fileName(), file.errorString());
    return bytes;
}

} // namespace shared
