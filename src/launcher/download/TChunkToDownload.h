#pragma once

#include "TChunkedFileState.h"
#include "packages/TChunkInPackage.h"

#include <memory>
#include <optional>
#include <vector>

namespace vorna::launcher {

// One chunk URL to fetch, and every file that needs its content. A URL is fetched once however
// many files, or places in one file, need it.
struct TChunkToDownload : TChunkInPackage
{
    TChunkToDownload() = default;
    explicit TChunkToDownload(const TChunkInPackage &Chunk) : TChunkInPackage(Chunk) {}

    std::vector<std::shared_ptr<TChunkedFileState>> fileStates;
    // Shared by transfer failures and failed hash checks: a chunk is tried at most 4 times.
    qint32 retryCount = 0;
    // A delta to fetch instead of the chunk, against a base staged during the scan. Tried once;
    // any failure falls back to the chunk itself.
    std::optional<TPlannedDelta> plannedDelta;
};

} // namespace vorna::launcher
