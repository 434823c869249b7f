#include "TChunkStore.h"

#include "TPublishError.h"

#include "format/BlobContainer.h"
#include "format/TSha256.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QUuid>

#include <algorithm>

namespace vorna::publisher {

namespace {

// Probing a few samples at the codec's fast level tells incompressible data (already compressed
// assets, media) from the rest for a fraction of the cost of a full pass, which for LZMA runs at
// only a few MB/s on such data.
constexpr qint64 ProbeSampleLength = 64 * 1024;
constexpr int ProbeSamples = 3;
constexpr int ProbeLevel = 1;

bool savesEnough(qint64 PackedSize, qint64 UnpackedSize)
{
    return double(PackedSize) <= double(UnpackedSize) * (1.0 - TChunkStore::MinimumSaving);
}

QByteArray readWholeFile(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        throw TPublishError(
            ::shared::EErrorCode::ReadFailed, Path,
            QStringLiteral("Could not read chunk file '%1': %2").arg(Path, file.errorString()));
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw TPublishError(
            ::shared::EErrorCode::ReadFailed, Path,
            QStringLiteral("Could not read chunk file '%1': %2").arg(Path, file.errorString()));
    return data;
}

} // namespace

TChunkStore::TChunkStore(const QString &Directory) : m_directory(QDir::cleanPath(Directory)) {}

QByteArray TChunkStore::readSourcePiece(const QString &Path, qint64 Offset, qint64 Length,
                                        const QByteArray &Hash)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(Offset))
        throw TPublishError(::shared::EErrorCode::ReadFailed, Path,
                            QStringLiteral("Could not read file '%1': %2")
                                .arg(QDir::toNativeSeparators(Path), file.errorString()));
    QByteArray content = file.read(Length);
    if (content.size() != Length || ::shared::sha256(content) != Hash)
        throw TPublishError(::shared::EErrorCode::SourceChanged, Path,
                            QStringLiteral("File '%1' changed while it was being published")
                                .arg(QDir::toNativeSeparators(Path)));
    return content;
}

QString TChunkStore::chunkPath(const QByteArray &UnpackedHash) const
{
    const QString hex = QString::fromLatin1(UnpackedHash.toHex());
    return m_directory + QLatin1Char('/') + hex.left(2) + QLatin1Char('/') + hex;
}

QString TChunkStore::deltaPath(const QByteArray &TargetHash, const QByteArray &BaseHash) const
{
    return chunkPath(TargetHash) + QLatin1Char('.') + QString::fromLatin1(BaseHash.toHex()) +
           QStringLiteral(".delta");
}

bool TChunkStore::putInPlace(const QString &Path, const QByteArray &Bytes,
                             const QString &What) const
{
    const QString directory = QFileInfo(Path).path();
    const QString reason = createDirectories(directory);
    if (!reason.isEmpty())
        throw TPublishError(::shared::EErrorCode::CreateFolderFailed, directory,
                            QStringLiteral("Could not create the chunk store directory '%1': %2")
                                .arg(directory, reason));

    // Written under a name of its own, then renamed into place: a reader never sees half a
    // file, and the rename refuses to replace a file another run stored in the meantime.
    const QString temporaryPath =
        Path + QStringLiteral(".partial-") + QUuid::createUuid().toString(QUuid::WithoutBraces);
    QSaveFile file(temporaryPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(Bytes) != Bytes.size() || !file.commit())
        throw TPublishError(::shared::EErrorCode::WriteFailed, temporaryPath,
                            QStringLiteral("Could not write %1 file '%2': %3")
                                .arg(What, temporaryPath, file.errorString()));
    QFile written(temporaryPath);
    if (!written.rename(Path)) {
        const QString renameError = written.errorString();
        QFile::remove(temporaryPath);
        if (QFileInfo::exists(Path))
            return false;
        throw TPublishError(
            ::shared::EErrorCode::WriteFailed, Path,
            QStringLiteral("Could not write %1 file '%2': %3").arg(What, Path, renameError));
    }
    return true;
}

bool TChunkStore::contains(const QByteArray &UnpackedHash) const
{
    return QFileInfo::exists(chunkPath(UnpackedHash));
}

TChunkStore::TStoredChunk TChunkStore::describe(const QByteArray &UnpackedHash,
                                                qint64 UnpackedSize) const
{
    const QString path = chunkPath(UnpackedHash);
    const QByteArray data = readWholeFile(path);
    // The name promises the content; a file of the wrong shape would make every installation
    // that needs it fail, so it stops the run instead of being referenced.
    const bool fits = UnpackedSize == 0 ? data.isEmpty() : ::shared::isBlobContainer(data);
    if (!fits)
        throw TPublishError(
            ::shared::EErrorCode::InvalidInput, path,
            QStringLiteral("Chunk file '%1' in the store is not a chunk container").arg(path));
    TStoredChunk chunk;
    chunk.packedSize = data.size();
    chunk.packedHash = ::shared::sha256(data);
    chunk.unpack = UnpackedSize != 0;
    return chunk;
}

TChunkStore::TStoredChunk TChunkStore::store(const QByteArray &UnpackedHash,
                                             const QByteArray &Content,
                                             const TCompression &Compression,
                                             const ::shared::TBlobEncodeProgress &Progress) const
{
    const QString path = chunkPath(UnpackedHash);
    if (QFileInfo::exists(path))
        return describe(UnpackedHash, Content.size());

    const QByteArray packed = pack(Content, Compression, Progress);
    if (!putInPlace(path, packed, QStringLiteral("chunk")))
        return describe(UnpackedHash, Content.size());

    TStoredChunk chunk;
    chunk.packedSize = packed.size();
    chunk.packedHash = ::shared::sha256(packed);
    chunk.unpack = !Content.isEmpty();
    chunk.written = true;
    chunk.compressed = ::shared::blobContainerCodec(packed).value_or(::shared::BlobCodecStored) !=
                       ::shared::BlobCodecStored;
    return chunk;
}

QByteArray TChunkStore::pack(const QByteArray &Content, const TCompression &Compression,
                             const ::shared::TBlobEncodeProgress &Progress)
{
    if (Content.isEmpty())
        return {};
    if (!looksIncompressible(Content, Compression.codec)) {
        QByteArray compressed = ::shared::encodeBlobContainer(Content, Compression.codec,
                                                              Compression.level, true, Progress);
        if (savesEnough(compressed.size(), Content.size()))
            return compressed;
    }
    return ::shared::encodeBlobContainer(Content, ::shared::BlobCodecStored);
}

bool TChunkStore::looksIncompressible(const QByteArray &Content, int Codec)
{
    const qint64 size = Content.size();
    if (size <= ProbeSamples * ProbeSampleLength)
        return false; // small enough to simply try
    qint64 sampled = 0;
    qint64 packed = 0;
    for (int sample = 0; sample < ProbeSamples; ++sample) {
        const qint64 offset = (size - ProbeSampleLength) * sample / (ProbeSamples - 1);
        const QByteArray bytes = Content.mid(int(offset), int(ProbeSampleLength));
        sampled += bytes.size();
        packed += ::shared::encodeBlobContainer(bytes, Codec, ProbeLevel).size();
    }
    // The fast preset saves less than the real one, so the probe asks for only half the saving.
    return double(packed) > double(sampled) * (1.0 - MinimumSaving / 2);
}

} // namespace vorna::publisher
