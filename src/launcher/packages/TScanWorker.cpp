#include "TScanWorker.h"

#include "DownloadLogging.h"
#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TContentDefinedChunker.h"
#include "format/TErrorException.h"
#include "format/TSha256.h"
#include "shared/LogCategories.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTemporaryFile>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace vorna::launcher {

namespace {

// Block size for moving chunks inside a file; bounds the memory of a move whatever the sizes in
// the documents say.
constexpr qint64 CopyBlockLength = qint64(4) << 20;

bool isInside(const QString &Path, const QString &Base)
{
    return !Base.isEmpty() && Path.startsWith(Base + QLatin1Char('/'));
}

bool isInsideOrSame(const QString &Path, const QString &Base)
{
    return !Base.isEmpty() && (Path == Base || isInside(Path, Base));
}

const TFileInPackage *findFile(const TFileInPackageVector &Files, const QString &LocalFile)
{
    const auto found = std::lower_bound(
        Files.begin(), Files.end(), LocalFile,
        [](const TFileInPackage &File, const QString &Name) { return File.localFile < Name; });
    return found != Files.end() && found->localFile == LocalFile ? &*found : nullptr;
}

// Moves Size bytes from Source in From to Target in To in bounded blocks. Within one file the
// ranges may overlap; the copy then runs in the direction that reads every byte before it is
// overwritten. False on any short read or write.
bool copyRange(QFile &From, qint64 Source, QFile &To, qint64 Target, qint64 Size)
{
    if (Size <= 0)
        return Size == 0;
    const bool backwards = &From == &To && Target > Source && Target < Source + Size;
    QByteArray block(int(std::min(Size, CopyBlockLength)), Qt::Uninitialized);
    qint64 done = 0;
    while (done < Size) {
        const qint64 length = std::min(Size - done, qint64(block.size()));
        const qint64 offset = backwards ? Size - done - length : done;
        if (!From.seek(Source + offset) || From.read(block.data(), length) != length)
            return false;
        if (!To.seek(Target + offset) || To.write(block.constData(), length) != length)
            return false;
        done += length;
    }
    return true;
}

} // namespace

quint64 saturatingAdd(quint64 Left, quint64 Right)
{
    return Left > std::numeric_limits<quint64>::max() - Right ? std::numeric_limits<quint64>::max()
                                                              : Left + Right;
}

ELocalFileKind TScanContext::classify(const QString &Path) const
{
    const QFileInfo info(Path);
    if (info.isSymLink())
        return ELocalFileKind::Unsafe;
    if (!info.exists())
        return ELocalFileKind::Missing;
    if (!info.isFile())
        return ELocalFileKind::Unsafe;
    return isInside(info.canonicalFilePath(), canonicalInstallationDirectory)
               ? ELocalFileKind::Regular
               : ELocalFileKind::Unsafe;
}

class TScanWorker::TImpl final
{
public:
    explicit TImpl(std::shared_ptr<TScanContext> Context) : m_context(std::move(Context)) {}

    // The files this worker found to need chunks, in the order it scanned them.
    std::vector<TFileToDownload> &result() { return m_result; }

    void scanFile(const TFileInPackage &Entry)
    {
        const QString path = m_context->filesystemHelper->filePathInDirectory(
            m_context->installationDirectory, Entry.localFile);
        const ELocalFileKind kind = m_context->classify(path);
        m_localChunks.clear();
        m_plannedDeltas.clear();

        TFileToDownload candidate;
        candidate.localFile = Entry.localFile;
        candidate.unpackedSize = Entry.unpackedSize;
        candidate.unpackedHash = Entry.unpackedHash;
        candidate.executable = Entry.executable;
        for (const int index : Entry.chunkIndices) {
            if (index >= 0 && size_t(index) < m_context->remoteChunks.size())
                candidate.chunks.push_back(m_context->remoteChunks[size_t(index)]);
        }

        if (candidate.chunks.size() < 2) {
            if (fileMatches(Entry, path, kind)) {
                qCInfo(lcPackages).noquote()
                    << QStringLiteral("reuseable file found ") + Entry.localFile;
                m_result.push_back(std::move(candidate));
                return;
            }
        } else if (reuseChunks(Entry, path, kind, candidate)) {
            keepPlannedDeltas(candidate);
            m_result.push_back(std::move(candidate));
            return;
        }
        downloadWholeFile(Entry, path, kind, candidate);
    }

private:
    void addScanned(quint64 Bytes)
    {
        const QMutexLocker locker(&m_context->mutex);
        m_context->bytesScanned += TFileSize(std::min<quint64>(
            Bytes, quint64(std::numeric_limits<TFileSize>::max() - m_context->bytesScanned)));
        if (m_context->progress)
            m_context->progress(m_context->bytesScanned, m_context->bytesTotal);
    }

