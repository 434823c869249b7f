#pragma once

#include "packages/TPackageConfigurationReader.h"
#include "packages/TPackageDifference.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QUrl>

#include <memory>
#include <vector>

namespace vorna::launcher {
class TPackage;
}

namespace testsupport {

class TTestHttpServer;

// Publishes a package the way the studio does, onto a TTestHttpServer: files are cut into chunks
// (by the content-defined chunker, or at given lengths), every chunk is packed into a blob
// container and served under "<prefix>/chunks/<unpacked hash>", and the package document lists
// them. Equal content gets one URL, as on the real content delivery network.
//
//     TTestPackageBuilder Package(Server);
//     Package.addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Bytes, true);
//     const QByteArray Json = Package.packageJson(QStringLiteral("1"));
class TTestPackageBuilder final
{
public:
    enum class EPacking
    {
        Lzma,   // LZMA blob container, unpack true
        Stored, // codec 0 container, unpack true
        Plain,  // the bytes themselves, unpack false
    };

    explicit TTestPackageBuilder(TTestHttpServer &Server,
                                 const QString &Prefix = QStringLiteral("/cdn"));

    void setPacking(EPacking Packing) { m_packing = Packing; }
    // Content-defined chunking with this average (a power of two; the launcher scans with 8 MiB).
    void setAverageChunkLength(qint64 Length) { m_averageChunkLength = Length; }

    // Adds a file cut by the content-defined chunker, or into the given piece lengths.
    void addFile(const QString &LocalFile, const QByteArray &Content, bool Executable = false,
                 const std::vector<qint64> &PieceLengths = {});
    void removeFile(const QString &LocalFile);

    QByteArray
    packageJson(const QString &Version,
                const QString &Executable = QStringLiteral("bin/client" CORVANE_EXE_SUFFIX)) const;
    vorna::launcher::TPackageConfigurationReader configuration(
        const QString &Version,
        const QString &Executable = QStringLiteral("bin/client" CORVANE_EXE_SUFFIX)) const;
    // What the difference computation gives for an empty installation directory.
    std::vector<vorna::launcher::TFileToDownload> allMissing() const;

    // Offers a delta (zstd patch-from, as the studio's publisher makes them) that builds the chunk
    // with content Target from the older chunks Base, concatenated. Served under
    // "<prefix>/deltas/"; returns its path on the server.
    QString addDelta(const QByteArray &Target, const std::vector<QByteArray> &Base);

    // Puts every chunk and delta added so far into one pack file, as the studio's publisher does,
    // served under "<prefix>/packs/<Name>"; the documents name each object's place in it from
    // now on. Returns the pack's path on the server.
    QString packAll(const QString &Name = QStringLiteral("all.pack"));
    // The bytes of the last pack made.
    const QByteArray &packContent() const { return m_pack; }

    QString chunkPath(const QByteArray &Content) const;
    QUrl chunkUrl(const QByteArray &Content) const;
    // Chunk contents of a file, in file order.
    std::vector<QByteArray> chunksOf(const QString &LocalFile) const;
    int chunkCount() const { return int(m_chunks.size()); }

    // A package of the launcher metadata with one build for the running machine whose
    // configuration is Configuration (none when null).
    static std::shared_ptr<vorna::launcher::TPackage>
    makePackage(const QString &Name, int Index,
                const vorna::launcher::TPackageConfigurationReader *Configuration);

    // Deterministic test content: incompressible, or text-like and compressible.
    static QByteArray randomBytes(qint64 Size, quint32 Seed);
    static QByteArray compressibleBytes(qint64 Size, quint32 Seed);

private:
    struct TFile
    {
        QString localFile;
        QByteArray content;
        bool executable = false;
        std::vector<int> chunkIndices;
    };

    int addChunk(const QByteArray &Content);

    TTestHttpServer &m_server;
    QString m_prefix;
    EPacking m_packing = EPacking::Lzma;
    qint64 m_averageChunkLength = qint64(8) << 20;
    std::vector<vorna::launcher::TChunkInPackage> m_chunks;
    std::vector<QByteArray> m_chunkContents;
    std::vector<QByteArray> m_packedChunks;
    QHash<QUrl, QByteArray> m_deltaBytes;
    QByteArray m_pack;
    std::vector<TFile> m_files;
};

} // namespace testsupport
