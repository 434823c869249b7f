#include "TDeltaBaseStaging.h"

#include "shared/TFileSystemHelper.h"
#include "shared/TSha256.h"
#include "shared/TTextError.h"
#include "shared/TZstdDelta.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryFile>
#include <QThread>

#include <memory>
#include <stdexcept>

namespace vorna::launcher {

namespace {

constexpr qint64 CopyBlockLength = qint64(4) << 20;

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

// The local chunks a delta's base is made of, in order; empty when one is missing or the base
// is larger than a delta may be applied to.
std::vector<const TDeltaBaseStaging::TLocalChunk *>
findBase(const TChunkDelta &Delta,
         const QHash<QByteArray, const TDeltaBaseStaging::TLocalChunk *> &Local)
{
    std::vector<const TDeltaBaseStaging::TLocalChunk *> base;
    quint64 size = 0;
    for (const QByteArray &hash : Delta.baseChunkHashes) {
        const auto found = Local.constFind(hash);
        if (found == Local.constEnd())
            return {};
        base.push_back(*found);
        size += (*found)->size;
    }
    if (size != Delta.baseSize || size == 0 ||
        size > quint64(::shared::TZstdDelta::MaximumBaseSize) ||
        Delta.baseHash.size() != ::shared::TSha256::DigestSize)
        return {};
    return base;
}

} // namespace

QString TDeltaBaseStaging::stagingDirectory(const QDir &InstallationDirectory)
{
    return InstallationDirectory.absoluteFilePath(QStringLiteral(".corvane-delta-bases"));
}

void TDeltaBaseStaging::removeStagingDirectory(const QDir &InstallationDirectory,
                                               const ::shared::TFileSystemHelper &FilesystemHelper)
{
    try {
        FilesystemHelper.removePath(stagingDirectory(InstallationDirectory));
    } catch (const std::runtime_error &Error) {
        qWarning().noquote() << ::shared::errorText(Error);
    }
}

std::vector<TPlannedDelta> TDeltaBaseStaging::stage(const QDir &InstallationDirectory,
                                                    const QString &LocalPath,
                                                    const std::vector<TLocalChunk> &LocalChunks,
                                                    const TFileToDownload &Candidate)
{
    std::vector<TPlannedDelta> plans;
    QHash<QByteArray, const TLocalChunk *> local;
    for (const TLocalChunk &chunk : LocalChunks) {
        if (chunk.hash.size() == ::shared::TSha256::DigestSize && !local.contains(chunk.hash))
            local.insert(chunk.hash, &chunk);
    }
    if (local.isEmpty())
        return plans;

    QFile source(LocalPath);
    std::unique_ptr<QTemporaryFile> staging;
    // Bases already staged for this file, by base hash: chunks sharing a base share its copy.
    QHash<QByteArray, qint64> staged;
    for (size_t index = 0; index < Candidate.chunks.size(); ++index) {
        const TChunkInPackage &chunk = Candidate.chunks[index];
        if (chunk.deltas.empty() || local.contains(chunk.unpackedHash))
            continue;
        for (const TChunkDelta &delta : chunk.deltas) {
            const auto base = findBase(delta, local);
            if (base.empty())
                continue;
            TPlannedDelta plan;
            plan.chunkIndex = qint32(index);
            plan.delta = delta;
            const auto known = staged.constFind(delta.baseHash);
            if (known != staged.constEnd()) {
                plan.basePath = staging->fileName();
                plan.baseOffset = *known;
                plans.push_back(plan);
                break;
            }
            if (!source.isOpen() && !source.open(QIODevice::ReadOnly))
                return plans;
            if (!staging) {
                const QString directory = stagingDirectory(InstallationDirectory);
                // Never written through a link put in its place.
                if (::shared::TFileSystemHelper::isLink(QFileInfo(directory)) ||
                    !QDir().mkpath(directory))
                    return plans;
                staging =
                    std::make_unique<QTemporaryFile>(directory + QStringLiteral("/base-XXXXXX"));
                staging->setAutoRemove(false);
                if (!staging->open())
                    return plans;
            }
            const qint64 offset = staging->size();
            ::shared::TSha256 hash;
            bool copied = staging->seek(offset);
            for (const TLocalChunk *piece : base)
                copied = copied && appendRange(source, piece->offset, piece->size, *staging, hash);
            if (!copied || hash.result() != delta.baseHash) {
                // Not what the recorded hashes promised; the chunk is downloaded whole.
                staging->resize(offset);
                continue;
            }
            staged.insert(delta.baseHash, offset);
            plan.basePath = staging->fileName();
            plan.baseOffset = offset;
            qInfo().noquote() << "delta base staged for " << chunk.url.toString()
                              << " file: " << Candidate.localFile
                              << " base size: " << delta.baseSize
                              << " Thread: " << QThread::currentThreadId();
            plans.push_back(plan);
            break;
        }
    }
    return plans;
}

QByteArray TDeltaBaseStaging::readBase(const TPlannedDelta &Plan)
{
    if (Plan.delta.baseSize > quint64(::shared::TZstdDelta::MaximumBaseSize))
        throw std::runtime_error("delta base too large");
    QFile file(Plan.basePath);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(Plan.baseOffset))
        throw std::runtime_error("delta base cannot be read");
    const QByteArray base = file.read(qint64(Plan.delta.baseSize));
    if (quint64(base.size()) != Plan.delta.baseSize ||
        ::shared::sha256(base) != Plan.delta.baseHash)
        throw std::runtime_error("delta base changed");
    return base;
}

} // namespace vorna::launcher
