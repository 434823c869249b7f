#pragma once

#include "ChunkProduction.h"
#include "TDeltaWriter.h"
#include "TPackWriter.h"
#include "TPackagePublisher.h"

#include <QByteArray>
#include <QHash>
#include <QString>

#include <vector>

namespace vorna::publisher {

// The deltas offered for each new chunk, by the chunk's unpacked hash.
using TDeltasByChunk = QHash<QByteArray, std::vector<TDeltaWriter::TOutcome>>;
// Places of the packed objects by the path of the object file.
using TPackPlaces = QHash<QString, TPackWriter::TPlace>;

// Writes the asset document (with assets) and then the package document into the output
// directory, signed when the options name keys, and sets their paths in Report. The asset
// document comes first: the package document is what makes a new version visible.
void writeDocuments(const std::vector<TChunkedFile> &Files,
                    const QHash<QByteArray, TChunkOutcome> &Outcomes, const TChunkStore &Store,
                    const TDeltasByChunk &Deltas, const TPackPlaces &Places,
                    const TPublishOptions &Options, TPublishReport &Report);

} // namespace vorna::publisher
