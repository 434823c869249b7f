#pragma once

#include "TChunkInPackage.h"
#include "TFileInPackage.h"
#include "TPatchInPackage.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace vorna::launcher {

// The byte count carried by every progress signal.
using TFileSize = qint64;

// One file that still needs chunks from the server; consumed by the package file downloader.
struct TFileToDownload
{
    // Path relative to the installation directory, not yet confined.
    QString localFile;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    // Always empty as produced by the difference computation.
    std::vector<TPatchInPackage> patches;
    // All chunks of the file in file order (or the single whole-file description). The target
    // offset of chunk i is the sum of the unpacked sizes of the chunks before it.
    std::vector<TChunkInPackage> chunks;
    // Ascending indices into chunks of what is missing; every other chunk already lies at its
    // target offset in the local file.
    std::vector<qint32> chunkIndicesToDownload;
    // Deltas for some of the chunks to download, against bases staged during the scan. The
    // chunk itself stays the fallback.
    std::vector<TPlannedDelta> plannedDeltas;
};

// What an installation has to do after scanning its directory.
struct TPackageDifference
{
    // Files with at least one chunk to download.
    std::vector<TFileToDownload> filesToDownload;
    // Files of the local configuration that the remote configuration no longer has.
    TFileInPackageVector filesToDelete;
};

// Where the content of one remote chunk was found while scanning a local file.
struct TChunkReuseState
{
    enum EState
    {
        Missing = 0,
        InPlace = 1,
        Elsewhere = 2,
    };

    int state = Missing;
    // Where the content lies now: in the local file or, once moved, in the temporary file.
    qint64 sourceOffset = 0;
    qint64 targetOffset = 0;
    qint64 size = 0;
    bool movedToTemporary = false;
};

} // namespace vorna::launcher