    bool fileMatches(const TFileInPackage &Entry, const QString &Path, ELocalFileKind Kind)
    {
        const qint64 size = Kind == ELocalFileKind::Regular ? QFileInfo(Path).size() : 0;
        // Hashing a file of the wrong size cannot make it match; skip the read.
        const QByteArray hash =
            Kind == ELocalFileKind::Regular && quint64(size) == Entry.unpackedSize
                ? ::shared::TSha256::hashFile(Path)
                : QByteArray();
        addScanned(quint64(size));
        return !hash.isEmpty() && quint64(size) == Entry.unpackedSize && hash == Entry.unpackedHash;
    }

    // The recorded chunks of the previous, verified configuration, when they can stand for the
    // file: the entry has at least 2 chunks and the file is still there with the recorded size.
    const TFileInPackage *fastScanEntry(const QString &LocalFile, const QString &Path,
                                        ELocalFileKind Kind) const
    {
        const TFileInPackage *local = findFile(m_context->localFiles, LocalFile);
        if (!local || local->chunkIndices.size() < 2 || Kind != ELocalFileKind::Regular)
            return nullptr;
        quint64 recorded = 0;
        for (const int index : local->chunkIndices) {
            if (index < 0 || size_t(index) >= m_context->localChunks.size())
                return nullptr;
            recorded = saturatingAdd(recorded, m_context->localChunks[size_t(index)].unpackedSize);
        }
        if (recorded != local->unpackedSize || quint64(QFileInfo(Path).size()) != recorded)
            return nullptr;
        return local;
    }

    bool reuseChunks(const TFileInPackage &Entry, const QString &Path, ELocalFileKind Kind,
                     TFileToDownload &Candidate)
    {
        std::vector<TChunkReuseState> states(Candidate.chunks.size());
        std::vector<quint64> targetOffsets;
        targetOffsets.reserve(Candidate.chunks.size());
        quint64 offset = 0;
        for (const TChunkInPackage &chunk : Candidate.chunks) {
            targetOffsets.push_back(offset);
            offset = saturatingAdd(offset, chunk.unpackedSize);
        }
        bool reuseFound = false;
        quint64 localOffset = 0;

        const auto match = [&](const QByteArray &Hash, quint64 Size) {
            addScanned(Size);
            // A digest that is missing from a document never matches anything.
            if (Hash.size() == ::shared::TSha256::DigestSize) {
                for (size_t i = 0; i < Candidate.chunks.size(); ++i)
                    reuseFound |= matchChunk(Entry, Candidate.chunks[i], targetOffsets[i],
                                             localOffset, Hash, Size, states[i]);
            }
            m_localChunks.push_back({Hash, localOffset, Size});
            localOffset = saturatingAdd(localOffset, Size);
        };

        if (const TFileInPackage *local = fastScanEntry(Entry.localFile, Path, Kind)) {
            for (const int index : local->chunkIndices) {
                const TChunkInPackage &chunk = m_context->localChunks[size_t(index)];
                match(chunk.unpackedHash, chunk.unpackedSize);
            }
        } else if (Kind == ELocalFileKind::Regular) {
            if (!m_chunker)
                m_chunker = std::make_unique<TContentDefinedChunker>();
            m_chunker->chunkFile(Path, true, [&](const TContentDefinedChunker::TChunk &Chunk) {
                match(Chunk.hash, quint64(Chunk.length));
            });
        }
        // Before anything is moved or deleted: the old content is what deltas build on. What the
        // update keeps in place or moves into place is read from there.
        std::vector<bool> kept(states.size());
        for (size_t i = 0; i < states.size(); ++i)
            kept[i] = states[i].state != TChunkReuseState::Missing;
        stageDeltaBases(Path, Kind, Candidate, kept);
        if (!reuseFound)
            return false;
        rearrange(Entry, Path, Candidate, states);
        return true;
    }

    bool matchChunk(const TFileInPackage &Entry, const TChunkInPackage &Chunk, quint64 TargetOffset,
                    quint64 LocalOffset, const QByteArray &Hash, quint64 Size,
                    TChunkReuseState &State) const
    {
        if (State.state == TChunkReuseState::InPlace)
            return false;
        if (State.state == TChunkReuseState::Elsewhere && LocalOffset != TargetOffset)
            return false;
        // Equal content has equal length; a chunk whose declared size disagrees with the content
        // of its hash, or that would end beyond the file, is fetched instead of trusted.
        if (Chunk.unpackedHash != Hash || Chunk.unpackedSize != Size ||
            saturatingAdd(TargetOffset, Size) > Entry.unpackedSize)
            return false;
        if (LocalOffset == TargetOffset) {
            State.state = TChunkReuseState::InPlace;
            qCDebug(downloadDetail).noquote()
                << "reuseable chunk on correct position found " << Chunk.url.toString()
                << " file: " << Entry.localFile << " offset: " << TargetOffset;
        } else if (State.state == TChunkReuseState::Missing) {
            State.state = TChunkReuseState::Elsewhere;
            State.sourceOffset = qint64(LocalOffset);
            State.targetOffset = qint64(TargetOffset);
            State.size = qint64(Size);
            qCDebug(downloadDetail).noquote()
                << "reuseable chunk on wrong position found " << Chunk.url.toString()
                << " file: " << Entry.localFile << " source offset: " << LocalOffset
                << " target offset: " << TargetOffset;
        }
        return true;
    }

