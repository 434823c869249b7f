#pragma once

#include <QByteArray>
#include <QTemporaryFile>

#include <memory>

namespace vorna::launcher {

// Content (one unpacked hash) that files still need somewhere they cannot write yet. Held in
// memory or in a temporary file; the temporary file goes with the object.
struct TPendingChunk
{
    enum EStorage
    {
        NoContent = 0,
        InMemory = 1,
        InTemporaryFile = 2,
    };

    // Places, over all files, that still need this content.
    qint32 useCount = 0;
    QByteArray data;
    std::unique_ptr<QTemporaryFile> temporaryFile;
    qint32 storage = NoContent;
};

} // namespace vorna::launcher
