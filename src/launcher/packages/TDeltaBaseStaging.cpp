#include "TDeltaBaseStaging.h"

#include "DownloadLogging.h"

#include "format/TErrorException.h"
#include "format/TSha256.h"
#include "format/TTextError.h"
#include "format/TZstdDelta.h"
#include "shared/LogCategories.h"
#include "shared/TFileSystemHelper.h"

#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSet>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace vorna::launcher {

namespace {

constexpr qint64 CopyBlockLength = qint64(4) << 20;
constexpr const char *StagingName = ".corvane-delta-bases";

// Appends Size bytes of From at Offset to To, hashing them on the way.
bool appendRange(QFile &From, quint64 Offset, quint64 Size, QFile &To, ::shared::TSha256 &Hash)
{
    if (!From.seek(qint64(Offset)))
        return false;
    QByteArray block;
    quint64 left = Size;
    while (left > 0) {
        const qint64 length = qint64(std::min<quint64>(left, quint64(CopyBlockLength)));
        block.resize(int(length));
        if (From.read(block.data(), length) != length || To.write(block) != length)
            return false;
        Hash.addData(block);
        left -= quint64(length);
    }
    return true;
}

bool isStagedName(const QString &Name)
{
    if (Name.size() != 2 * ::shared::TSha256::DigestSize)
        return false;
    return std::all_of(Name.begin(), Name.end(), [](QChar Character) {
        return (Character >= QLatin1Char('0') && Character <= QLatin1Char('9')) ||
               (Character >= QLatin1Char('a') && Character <= QLatin1Char('f'));
    });
}

} // namespace

TDeltaBaseStaging::TDeltaBaseStaging(const QDir &InstallationDirectory, qint64 Budget)
    : m_installationDirectory(InstallationDirectory),
      m_directory(stagingDirectory(InstallationDirectory)), m_budget(Budget)
{
}

QString TDeltaBaseStaging::stagingDirectory(const QDir &InstallationDirectory)
{
    return InstallationDirectory.absoluteFilePath(QLatin1String(StagingName));
}

bool TDeltaBaseStaging::isInStagingDirectory(const QDir &InstallationDirectory, const QString &Path,
                                             Qt::CaseSensitivity Sensitivity)
{
    const QString staging = QDir::cleanPath(stagingDirectory(InstallationDirectory));
    const QString path = QDir::cleanPath(Path);
    return path.compare(staging, Sensitivity) == 0 ||
           path.startsWith(staging + QLatin1Char('/'), Sensitivity);
}

QString TDeltaBaseStaging::stagingConflict(const QDir &InstallationDirectory,
                                           const QString &LocalFile, const QString &Path,
                                           Qt::CaseSensitivity Sensitivity)
{
    if (!isInStagingDirectory(InstallationDirectory, Path, Sensitivity))
        return {};
    return QStringLiteral("The package names '%1', inside the directory the launcher keeps for "
                          "delta bases")
        .arg(LocalFile);
}

void TDeltaBaseStaging::removeStagingDirectory(const QDir &InstallationDirectory,
                                               const ::shared::TFileSystemHelper &FilesystemHelper)
{
    try {
        FilesystemHelper.removePath(stagingDirectory(InstallationDirectory));
    } catch (const std::runtime_error &Error) {
        qCWarning(lcPackages).noquote() << ::shared::errorText(Error);
    }
}

qint64 TDeltaBaseStaging::budgetFor(const QDir &InstallationDirectory, quint64 Growth)
{
    const QStorageInfo storage(InstallationDirectory.absolutePath());
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : 0;
    const quint64 reserved = std::min<quint64>(Growth, quint64(available));
    return available - qint64(reserved) - FreeSpaceMargin;
}

