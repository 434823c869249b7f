#pragma once

#include <QByteArray>
#include <QUrl>
#include <QtGlobal>

#include <vector>

namespace vorna::launcher {

// One object (a chunk or a delta) that a document places in a pack file as well: its own
// address, and the byte range it takes in the pack.
struct TPackObject
{
    QUrl url;
    QUrl packUrl;
    quint64 offset = 0;
    quint64 size = 0;
    // Lower values are wanted earlier; a range is as urgent as its most urgent object.
    int priority = 0;
};

// One Range request: the bytes [offset, offset + length) of a pack, holding its objects, each
// wholly inside.
struct TPackRange
{
    QUrl packUrl;
    quint64 offset = 0;
    quint64 length = 0;
    int priority = 0;
    std::vector<TPackObject> objects;
    // The objects' own bytes: length less the gaps (and overlaps).
    quint64 objectBytes = 0;
};

// Neighbouring objects of one pack go into one request as long as the bytes between them that
// nobody asked for stay below MaxGap and the request stays below MaxRequestSize. Objects of no
// size, or larger than MaxRequestSize on their own, are left out: they are fetched by their own
// address. The requests come in the order of their priority.
std::vector<TPackRange> coalescePackRanges(std::vector<TPackObject> Objects, quint64 MaxGap,
                                           quint64 MaxRequestSize);

// The bytes of Object in the body of Range, or nothing (a null array) when the object does not
// lie inside the bytes received.
QByteArray objectInRange(const TPackRange &Range, const QByteArray &Body,
                         const TPackObject &Object);

} // namespace vorna::launcher
