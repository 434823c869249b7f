#include "ChunkProcessing.h"

#include "configuration/TLauncherFilesystemHelper.h"
#include "format/BlobContainer.h"
#include "format/TErrorException.h"
#include "format/TSha256.h"
#include "format/TZstdDelta.h"
#include "packages/DownloadLogging.h"
#include "packages/TDeltaBaseStaging.h"
#include "shared/LogCategories.h"
#include "shared/TFileSystemHelper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTextStream>

#include <limits>
#include <map>
#include <optional>
#include <stdexcept>

namespace vorna::launcher {

namespace {

using ::shared::EErrorCode;

[[noreturn]] void throwIoError(EErrorCode Code, const QString &FileName, const char *Reason)
{
    throw ::shared::TErrorException(Code, FileName, QLatin1String(Reason));
}

// Runs one stage body and turns any exception into a failed result: nothing may leave a worker.
template <typename TBody> TChunkStageResult runStage(const TChunkToDownload &Chunk, TBody Body)
{
    TChunkStageResult Result;
    try {
        Result.data = Body();
        Result.succeeded = true;
    } catch (const std::exception &Error) {
        Result.error = ::shared::errorOf(Error);
    } catch (...) {
        Result.error = {EErrorCode::Unexpected, {}, QStringLiteral("unknown exception")};
    }
    if (!Result.succeeded)
        qCWarning(lcDownload) << "chunk stage failed for" << Chunk.url.toString() << ":"
                              << Result.error.text();
    return Result;
}

// The debug log of one target file, written only when chunkVerification is on.
class TVerificationLog final
{
public:
    TVerificationLog(bool Enabled, const QString &Path) : m_file(Path)
    {
        if (Enabled && m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
            m_stream.setDevice(&m_file);
    }
    void line(quint64 Offset, const char *Text)
    {
        if (m_stream.device())
            m_stream << Offset << QLatin1String(Text) << '\n';
    }

private:
    QFile m_file;
    QTextStream m_stream;
};

// Reads Size bytes at the file's position and hashes them in blocks, so that a wrong size in a
// document cannot make us allocate it. Returns nothing when fewer bytes are there.
std::optional<QByteArray> hashFileRange(QFile &File, quint64 Size)
{
    constexpr qint64 BlockSize = 1 << 20;
    ::shared::TSha256 Hash;
    QByteArray Block;
    quint64 Left = Size;
    while (Left > 0) {
        const qint64 Wanted = qint64(std::min<quint64>(Left, BlockSize));
        Block.resize(int(Wanted));
        const qint64 Read = File.read(Block.data(), Wanted);
        if (Read != Wanted)
            return std::nullopt;
        Hash.addData(Block.constData(), std::size_t(Read));
        Left -= quint64(Read);
    }
    return Hash.result();
}

// Before a write, checks that every chunk between the file's position and the place being
// written already holds its content (debug aid, setting chunkVerification).
void checkOldContent(QFile &File, const TChunkedFileState &State, qint32 Index,
                     TVerificationLog &Log)
{
    quint64 Position = quint64(File.pos());
    quint64 End = 0;
    for (qint32 Before = 0; Before < Index; ++Before) {
        const TChunkInPackage &Old = State.chunks[std::size_t(Before)];
        End += Old.unpackedSize;
        if (End <= Position)
            continue;
        if (!File.seek(qint64(Position)))
            throwIoError(EErrorCode::ReadFailed, File.fileName(), "invalid old chunk");
        const auto Digest = hashFileRange(File, Old.unpackedSize);
        if (!Digest)
            throwIoError(EErrorCode::ReadFailed, File.fileName(), "invalid old chunk");
        if (*Digest != Old.unpackedHash) {
            Log.line(Position, ": check failed");
            throwIoError(EErrorCode::HashMismatch, File.fileName(), "invalid hash");
        }
        Log.line(Position, ": check succeeded");
        Position += Old.unpackedSize;
    }
}

void removeAt(const TLauncherFilesystemHelper &Helper, const QString &Path)
{
    // Links go as links: a directory link here must not cost what it leads to.
    Helper.removePath(Path);
}

// Prepares the target of a file on the first save that touches it during this run.
void checkNoLinkLeadsOutside(const TChunkSaveContext &Context, const QString &Path)
{
    if (!Context.targetDirectory.isEmpty() && !staysInsideOnDisk(Context.targetDirectory, Path))
        throwIoError(EErrorCode::PathOutsideDirectory, Path,
                     "path leads outside of the installation directory");
}

void prepareTarget(const TChunkSaveContext &Context, TChunkedFileState &State)
{
    State.prepared = true;
    const QString &Path = State.absolutePath;
    checkNoLinkLeadsOutside(Context, Path);
    if (State.pendingChunkIndices.size() == State.chunks.size())
        removeForRewrite(*Context.filesystemHelper, Path, Context.installationMode);
    const QString Directory = QFileInfo(Path).absolutePath();
    if (!QDir().mkpath(Directory) && !QFileInfo(Directory).isDir())
        throw ::shared::TErrorException(EErrorCode::CreateFolderFailed, Directory, {});
    // A link left at the file's own place would be written through.
    if (QFileInfo(Path).isSymLink())
        throwIoError(EErrorCode::PathOutsideDirectory, Path,
                     "path leads outside of the installation directory");
}

void writeAt(QFile &File, quint64 Offset, const QByteArray &Bytes, quint64 ExpectedSize)
{
    if (!File.seek(qint64(Offset)))
        throwIoError(EErrorCode::WriteFailed, File.fileName(), "couldn't write chunk file");
    if (quint64(File.write(Bytes)) != ExpectedSize)
        throwIoError(EErrorCode::WriteFailed, File.fileName(), "couldn't write chunk file");
}

QByteArray readTemporaryFile(const TPendingChunk &Entry)
{
    // A file of its own: several files may need the same cached content at the same time.
    QFile File(Entry.temporaryFile->fileName());
    if (!File.open(QIODevice::ReadOnly))
        throwIoError(EErrorCode::OpenFailed, File.fileName(), "couldn't open chunk file");
    QByteArray Bytes = File.readAll();
    if (File.error() != QFileDevice::NoError)
        throwIoError(EErrorCode::ReadFailed, File.fileName(), "couldn't read chunk file");
    return Bytes;
}

// Opens the file on the first place written in this run; a new verification log starts then.
QFile &openTarget(const TChunkSaveContext &Context, TChunkedFileState &State,
                  const QString &LogPath)
{
    QFile &Target = State.targetFile;
    if (!Target.isOpen()) {
        Target.setFileName(State.absolutePath);
        // Unbuffered: what has been written is on disk even if a later place fails.
        if (!Target.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
            throwIoError(EErrorCode::OpenFailed, Target.fileName(), "couldn't open target file");
        if (Context.chunkVerification && QFile::exists(LogPath))
            QFile::remove(LogPath);
    }
    return Target;
}

// Writes one place of the file: from the data just processed (Cached empty), or from the content
// held for it in memory or in a temporary file.
void writePlace(const TChunkSaveContext &Context, QFile &Target, const TChunkInPackage &Place,
                quint64 Offset, const QByteArray &Data, const TPendingChunk *Cached,
                TVerificationLog &Log)
{
    if (!Cached) {
        if (Context.chunkVerification)
            Log.line(Offset, ::shared::sha256(Data) == Place.unpackedHash ? ": write succeeded"
                                                                          : ": write failed");
        qCDebug(downloadDetail) << "saveDownloadedData chunk " << Place.url.toString() << " to "
                                << Target.fileName() << " offset: " << Offset;
        writeAt(Target, Offset, Data, Place.unpackedSize);
    } else if (Cached->storage == TPendingChunk::InMemory) {
        if (Context.chunkVerification)
            Log.line(Offset, ::shared::sha256(Cached->data) == Place.unpackedHash
                                 ? ": write cache correct"
                                 : ": write cache invalid");
        qCDebug(downloadDetail) << "saveDownloadedData chunk " << Place.url.toString()
                                << " from cache to " << Target.fileName() << " offset: " << Offset;
        writeAt(Target, Offset, Cached->data, Place.unpackedSize);
    } else {
        const QByteArray Bytes = readTemporaryFile(*Cached);
        if (quint64(Bytes.size()) != Place.unpackedSize)
            throwIoError(EErrorCode::ReadFailed, Cached->temporaryFile->fileName(),
                         "couldn't read chunk file");
        if (Context.chunkVerification) {
            if (::shared::sha256(Bytes) != Place.unpackedHash) {
                Log.line(Offset, ": write tmp file invalid");
                throwIoError(EErrorCode::HashMismatch, Target.fileName(), "invalid hash");
            }
            Log.line(Offset, ": write tmp file correct");
        }
        qCDebug(downloadDetail) << "saveDownloadedData chunk " << Place.url.toString()
                                << " from temp file to " << Target.fileName()
                                << " offset: " << Offset;
        writeAt(Target, Offset, Bytes, Place.unpackedSize);
    }
}

// The last place of the file is written.
void finishFile(TChunkedFileState &State)
{
    const QString &Path = State.absolutePath;
    State.targetFile.close();
    if (State.executable) {
        QFile::setPermissions(Path, QFile::permissions(Path) | QFileDevice::ExeOwner |
                                        QFileDevice::ExeGroup | QFileDevice::ExeOther);
    }
    // The one line per file at Info; what each chunk did is in the detail category.
    qCInfo(lcDownload).noquote() << QStringLiteral(
                                        "saveDownloadedData file complete: %1 (%2 bytes, %3 "
                                        "chunks)")
                                        .arg(State.localFile)
                                        .arg(State.unpackedSize)
                                        .arg(State.chunks.size());
}

// Writes every place of one file that can be written now, front to back; caches the data when
// it is needed further on, behind a place whose content has not arrived. Called with the file's
// mutex held.
void saveIntoFile(const TChunkSaveContext &Context, const TChunkToDownload &Chunk,
                  const QByteArray &Data, TChunkedFileState &State, bool &AlreadyCached)
{
    const QByteArray &Hash = Chunk.unpackedHash;
    if (!State.prepared)
        prepareTarget(Context, State);
    const QString &Path = State.absolutePath;
    const QString LogPath = Path + QStringLiteral(".log");

    auto Pending = State.pendingChunkIndices.begin();
    while (Pending != State.pendingChunkIndices.end()) {
        const qint32 Index = *Pending;
        const TChunkInPackage &Place = State.chunks[std::size_t(Index)];
        std::shared_ptr<TPendingChunk> Cached;
        if (Place.unpackedHash != Hash) {
            Cached = Context.pendingChunks->heldContent(Place.unpackedHash);
            if (!Cached) {
                qCInfo(lcDownload) << "saveDownloadedData chunk " << Place.url.toString()
                                   << " not found for " << Path << ". => Wait for chunk";
                break;
            }
        }
        QFile &Target = openTarget(Context, State, LogPath);
        TVerificationLog Log(Context.chunkVerification, LogPath);
        const quint64 Offset = State.chunkOffsets[std::size_t(Index)];
        if (Context.chunkVerification)
            checkOldContent(Target, State, Index, Log);
        writePlace(Context, Target, Place, Offset, Data, Cached.get(), Log);
        // Direct writes count too: the entry goes as soon as its last place is written.
        Context.pendingChunks->useWritten(Place.unpackedHash);
        if (Context.writeProgress)
            Context.writeProgress(Place.url, qint64(Place.unpackedSize));
        Pending = State.pendingChunkIndices.erase(Pending);
    }

    if (State.pendingChunkIndices.empty()) {
        finishFile(State);
        return;
    }
    if (AlreadyCached)
        return;
    for (auto Remaining = Pending; Remaining != State.pendingChunkIndices.end(); ++Remaining) {
        if (State.chunks[std::size_t(*Remaining)].unpackedHash == Hash) {
            Context.pendingChunks->store(Hash, Data);
            AlreadyCached = true;
            return;
        }
    }
}

// Offset of the first place in the file whose content has this hash, or nothing.
std::optional<quint64> firstOffsetOf(const TChunkedFileState &State, const QByteArray &Hash)
{
    for (std::size_t Index = 0; Index < State.chunks.size(); ++Index) {
        if (State.chunks[Index].unpackedHash == Hash)
            return State.chunkOffsets[Index];
    }
    return std::nullopt;
}

// Chunks needed near the start of some file first, so that files fill front to back.
quint64 priorityKey(const TChunkToDownload &Chunk)
{
    quint64 Key = std::numeric_limits<quint64>::max();
    for (const auto &State : Chunk.fileStates) {
        if (const auto Offset = firstOffsetOf(*State, Chunk.unpackedHash))
            Key = std::min(Key, *Offset);
    }
    return Key;
}

} // namespace

std::vector<TChunkToDownload> buildChunksToDownload(const std::vector<TFileToDownload> &Files,
                                                    const QDir &TargetDirectory,
                                                    const TLauncherFilesystemHelper &Helper,
                                                    TPendingChunkCache &Cache)
{
    std::map<QUrl, TChunkToDownload> ChunksByUrl;
    for (const TFileToDownload &File : Files) {
        auto State = std::make_shared<TChunkedFileState>();
        State->localFile = File.localFile;
        State->absolutePath = confinedFilePath(Helper, TargetDirectory, File.localFile);
        State->unpackedSize = File.unpackedSize;
        State->unpackedHash = File.unpackedHash;
        State->executable = File.executable;
        State->patches = File.patches;
        State->chunks = File.chunks;
        quint64 Offset = 0;
        for (const TChunkInPackage &Chunk : File.chunks) {
            State->chunkOffsets.push_back(Offset);
            Offset += Chunk.unpackedSize;
        }
        for (const qint32 Index : File.chunkIndicesToDownload) {
            // Only indices of the file's own chunk list: anything else would be a place in the
            // file that nothing describes.
            if (Index < 0 || std::size_t(Index) >= File.chunks.size()) {
                qCWarning(lcDownload)
                    << "prepare: chunk index" << Index << "outside of" << File.localFile;
                continue;
            }
            State->pendingChunkIndices.push_back(Index);
        }

        QSet<QByteArray> HashesInFile;
        for (const qint32 Index : State->pendingChunkIndices) {
            const TChunkInPackage &Chunk = File.chunks[std::size_t(Index)];
            Cache.addUse(Chunk.unpackedHash);
            if (HashesInFile.contains(Chunk.unpackedHash))
                continue;
            HashesInFile.insert(Chunk.unpackedHash);
            auto Found = ChunksByUrl.find(Chunk.url);
            if (Found == ChunksByUrl.end())
                Found = ChunksByUrl.emplace(Chunk.url, TChunkToDownload(Chunk)).first;
            Found->second.fileStates.push_back(State);
        }
        for (const TPlannedDelta &Plan : File.plannedDeltas) {
            if (Plan.chunkIndex < 0 || std::size_t(Plan.chunkIndex) >= File.chunks.size())
                continue;
            const auto Found = ChunksByUrl.find(File.chunks[std::size_t(Plan.chunkIndex)].url);
            // One delta per chunk URL is enough: every file gets the same content from it.
            if (Found != ChunksByUrl.end() && !Found->second.plannedDelta &&
                Plan.delta.url != Found->first)
                Found->second.plannedDelta = Plan;
        }
    }

    std::vector<std::pair<quint64, TChunkToDownload>> Keyed;
    Keyed.reserve(ChunksByUrl.size());
    for (auto &Entry : ChunksByUrl)
        Keyed.emplace_back(priorityKey(Entry.second), std::move(Entry.second));
    std::stable_sort(Keyed.begin(), Keyed.end(),
                     [](const auto &Left, const auto &Right) { return Left.first < Right.first; });
    std::vector<TChunkToDownload> Result;
    Result.reserve(Keyed.size());
    for (auto &Entry : Keyed)
        Result.push_back(std::move(Entry.second));
    return Result;
}

bool staysInsideOnDisk(const QString &Directory, const QString &Path)
{
    const QString Root = QFileInfo(Directory).canonicalFilePath();
    QString Existing = QFileInfo(Path).absolutePath();
    while (!QFileInfo::exists(Existing) && QFileInfo(Existing).absolutePath() != Existing)
        Existing = QFileInfo(Existing).absolutePath();
    const QString Resolved = QFileInfo(Existing).canonicalFilePath();
    return !Root.isEmpty() && (Resolved == Root || Resolved.startsWith(Root + QLatin1Char('/')));
}

QString confinedFilePath(const TLauncherFilesystemHelper &Helper, const QDir &Directory,
                         const QString &LocalFile)
{
    const QString Path = Helper.filePathInDirectory(Directory, LocalFile);
    if (QDir::cleanPath(Path) == QDir::cleanPath(Directory.absolutePath()))
        throw ::shared::TErrorException(EErrorCode::InvalidFileName, LocalFile, {});
    return Path;
}

void removeForRewrite(const TLauncherFilesystemHelper &Helper, const QString &Path,
                      EInstallationMode InstallationMode)
{
    try {
        removeAt(Helper, Path);
    } catch (const std::runtime_error &) {
        if (InstallationMode != EInstallationMode::SelfUpdate || !Helper.fileExists(Path))
            throw;
        const QString OldPath = Path + QStringLiteral(".old");
        removeAt(Helper, OldPath);
        if (!QFile::rename(Path, OldPath))
            throw;
    }
}

TChunkStageResult decompressDownloadedData(TChunkToDownload Chunk, QByteArray Data)
{
    return runStage(Chunk, [&] {
        qCDebug(downloadDetail) << "decompressDownloadedData " << Chunk.url.toString() << "started";
        const quint64 Limit =
            std::min<quint64>(Chunk.unpackedSize, quint64(std::numeric_limits<qint64>::max()));
        QByteArray Bytes = ::shared::decodeBlobContainerStrict(Data, qint64(Limit));
        qCDebug(downloadDetail) << "decompressDownloadedData " << Chunk.url.toString()
                                << "finished";
        return Bytes;
    });
}

TChunkStageResult applyDownloadedDelta(TChunkToDownload Chunk, QByteArray Data)
{
    return runStage(Chunk, [&] {
        if (!Chunk.plannedDelta)
            throw ::shared::TErrorException(EErrorCode::DeltaFailed, {},
                                            QStringLiteral("no delta planned"));
        const TPlannedDelta &Plan = *Chunk.plannedDelta;
        if (quint64(Data.size()) != Plan.delta.packedSize ||
            ::shared::sha256(Data) != Plan.delta.packedHash)
            throw ::shared::TErrorException(EErrorCode::DeltaFailed, {},
                                            QStringLiteral("delta does not have its packed hash"));
        if (Chunk.unpackedSize > quint64(std::numeric_limits<int>::max() - 1))
            throw ::shared::TErrorException(EErrorCode::DeltaFailed, {},
                                            QStringLiteral("chunk too large for a delta"));
        const QByteArray Base = TDeltaBaseStaging::readBase(Plan);
        QByteArray Content = ::shared::TZstdDelta::apply(Base, Data, qint64(Chunk.unpackedSize));
        if (::shared::sha256(Content) != Chunk.unpackedHash)
            throw ::shared::TErrorException(
                EErrorCode::DeltaFailed, {},
                QStringLiteral("delta result does not have the chunk's hash"));
        return Content;
    });
}

TChunkStageResult verifyDownloadedData(TChunkToDownload Chunk, QByteArray Data)
{
    return runStage(Chunk, [&] {
        qCDebug(downloadDetail) << "verifyDownloadedData " << Chunk.url.toString() << "started";
        if (::shared::sha256(Data) != Chunk.unpackedHash) {
            qCInfo(lcDownload) << "saveDownloadedData failed: invalid hash";
            throw ::shared::TErrorException(
                EErrorCode::HashMismatch, {},
                QStringLiteral("verify of url '%1' failed").arg(Chunk.url.toString()));
        }
        qCDebug(downloadDetail) << "verifyDownloadedData " << Chunk.url.toString() << "finished";
        return Data;
    });
}

void saveChunkIntoFiles(const TChunkSaveContext &Context, const TChunkToDownload &Chunk,
                        const QByteArray &Data)
{
    qCDebug(downloadDetail) << "saveDownloadedData chunk " << Chunk.url.toString();
    bool AlreadyCached = false;
    for (const auto &State : Chunk.fileStates) {
        QMutexLocker Lock(&State->mutex);
        saveIntoFile(Context, Chunk, Data, *State, AlreadyCached);
    }
}

TChunkStageResult saveDownloadedData(TChunkSaveContext Context, TChunkToDownload Chunk,
                                     QByteArray Data)
{
    return runStage(Chunk, [&] {
        saveChunkIntoFiles(Context, Chunk, Data);
        return QByteArray();
    });
}

TChunkStageResult processDownloadedObject(TChunkSaveContext Context, TChunkToDownload Chunk,
                                          QByteArray Data, bool IsDelta)
{
    const auto failed = [](TChunkStageResult Result, EChunkStage Stage) {
        Result.stage = Stage;
        return Result;
    };
    TChunkStageResult Step;
    if (IsDelta) {
        qCDebug(downloadDetail) << "processDownloadedData delta for " << Chunk.url.toString();
        Step = applyDownloadedDelta(Chunk, std::move(Data));
        if (!Step.succeeded)
            return failed(std::move(Step), EChunkStage::ApplyDelta);
    } else {
        if (Chunk.unpack) {
            qCDebug(downloadDetail) << "processDownloadedData decompress " << Chunk.url.toString();
            Step = decompressDownloadedData(Chunk, std::move(Data));
            if (!Step.succeeded)
                return failed(std::move(Step), EChunkStage::Decompress);
            Data = std::move(Step.data);
        }
        qCDebug(downloadDetail) << "processDownloadedData verify " << Chunk.url.toString();
        Step = verifyDownloadedData(Chunk, std::move(Data));
        if (!Step.succeeded)
            return failed(std::move(Step), EChunkStage::Verify);
    }
    qCDebug(downloadDetail) << "processDownloadedData save " << Chunk.url.toString();
    Step = saveDownloadedData(std::move(Context), Chunk, std::move(Step.data));
    Step.stage = EChunkStage::Save;
    return Step;
}

} // namespace vorna::launcher
