#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>
#include <vector>

// What the package, asset and metadata documents hold, as plain values: addresses as the texts
// the documents give (the launcher resolves them against the document's own address), hashes as
// raw bytes (hexadecimal text in the documents). TDocumentReader fills them from document bytes,
// TDocumentWriter turns them into documents; the launcher builds its model from them and the
// publisher describes what it stored with them.
namespace shared {

// Where an object lies in a pack file besides its own address ("pack", "packoffset").
struct TPackPlace
{
    QString pack;
    quint64 offset = 0;
};

// A delta offered for a chunk: built against the concatenation of older chunks ("base").
struct TDeltaEntry
{
    QString url;
    quint64 packedSize = 0;
    QByteArray packedHash;
    std::optional<TPackPlace> packPlace;
    QByteArray baseHash;
    quint64 baseSize = 0;
    std::vector<QByteArray> baseChunkHashes;
};

// A chunk object, and the whole-file description of a file object.
struct TChunkEntry
{
    QString url;
    quint64 packedSize = 0;
    QByteArray packedHash;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool unpack = true;
    std::optional<TPackPlace> packPlace;
    std::vector<TDeltaEntry> deltas;
};

struct TPatchEntry
{
    QString url;
    qint64 fromVersion = 0;
    qint64 toVersion = 0;
    qint64 size = 0;
};

struct TFileEntry
{
    QString localFile;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    // Indices into the combined chunk list of the package and the asset document, as the
    // document gives them: nothing here says whether they lie inside it.
    std::vector<int> chunkIndices;
    std::vector<TPatchEntry> patches;
    // The file as one downloadable unit, written with the chunk keys into the file object, so
    // that its unpacked size and hash are the file's own. Written only when its url is not empty.
    TChunkEntry wholeFile;
};

// The package document ("package.json", "partial-package.json"). Empty texts are absent keys.
struct TPackageDocument
{
    QString version;
    QString executable;
    QString generation;
    QString variant;
    QStringList parameters;
    std::vector<TChunkEntry> chunks;
    std::vector<TFileEntry> files;
};

// The asset document ("assets.json"). Its version is a number in the documents the publisher
// writes; a text is read too.
struct TAssetDocument
{
    QString version;
    bool numericVersion = true;
    std::vector<TChunkEntry> chunks;
    std::vector<TFileEntry> files;
};

// What signed metadata pins of a build's document; empty when it pins nothing or what it gives
// is unusable (a hash that is no SHA-256, a size that is no whole number from 0 to 2^53 - 1).
struct TDocumentPin
{
    QByteArray sha256;
    qint64 size = -1;

    bool isEmpty() const { return sha256.isEmpty(); }
};

struct TMetadataBuild
{
    QString os;
    QString architecture;
    QString url;
    std::optional<QString> assetsUrl;
    TDocumentPin packagePin;
    TDocumentPin assetsPin;
};

struct TMetadataPackage
{
    QString name;
    QString directoryName;
    std::optional<QString> logoLinkTarget;
    bool installAutomatically = false;
    std::vector<TMetadataBuild> builds;
};

// The launcher metadata document.
struct TMetadataDocument
{
    std::optional<TMetadataPackage> launcher;
    std::vector<TMetadataPackage> packages;
    std::optional<QString> hardwareSurvey;
    std::optional<QString> hints;
    std::optional<QString> funnel;
    bool preventDefaultAutostart = false;
    bool showPackageNames = false;
};

} // namespace shared