void TDeltaBaseStaging::keepEarlierStaging(const ::shared::TFileSystemHelper &FilesystemHelper)
{
    const QFileInfo directory(m_directory);
    if (!directory.exists() && !directory.isSymLink())
        return;
    // Never read or written through a link put in its place.
    if (::shared::TFileSystemHelper::isLink(directory) || !directory.isDir()) {
        removeStagingDirectory(m_installationDirectory, FilesystemHelper);
        return;
    }
    QDirIterator entries(m_directory,
                         QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (entries.hasNext()) {
        entries.next();
        const QFileInfo entry = entries.fileInfo();
        if (isStagedName(entry.fileName()) && entry.isFile() &&
            !::shared::TFileSystemHelper::isLink(entry)) {
            const QByteArray hash = QByteArray::fromHex(entry.fileName().toLatin1());
            if (::shared::TSha256::hashFile(entry.absoluteFilePath()) == hash) {
                m_staged.insert(hash, quint64(entry.size()));
                continue;
            }
        }
        try {
            FilesystemHelper.removePath(entry.absoluteFilePath());
        } catch (const std::runtime_error &Error) {
            qCWarning(lcPackages).noquote() << ::shared::errorText(Error);
        }
    }
    if (!m_staged.isEmpty())
        qCInfo(lcPackages) << "delta bases kept from an earlier run: " << m_staged.size();
}

QString TDeltaBaseStaging::pathOf(const QByteArray &Hash) const
{
    return m_directory + QLatin1Char('/') + QString::fromLatin1(Hash.toHex());
}

bool TDeltaBaseStaging::makeDirectory()
{
    // Never written through a link put in its place.
    return !::shared::TFileSystemHelper::isLink(QFileInfo(m_directory)) &&
           QDir().mkpath(m_directory);
}

bool TDeltaBaseStaging::stageChunk(QFile &Source, const TLocalChunk &Chunk)
{
    if (!makeDirectory())
        return false;
    QTemporaryFile staging(m_directory + QStringLiteral("/piece-XXXXXX"));
    if (!staging.open())
        return false;
    ::shared::TSha256 hash;
    if (!appendRange(Source, Chunk.offset, Chunk.size, staging, hash) ||
        hash.result() != Chunk.hash)
        return false;
    staging.close();
    // Another worker may have staged the same content meanwhile: equal bytes under one name.
    const QString target = pathOf(Chunk.hash);
    if (staging.rename(target)) {
        staging.setAutoRemove(false);
        return true;
    }
    return QFileInfo(target).size() == qint64(Chunk.size);
}

std::vector<TPlannedDelta> TDeltaBaseStaging::plan(const QString &LocalPath,
                                                   const std::vector<TLocalChunk> &LocalChunks,
                                                   const TFileToDownload &Candidate,
                                                   const std::vector<bool> &KeptInFile)
{
    std::vector<TPlannedDelta> plans;
    QHash<QByteArray, const TLocalChunk *> local;
    for (const TLocalChunk &chunk : LocalChunks) {
        if (chunk.hash.size() == ::shared::TSha256::DigestSize && !local.contains(chunk.hash))
            local.insert(chunk.hash, &chunk);
    }
    // Chunks the update keeps at their places, by hash, with their index and offset.
    QHash<QByteArray, std::pair<qint32, quint64>> kept;
    quint64 offset = 0;
    for (size_t index = 0; index < Candidate.chunks.size(); ++index) {
        const TChunkInPackage &chunk = Candidate.chunks[index];
        if (index < KeptInFile.size() && KeptInFile[index] && !kept.contains(chunk.unpackedHash))
            kept.insert(chunk.unpackedHash, {qint32(index), offset});
        offset += chunk.unpackedSize;
    }

    QFile source(LocalPath);
    for (size_t index = 0; index < Candidate.chunks.size(); ++index) {
        const TChunkInPackage &chunk = Candidate.chunks[index];
        if (chunk.deltas.empty() || kept.contains(chunk.unpackedHash))
            continue;
        for (const TChunkDelta &delta : chunk.deltas) {
            if (delta.baseHash.size() != ::shared::TSha256::DigestSize || delta.baseSize == 0 ||
                delta.baseSize > quint64(::shared::TZstdDelta::MaximumBaseSize))
                continue;
            TPlannedDelta plan;
            plan.chunkIndex = qint32(index);
            plan.delta = delta;
            std::vector<const TLocalChunk *> toStage;
            QSet<QByteArray> toStageHashes;
            quint64 size = 0;
            quint64 cost = 0;
            bool complete = true;
            {
                const QMutexLocker locker(&m_mutex);
                for (const QByteArray &hash : delta.baseChunkHashes) {
                    const auto inFile = kept.constFind(hash);
                    const auto staged = m_staged.constFind(hash);
                    const auto found = local.constFind(hash);
                    quint64 pieceSize = 0;
                    if (inFile != kept.constEnd()) {
                        pieceSize = Candidate.chunks[size_t(inFile->first)].unpackedSize;
                        plan.basePieces.push_back({LocalPath, qint64(inFile->second), pieceSize});
                        plan.keptChunkIndices.push_back(inFile->first);
                    } else if (staged != m_staged.constEnd()) {
                        pieceSize = *staged;
                        plan.basePieces.push_back({pathOf(hash), 0, pieceSize});
                    } else if (found != local.constEnd()) {
                        pieceSize = (*found)->size;
                        plan.basePieces.push_back({pathOf(hash), 0, pieceSize});
                        if (!toStageHashes.contains(hash)) {
                            toStageHashes.insert(hash);
                            toStage.push_back(*found);
                            cost += pieceSize;
                        }
                    } else {
                        complete = false;
                        break;
                    }
                    size += pieceSize;
                }
                if (!complete || size != delta.baseSize)
                    continue;
                if (qint64(cost) > m_budget) {
                    qCInfo(lcPackages).noquote()
                        << "delta base does not fit on the disk: " << chunk.url.toString()
                        << " needs " << cost;
                    continue;
                }
                m_budget -= qint64(cost);
            }
            bool staged = source.isOpen() || toStage.empty() || source.open(QIODevice::ReadOnly);
            for (const TLocalChunk *piece : toStage)
                staged = staged && stageChunk(source, *piece);
            const QMutexLocker locker(&m_mutex);
            if (!staged) {
                // Not what the recorded hashes promised, or the disk refused: the chunk is
                // downloaded whole.
                m_budget += qint64(cost);
                continue;
            }
            for (const TLocalChunk *piece : toStage)
                m_staged.insert(piece->hash, piece->size);
            qCDebug(downloadDetail).noquote()
                << "delta base staged for " << chunk.url.toString()
                << " file: " << Candidate.localFile << " base size: " << delta.baseSize
                << " newly staged: " << cost;
            plans.push_back(std::move(plan));
            break;
        }
    }
    return plans;
}

void TDeltaBaseStaging::removeUnused(const std::vector<TFileToDownload> &Files,
                                     const ::shared::TFileSystemHelper &FilesystemHelper)
{
    QSet<QString> used;
    for (const TFileToDownload &file : Files) {
        for (const TPlannedDelta &plan : file.plannedDeltas) {
            for (const TBasePiece &piece : plan.basePieces)
                used.insert(piece.path);
        }
    }
    const QMutexLocker locker(&m_mutex);
    for (auto staged = m_staged.begin(); staged != m_staged.end();) {
        const QString path = pathOf(staged.key());
        if (used.contains(path)) {
            ++staged;
            continue;
        }
        try {
            FilesystemHelper.removePath(path);
        } catch (const std::runtime_error &Error) {
            qCWarning(lcPackages).noquote() << ::shared::errorText(Error);
        }
        staged = m_staged.erase(staged);
    }
    if (m_staged.isEmpty() && QFileInfo::exists(m_directory))
        removeStagingDirectory(m_installationDirectory, FilesystemHelper);
}

quint64 TDeltaBaseStaging::stagingBytes(const TPackageDifference &Difference)
{
    QHash<QString, quint64> staged;
    for (const TFileToDownload &file : Difference.filesToDownload) {
        for (const TPlannedDelta &plan : file.plannedDeltas) {
            for (const TBasePiece &piece : plan.basePieces) {
                // Pieces in the file itself cost nothing beyond the file.
                const QFileInfo info(piece.path);
                if (isStagedName(info.fileName()) &&
                    info.absoluteDir().dirName() == QLatin1String(StagingName))
                    staged.insert(piece.path, piece.size);
            }
        }
    }
    quint64 total = 0;
    for (const quint64 size : qAsConst(staged))
        total += size;
    return total;
}

QByteArray TDeltaBaseStaging::readBase(const TPlannedDelta &Plan)
{
    if (Plan.delta.baseSize > quint64(::shared::TZstdDelta::MaximumBaseSize))
        throw ::shared::TErrorException(::shared::EErrorCode::DeltaFailed, {},
                                        QStringLiteral("delta base too large"));
    QByteArray base;
    base.reserve(int(Plan.delta.baseSize));
    for (const TBasePiece &piece : Plan.basePieces) {
        if (piece.size > Plan.delta.baseSize - quint64(base.size()))
            throw ::shared::TErrorException(::shared::EErrorCode::DeltaFailed, {},
                                            QStringLiteral("delta base too large"));
        QFile file(piece.path);
        if (!file.open(QIODevice::ReadOnly) || !file.seek(piece.offset))
            throw ::shared::TErrorException(::shared::EErrorCode::DeltaFailed, {},
                                            QStringLiteral("delta base cannot be read"));
        const QByteArray bytes = file.read(qint64(piece.size));
        if (quint64(bytes.size()) != piece.size)
            throw ::shared::TErrorException(::shared::EErrorCode::DeltaFailed, {},
                                            QStringLiteral("delta base cannot be read"));
        base += bytes;
    }
    if (quint64(base.size()) != Plan.delta.baseSize ||
        ::shared::sha256(base) != Plan.delta.baseHash)
        throw ::shared::TErrorException(::shared::EErrorCode::DeltaFailed, {},
                                        QStringLiteral("delta base changed"));
    return base;
}

} // namespace vorna::launcher
