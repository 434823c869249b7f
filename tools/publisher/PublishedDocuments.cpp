#include "PublishedDocuments.h"

#include "TReleaseSigner.h"

#include "format/TDocumentWriter.h"

#include <QDir>
#include <QJsonObject>

#include <optional>

namespace vorna::publisher {

namespace {

// Describes one document's chunks and files. Indices count in the combined chunk list of the
// launcher's reader, in which the package document's chunks come first: FirstIndex is the number
// of chunks before this document's own.
void describeFiles(const std::vector<const TChunkedFile *> &Files,
                   const QHash<QByteArray, TChunkOutcome> &Outcomes, const QDir &OutputDirectory,
                   const TChunkStore &Store, int FirstIndex, const TDeltasByChunk &Deltas,
                   const TPackPlaces &Places, std::vector<::shared::TChunkEntry> &Chunks,
                   std::vector<::shared::TFileEntry> &Entries)
{
    const auto placeOf = [&](const QString &Path) -> std::optional<::shared::TPackPlace> {
        const auto place = Places.constFind(Path);
        if (place == Places.constEnd())
            return std::nullopt;
        return ::shared::TPackPlace{OutputDirectory.relativeFilePath(place->packPath),
                                    quint64(place->offset)};
    };
    QHash<QByteArray, int> indexOf;
    for (const TChunkedFile *file : Files) {
        ::shared::TFileEntry entry;
        for (const TPiece &piece : file->pieces) {
            auto found = indexOf.constFind(piece.hash);
            if (found == indexOf.constEnd()) {
                const TChunkOutcome &outcome = Outcomes[piece.hash];
                const QString path = Store.chunkPath(piece.hash);
                ::shared::TChunkEntry chunk;
                chunk.url = OutputDirectory.relativeFilePath(path);
                chunk.packedSize = quint64(outcome.stored.packedSize);
                chunk.packedHash = outcome.stored.packedHash;
                chunk.unpackedSize = quint64(outcome.unpackedSize);
                chunk.unpackedHash = piece.hash;
                chunk.unpack = outcome.stored.unpack;
                chunk.packPlace = placeOf(path);
                for (const TDeltaWriter::TOutcome &delta : Deltas.value(piece.hash))
                    chunk.deltas.push_back(TDeltaWriter::describe(
                        delta, OutputDirectory.relativeFilePath(delta.path), placeOf(delta.path)));
                found = indexOf.insert(piece.hash, FirstIndex + int(Chunks.size()));
                Chunks.push_back(std::move(chunk));
            }
            entry.chunkIndices.push_back(*found);
        }
        entry.localFile = file->source.localFile;
        entry.unpackedSize = quint64(file->size);
        entry.unpackedHash = file->hash;
        entry.executable = file->source.executable;
        Entries.push_back(std::move(entry));
    }
}

} // namespace

void writeDocuments(const std::vector<TChunkedFile> &Files,
                    const QHash<QByteArray, TChunkOutcome> &Outcomes, const TChunkStore &Store,
                    const TDeltasByChunk &Deltas, const TPackPlaces &Places,
                    const TPublishOptions &Options, TPublishReport &Report)
{
    const QDir outputDirectory(Options.outputDirectory);
    std::vector<const TChunkedFile *> packageFiles;
    std::vector<const TChunkedFile *> assetFiles;
    for (const TChunkedFile &file : Files)
        (file.source.asset ? assetFiles : packageFiles).push_back(&file);

    ::shared::TPackageDocument package;
    package.version = Options.version;
    package.executable = Options.executable;
    package.generation = Options.generation;
    package.variant = Options.variant;
    package.parameters = Options.parameters;
    describeFiles(packageFiles, Outcomes, outputDirectory, Store, 0, Deltas, Places, package.chunks,
                  package.files);

    const TReleaseSigner signer(Options.signingKeyFiles);
    const auto writeSigned = [&signer, &Options](const QString &Path, const QJsonObject &Document,
                                                 TReleaseSigner::EDocumentKind Kind) {
        signer.write(Path, signer.document(Document, Path, Kind, Options.packageName));
    };
    if (!Options.assetsDirectory.isEmpty()) {
        ::shared::TAssetDocument assets;
        assets.version = Options.assetsVersion;
        describeFiles(assetFiles, Outcomes, outputDirectory, Store, int(package.chunks.size()),
                      Deltas, Places, assets.chunks, assets.files);
        Report.assetDocumentPath = outputDirectory.filePath(Options.assetFileName);
        writeSigned(Report.assetDocumentPath, ::shared::TDocumentWriter::toJson(assets),
                    TReleaseSigner::EDocumentKind::Assets);
    }
    Report.packageDocumentPath = outputDirectory.filePath(Options.packageFileName);
    writeSigned(Report.packageDocumentPath, ::shared::TDocumentWriter::toJson(package),
                TReleaseSigner::EDocumentKind::Package);
}

} // namespace vorna::publisher
