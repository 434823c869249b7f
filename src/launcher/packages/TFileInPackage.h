#pragma once

#include "TChunkInPackage.h"
#include "TPatchInPackage.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

namespace vorna::launcher {

// One file of an installed package.
struct TFileInPackage
{
    // Path relative to the installation directory, "/"-separated, not yet confined: pass it
    // through TFileSystemHelper::filePathInDirectory before touching the disk.
    QString localFile;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    std::vector<TPatchInPackage> patches;
    // Indices into the configuration's combined chunk list, in file order. The reader guarantees
    // that every index is inside that list.
    std::vector<int> chunkIndices;
    // The whole file as one downloadable unit; used when its url is not empty.
    TChunkInPackage wholeFile;
};

using TFileInPackageVector = std::vector<TFileInPackage>;

} // namespace vorna::launcher
