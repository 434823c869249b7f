#include "ChunkProduction.h"

#include "TPublishError.h"
#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"
#include "format/TTextError.h"

#include <QDir>
#include <QFile>

namespace vorna::publisher {

TChunkedFile chunkSourceFile(const TSourceFile &Source, const TCounter &Done)
{
    TChunkedFile result;
    result.source = Source;
    try {
        QFile probe(Source.path);
        if (!probe.open(QIODevice::ReadOnly)) {
            result.failure = std::make_exception_ptr(TPublishError(
                ::shared::EErrorCode::OpenFailed, Source.path,
                QStringLiteral("Could not read file '%1': %2")
                    .arg(QDir::toNativeSeparators(Source.path), probe.errorString())));
            return result;
        }
        probe.close();
        // The launcher's own chunker, so the cut points here are the ones a player's disk scan
        // finds. One per file: a thread_local one would be destroyed in the exit of whichever
        // thread ran the task, the main thread included, where MinGW's runtime hangs.
        launcher::TContentDefinedChunker chunker;
        const bool read = chunker.chunkFile(
            Source.path, true,
            [&result, &Done](const launcher::TContentDefinedChunker::TChunk &Chunk) {
                result.pieces.push_back({Chunk.offset, Chunk.length, Chunk.hash});
                result.size += Chunk.length;
                *Done += Chunk.length;
            });
        result.hash = ::shared::TSha256::hashFile(Source.path);
        if (!read || result.hash.isEmpty()) {
            result.failure = std::make_exception_ptr(
                TPublishError(::shared::EErrorCode::ReadFailed, Source.path,
                              QStringLiteral("Could not read file '%1'")
                                  .arg(QDir::toNativeSeparators(Source.path))));
            return result;
        }
        // The launcher writes only files that have a chunk: an empty file gets one of no bytes.
        if (result.pieces.empty())
            result.pieces.push_back({0, 0, ::shared::sha256(QByteArray())});
    } catch (const std::exception &Error) {
        result.failure = std::make_exception_ptr(TPublishError(
            ::shared::EErrorCode::ReadFailed, Source.path,
            QStringLiteral("Could not chunk file '%1': %2")
                .arg(QDir::toNativeSeparators(Source.path), ::shared::errorText(Error))));
    }
    return result;
}

TChunkOutcome produceChunk(const TChunkStore &Store, const TChunkStore::TCompression &Compression,
                           const TChunkJob &Job, const TCounter &Done)
{
    TChunkOutcome outcome;
    outcome.hash = Job.hash;
    outcome.unpackedSize = Job.length;
    qint64 counted = 0;
    try {
        if (Store.contains(Job.hash)) {
            outcome.stored = Store.describe(Job.hash, Job.length);
        } else {
            // Compression comes long after chunking; the bytes must still be the ones hashed.
            const QByteArray content =
                TChunkStore::readSourcePiece(Job.path, Job.offset, Job.length, Job.hash);
            // A chunk takes seconds to compress: the counter follows the encoder, not only the
            // finished chunks.
            outcome.stored = Store.store(Job.hash, content, Compression, [&](qint64 Consumed) {
                *Done += Consumed - counted;
                counted = Consumed;
            });
        }
    } catch (const std::exception &) {
        outcome.failure = std::current_exception();
    }
    *Done += Job.length - counted;
    return outcome;
}

} // namespace vorna::publisher
