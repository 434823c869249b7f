#pragma once

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QString>
#include <QStringList>

#include <vector>

namespace vorna::publisher {

// Groups small stored objects (chunks and deltas) into pack files in the chunk store, so that a
// launcher fetches many of them with one Range request instead of one request each. A pack is
// the plain concatenation of the objects' stored bytes and is named by the SHA-256 of its content
// ("<store>/<2 hex digits>/<64 hex digits>.pack"): like the objects, a pack once written never
// changes, and the objects stay in the store on their own for launchers that know no packs.
class TPackWriter final
{
public:
    // Objects above this stored size are fetched on their own anyway: a request for them is
    // already mostly payload.
    static constexpr qint64 MaximumObjectSize = qint64(1) << 20;
    // A pack is cut after this many bytes; launchers fetch far smaller ranges of it.
    static constexpr qint64 MaximumPackSize = qint64(64) << 20;

    // An object of the store: its file and what the documents say about it.
    struct TObject
    {
        QString path;
        qint64 size = 0;
        QByteArray hash; // SHA-256 of the stored bytes
    };

    // Where an object lies in a pack.
    struct TPlace
    {
        QString packPath;
        qint64 offset = 0;
    };

    explicit TPackWriter(const QString &StoreDirectory) : m_directory(StoreDirectory) {}

    // Writes Objects, in this order, into as many packs as MaximumPackSize allows and returns the
    // place of each, in the same order. An object whose file no longer has its size and hash
    // stops the run (TPublishError), as does a pack that cannot be written. Counts the packs this
    // call added and their bytes.
    std::vector<TPlace> write(const std::vector<TObject> &Objects);

    int packsWritten() const { return m_packsWritten; }
    qint64 bytesWritten() const { return m_bytesWritten; }

    // The places that the documents already in OutputDirectory give, by the object's path, for
    // packs that still exist: a new version reuses them instead of packing those objects again.
    static QHash<QString, TPlace> knownPlaces(const QDir &OutputDirectory,
                                              const QStringList &DocumentNames);

private:
    // Packs Objects[First, End) and sets their places.
    void writePack(const std::vector<TObject> &Objects, std::size_t First, std::size_t End,
                   std::vector<TPlace> &Places);

    QString m_directory;
    int m_packsWritten = 0;
    qint64 m_bytesWritten = 0;
};

} // namespace vorna::publisher