    // Puts every chunk found elsewhere in the file at its target offset, staging the chunks whose
    // source would be overwritten in a temporary file first, and cuts the file to its final size.
    // A chunk that cannot be moved is downloaded instead.
    void rearrange(const TFileInPackage &Entry, const QString &Path, TFileToDownload &Candidate,
                   std::vector<TChunkReuseState> &States)
    {
        QFile local(Path);
        bool localOpen = false;
        const auto openLocal = [&]() {
            // Checked again right before writing: a link put in place meanwhile is not followed.
            if (!localOpen && m_context->classify(Path) == ELocalFileKind::Regular)
                localOpen = local.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
            return localOpen;
        };
        std::unique_ptr<QTemporaryFile> temporary;
        const auto openTemporary = [&]() {
            if (!temporary) {
                temporary = std::make_unique<QTemporaryFile>(
                    m_context->filesystemHelper->filePathInDirectory(
                        m_context->installationDirectory, QStringLiteral(".scan-XXXXXX.tmp")));
                if (!temporary->open())
                    return false;
            }
            return temporary->isOpen();
        };

        for (size_t j = 0; j < States.size(); ++j) {
            TChunkReuseState &state = States[j];
            if (state.state == TChunkReuseState::InPlace)
                continue;
            // A file that cannot be written keeps whatever lies at this chunk's place; the
            // download could not write there either.
            if (state.state == TChunkReuseState::Elsewhere && !openLocal())
                throwFileError(::shared::EErrorCode::OpenFailed, local,
                               QStringLiteral("couldn't open file for writing"));
            if (state.state == TChunkReuseState::Elsewhere) {
                stageOverlappingChunks(j, States, local, openTemporary, temporary);
                QFile &source = state.movedToTemporary ? *temporary : local;
                if (copyRange(source, state.sourceOffset, local, state.targetOffset, state.size)) {
                    state.state = TChunkReuseState::InPlace;
                    continue;
                }
            }
            state.state = TChunkReuseState::Missing;
            Candidate.chunkIndicesToDownload.push_back(qint32(j));
        }

        // Bytes left beyond the final size would stay in a file that counts as complete.
        if (QFileInfo(Path).size() >
            qint64(std::min<quint64>(Entry.unpackedSize,
                                     quint64(std::numeric_limits<qint64>::max())))) {
            if (!openLocal())
                throwFileError(::shared::EErrorCode::OpenFailed, local,
                               QStringLiteral("couldn't open file for writing"));
            if (!local.resize(qint64(Entry.unpackedSize)))
                throwFileError(::shared::EErrorCode::WriteFailed, local,
                               QStringLiteral("couldn't truncate file"));
        }
    }

    [[noreturn]] static void throwFileError(::shared::EErrorCode Code, const QFile &File,
                                            const QString &Reason)
    {
        throw ::shared::TErrorException(Code, File.fileName(),
                                        Reason + QStringLiteral(": ") + File.errorString());
    }

    template <typename TOpenTemporary>
    void stageOverlappingChunks(size_t J, std::vector<TChunkReuseState> &States, QFile &Local,
                                const TOpenTemporary &OpenTemporary,
                                std::unique_ptr<QTemporaryFile> &Temporary)
    {
        const TChunkReuseState &target = States[J];
        for (size_t k = J + 1; k < States.size(); ++k) {
            TChunkReuseState &later = States[k];
            if (later.state != TChunkReuseState::Elsewhere || later.movedToTemporary)
                continue;
            const bool overlaps = later.sourceOffset < target.targetOffset + target.size &&
                                  target.targetOffset < later.sourceOffset + later.size;
            if (!overlaps)
                continue;
            const qint64 position = OpenTemporary() ? Temporary->size() : -1;
            if (position >= 0 &&
                copyRange(Local, later.sourceOffset, *Temporary, position, later.size)) {
                later.sourceOffset = position;
                later.movedToTemporary = true;
            } else {
                // Its content is about to be overwritten: it has to come from the server.
                later.state = TChunkReuseState::Missing;
            }
        }
    }

