#include "TPackWriter.h"

#include "TPublishError.h"

#include "format/DocumentKeys.h"
#include "format/TSha256.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUuid>

namespace vorna::publisher {

namespace keys = ::shared::documentkeys;

namespace {

QByteArray readObject(const TPackWriter::TObject &Object)
{
    QFile file(Object.path);
    if (!file.open(QIODevice::ReadOnly))
        throw TPublishError(::shared::EErrorCode::ReadFailed, Object.path,
                            QStringLiteral("Could not read '%1' for a pack: %2")
                                .arg(QDir::toNativeSeparators(Object.path), file.errorString()));
    // The documents give size and hash of the object; a pack must hold exactly those bytes.
    QByteArray bytes = file.read(Object.size + 1);
    if (bytes.size() != Object.size || ::shared::sha256(bytes) != Object.hash)
        throw TPublishError(::shared::EErrorCode::SourceChanged, Object.path,
                            QStringLiteral("'%1' changed in the store while it was being packed")
                                .arg(QDir::toNativeSeparators(Object.path)));
    return bytes;
}

void collectPlaces(const QJsonObject &Object, const QDir &OutputDirectory,
                   QHash<QString, TPackWriter::TPlace> &Places)
{
    const QString pack = Object.value(keys::Pack).toString();
    const QString url = Object.value(keys::Url).toString();
    const QJsonValue offset = Object.value(keys::PackOffset);
    if (pack.isEmpty() || url.isEmpty() || !offset.isDouble())
        return;
    const QString packPath = QDir::cleanPath(OutputDirectory.filePath(pack));
    const QFileInfo packInfo(packPath);
    const qint64 start = qint64(offset.toDouble());
    const qint64 size = qint64(Object.value(keys::PackedSize).toDouble());
    if (start < 0 || size <= 0 || !packInfo.isFile() || packInfo.size() < start + size)
        return;
    Places.insert(QDir::cleanPath(OutputDirectory.filePath(url)), {packPath, start});
}

} // namespace

std::vector<TPackWriter::TPlace> TPackWriter::write(const std::vector<TObject> &Objects)
{
    std::vector<TPlace> places(Objects.size());
    std::size_t first = 0;
    qint64 packSize = 0;
    for (std::size_t index = 0; index < Objects.size(); ++index) {
        if (index > first && packSize + Objects[index].size > MaximumPackSize) {
            writePack(Objects, first, index, places);
            first = index;
            packSize = 0;
        }
        packSize += Objects[index].size;
    }
    if (first < Objects.size())
        writePack(Objects, first, Objects.size(), places);
    return places;
}

void TPackWriter::writePack(const std::vector<TObject> &Objects, std::size_t First, std::size_t End,
                            std::vector<TPlace> &Places)
{
    // Written under a name of its own and renamed to its hash once complete, like the chunks: a
    // reader never sees half a pack, and a pack of the same content written meanwhile is kept.
    const QString temporaryPath = m_directory + QStringLiteral("/.pack-partial-") +
                                  QUuid::createUuid().toString(QUuid::WithoutBraces);
    QFile file(temporaryPath);
    if (!file.open(QIODevice::WriteOnly))
        throw TPublishError(::shared::EErrorCode::WriteFailed, temporaryPath,
                            QStringLiteral("Could not write pack file '%1': %2")
                                .arg(temporaryPath, file.errorString()));
    ::shared::TSha256 hash;
    qint64 offset = 0;
    for (std::size_t index = First; index < End; ++index) {
        const QByteArray bytes = readObject(Objects[index]);
        if (file.write(bytes) != bytes.size()) {
            const QString reason = file.errorString();
            file.remove();
            throw TPublishError(
                ::shared::EErrorCode::WriteFailed, temporaryPath,
                QStringLiteral("Could not write pack file '%1': %2").arg(temporaryPath, reason));
        }
        hash.addData(bytes.constData(), std::size_t(bytes.size()));
        Places[index].offset = offset;
        offset += bytes.size();
    }
    if (!file.flush()) {
        const QString reason = file.errorString();
        file.remove();
        throw TPublishError(
            ::shared::EErrorCode::WriteFailed, temporaryPath,
            QStringLiteral("Could not write pack file '%1': %2").arg(temporaryPath, reason));
    }
    file.close();

    const QString hex = QString::fromLatin1(hash.result().toHex());
    const QString directory = m_directory + QLatin1Char('/') + hex.left(2);
    const QString path = directory + QLatin1Char('/') + hex + QStringLiteral(".pack");
    const QString reason = createDirectories(directory);
    if (!reason.isEmpty()) {
        QFile::remove(temporaryPath);
        throw TPublishError(::shared::EErrorCode::CreateFolderFailed, directory,
                            QStringLiteral("Could not create the chunk store directory '%1': %2")
                                .arg(directory, reason));
    }
    if (QFileInfo::exists(path)) {
        QFile::remove(temporaryPath);
    } else if (!QFile::rename(temporaryPath, path)) {
        QFile::remove(temporaryPath);
        if (!QFileInfo::exists(path))
            throw TPublishError(::shared::EErrorCode::WriteFailed, path,
                                QStringLiteral("Could not write pack file '%1'").arg(path));
    } else {
        ++m_packsWritten;
        m_bytesWritten += offset;
    }
    for (std::size_t index = First; index < End; ++index)
        Places[index].packPath = path;
}

QHash<QString, TPackWriter::TPlace> TPackWriter::knownPlaces(const QDir &OutputDirectory,
                                                             const QStringList &DocumentNames)
{
    QHash<QString, TPlace> places;
    for (const QString &name : DocumentNames) {
        QFile file(OutputDirectory.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QJsonObject document = QJsonDocument::fromJson(file.readAll()).object();
        for (const QJsonValue &value : document.value(keys::Chunks).toArray()) {
            const QJsonObject chunk = value.toObject();
            collectPlaces(chunk, OutputDirectory, places);
            for (const QJsonValue &delta : chunk.value(keys::Deltas).toArray())
                collectPlaces(delta.toObject(), OutputDirectory, places);
        }
    }
    return places;
}

} // namespace vorna::publisher
