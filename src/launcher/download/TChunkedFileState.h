#pragma once

#include "packages/TChunkInPackage.h"
#include "packages/TPatchInPackage.h"

#include <QByteArray>
#include <QFile>
#include <QMutex>
#include <QString>

#include <list>
#include <vector>

namespace vorna::launcher {

// One file being written by the downloader. Shared by every chunk that has content for it; the
// save workers touch it, and its target file, only while holding its mutex.
struct TChunkedFileState
{
    TChunkedFileState() = default;
    TChunkedFileState(const TChunkedFileState &) = delete;
    TChunkedFileState &operator=(const TChunkedFileState &) = delete;

    QString localFile;
    // The confined absolute path of the file; computed once when the download is prepared.
    QString absolutePath;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    std::vector<TPatchInPackage> patches;
    // All chunks of the file in file order.
    std::vector<TChunkInPackage> chunks;
    // Offset of every chunk of chunks in the file.
    std::vector<quint64> chunkOffsets;

    QMutex mutex;
    // Ascending indices into chunks that are not written yet; the file is written front to back.
    std::list<qint32> pendingChunkIndices;
    bool prepared = false;
    // Opened on the first write and kept open until the last chunk has been written.
    QFile targetFile;
};

} // namespace vorna::launcher