    void downloadWholeFile(const TFileInPackage &Entry, const QString &Path, ELocalFileKind Kind,
                           TFileToDownload &Candidate)
    {
        // A file with content but neither chunks nor a whole-file address cannot be produced:
        // going on would delete it and report the installation as complete without it.
        if (Candidate.chunks.empty() && Entry.wholeFile.url.isEmpty() && Entry.unpackedSize > 0)
            throw ::shared::TErrorException(
                ::shared::EErrorCode::InvalidPackage, {},
                QStringLiteral("The package describes '%1' without any chunk to build it from")
                    .arg(Entry.localFile));
        if (Entry.wholeFile.url.isEmpty() && m_localChunks.empty() && hasDeltas(Candidate)) {
            // A changed file of one chunk: its old content is the base of the new one's deltas.
            // Without a file, what an earlier run staged may still serve.
            if (Kind == ELocalFileKind::Regular) {
                if (!m_chunker)
                    m_chunker = std::make_unique<TContentDefinedChunker>();
                m_chunker->chunkFile(Path, true, [&](const TContentDefinedChunker::TChunk &Chunk) {
                    m_localChunks.push_back(
                        {Chunk.hash, quint64(Chunk.offset), quint64(Chunk.length)});
                });
            }
            stageDeltaBases(Path, Kind, Candidate, {});
        }
        if (Kind == ELocalFileKind::Regular) {
            try {
                m_context->filesystemHelper->deleteFile(Path);
            } catch (const std::runtime_error &) {
                // The downloader overwrites the file at the chunk offsets anyway.
            }
        } else if (Kind == ELocalFileKind::Unsafe && QFileInfo(Path).isSymLink() &&
                   isInsideOrSame(QFileInfo(QFileInfo(Path).absolutePath()).canonicalFilePath(),
                                  m_context->canonicalInstallationDirectory)) {
            // Only the link goes, so that the download writes a file of its own instead of
            // writing through it.
            QFile::remove(Path);
        }
        if (!Entry.wholeFile.url.isEmpty()) {
            Candidate.chunks = {Entry.wholeFile};
            m_plannedDeltas.clear();
        }
        Candidate.chunkIndicesToDownload.clear();
        for (size_t i = 0; i < Candidate.chunks.size(); ++i)
            Candidate.chunkIndicesToDownload.push_back(qint32(i));
        keepPlannedDeltas(Candidate);
        m_result.push_back(std::move(Candidate));
    }

    static bool hasDeltas(const TFileToDownload &Candidate)
    {
        return std::any_of(Candidate.chunks.begin(), Candidate.chunks.end(),
                           [](const TChunkInPackage &Chunk) { return !Chunk.deltas.empty(); });
    }

    void stageDeltaBases(const QString &Path, ELocalFileKind Kind, const TFileToDownload &Candidate,
                         const std::vector<bool> &Kept)
    {
        if (!hasDeltas(Candidate))
            return;
        // Only a plain file of the installation is read; staged content serves any file.
        if (Kind != ELocalFileKind::Regular)
            m_localChunks.clear();
        m_plannedDeltas = m_context->staging->plan(Path, m_localChunks, Candidate, Kept);
    }

    // Only deltas for chunks that are still to be downloaded go to the downloader, and only
    // while the places of the file they read from are not downloaded themselves.
    void keepPlannedDeltas(TFileToDownload &Candidate)
    {
        const auto &missing = Candidate.chunkIndicesToDownload;
        const auto isMissing = [&missing](qint32 Index) {
            return std::binary_search(missing.begin(), missing.end(), Index);
        };
        for (TPlannedDelta &plan : m_plannedDeltas) {
            if (isMissing(plan.chunkIndex) &&
                std::none_of(plan.keptChunkIndices.begin(), plan.keptChunkIndices.end(), isMissing))
                Candidate.plannedDeltas.push_back(std::move(plan));
        }
        m_plannedDeltas.clear();
    }

    std::shared_ptr<TScanContext> m_context;
    std::unique_ptr<TContentDefinedChunker> m_chunker;
    std::vector<TFileToDownload> m_result;
    // The chunks of the local file being scanned, and the deltas planned against them.
    std::vector<TDeltaBaseStaging::TLocalChunk> m_localChunks;
    std::vector<TPlannedDelta> m_plannedDeltas;
};

TScanWorker::TScanWorker(std::shared_ptr<TScanContext> Context)
    : m_impl(std::make_unique<TImpl>(std::move(Context)))
{
}

TScanWorker::TScanWorker(TScanWorker &&) noexcept = default;
TScanWorker::~TScanWorker() = default;

void TScanWorker::scanFile(const TFileInPackage &Entry)
{
    m_impl->scanFile(Entry);
}

std::vector<TFileToDownload> &TScanWorker::result()
{
    return m_impl->result();
}

} // namespace vorna::launcher
