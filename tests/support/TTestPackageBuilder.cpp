#include "TTestPackageBuilder.h"
#include "TestFiles.h"

#include "TTestHttpServer.h"
#include "format/BlobContainer.h"
#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"
#include "format/TZstdDelta.h"
#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <random>

namespace testsupport {

using vorna::launcher::TChunkInPackage;
using vorna::launcher::TFileToDownload;

TTestPackageBuilder::TTestPackageBuilder(TTestHttpServer &Server, const QString &Prefix)
    : m_server(Server), m_prefix(Prefix)
{
}

QString TTestPackageBuilder::chunkPath(const QByteArray &Content) const
{
    return m_prefix + QStringLiteral("/chunks/") +
           QString::fromLatin1(::shared::sha256(Content).toHex());
}

QUrl TTestPackageBuilder::chunkUrl(const QByteArray &Content) const
{
    return m_server.url(chunkPath(Content));
}

int TTestPackageBuilder::addChunk(const QByteArray &Content)
{
    const QUrl Url = chunkUrl(Content);
    for (std::size_t Index = 0; Index < m_chunks.size(); ++Index) {
        if (m_chunks[Index].url == Url)
            return int(Index);
    }
    QByteArray Packed;
    switch (m_packing) {
    case EPacking::Lzma:
        Packed = ::shared::encodeBlobContainer(Content, ::shared::BlobCodecLzma, 0);
        break;
    case EPacking::Stored:
        Packed = ::shared::encodeBlobContainer(Content, 0);
        break;
    case EPacking::Plain:
        Packed = Content;
        break;
    }
    m_server.setFile(chunkPath(Content), Packed);
    TChunkInPackage Chunk;
    Chunk.url = Url;
    Chunk.packedSize = quint64(Packed.size());
    Chunk.packedHash = ::shared::sha256(Packed);
    Chunk.unpackedSize = quint64(Content.size());
    Chunk.unpackedHash = ::shared::sha256(Content);
    Chunk.unpack = m_packing != EPacking::Plain;
    m_chunks.push_back(Chunk);
    m_chunkContents.push_back(Content);
    m_packedChunks.push_back(Packed);
    return int(m_chunks.size() - 1);
}

QString TTestPackageBuilder::addDelta(const QByteArray &Target, const std::vector<QByteArray> &Base)
{
    QByteArray BaseContent;
    vorna::launcher::TChunkDelta Delta;
    for (const QByteArray &Piece : Base) {
        BaseContent += Piece;
        Delta.baseChunkHashes.push_back(::shared::sha256(Piece));
    }
    const QByteArray Bytes = ::shared::TZstdDelta::create(BaseContent, Target, 3);
    Delta.baseHash = ::shared::sha256(BaseContent);
    Delta.baseSize = quint64(BaseContent.size());
    Delta.packedSize = quint64(Bytes.size());
    Delta.packedHash = ::shared::sha256(Bytes);
    const QString Path = m_prefix + QStringLiteral("/deltas/") +
                         QString::fromLatin1(::shared::sha256(Target).toHex()) + QLatin1Char('.') +
                         QString::fromLatin1(Delta.baseHash.toHex());
    Delta.url = m_server.url(Path);
    m_server.setFile(Path, Bytes);
    m_deltaBytes.insert(Delta.url, Bytes);
    m_chunks[std::size_t(addChunk(Target))].deltas.push_back(Delta);
    return Path;
}

QString TTestPackageBuilder::packAll(const QString &Name)
{
    const QString Path = m_prefix + QStringLiteral("/packs/") + Name;
    const QUrl Url = m_server.url(Path);
    QByteArray Pack;
    for (std::size_t Index = 0; Index < m_chunks.size(); ++Index) {
        TChunkInPackage &Chunk = m_chunks[Index];
        Chunk.packUrl = Url;
        Chunk.packOffset = quint64(Pack.size());
        Pack += m_packedChunks[Index];
        for (vorna::launcher::TChunkDelta &Delta : Chunk.deltas) {
            Delta.packUrl = Url;
            Delta.packOffset = quint64(Pack.size());
            Pack += m_deltaBytes.value(Delta.url);
        }
    }
    m_server.setFile(Path, Pack);
    m_pack = Pack;
    return Path;
}

void TTestPackageBuilder::addFile(const QString &LocalFile, const QByteArray &Content,
                                  bool Executable, const std::vector<qint64> &PieceLengths)
{
    removeFile(LocalFile);
    TFile File;
    File.localFile = LocalFile;
    File.content = Content;
    File.executable = Executable;
    if (PieceLengths.empty()) {
        const vorna::launcher::TContentDefinedChunker Chunker(m_averageChunkLength);
        for (const auto &Piece : Chunker.chunkBuffer(Content, false))
            File.chunkIndices.push_back(
                addChunk(Content.mid(int(Piece.offset), int(Piece.length))));
    } else {
        qint64 Offset = 0;
        for (const qint64 Length : PieceLengths) {
            File.chunkIndices.push_back(addChunk(Content.mid(int(Offset), int(Length))));
            Offset += Length;
        }
    }
    m_files.push_back(File);
}

void TTestPackageBuilder::removeFile(const QString &LocalFile)
{
    m_files.erase(std::remove_if(m_files.begin(), m_files.end(),
                                 [&](const TFile &File) { return File.localFile == LocalFile; }),
                  m_files.end());
}

QByteArray TTestPackageBuilder::packageJson(const QString &Version, const QString &Executable) const
{
    QJsonArray Chunks;
    for (const TChunkInPackage &Chunk : m_chunks) {
        QJsonObject Object{
            {QStringLiteral("url"), Chunk.url.toString()},
            {QStringLiteral("packedsize"), QString::number(Chunk.packedSize)},
            {QStringLiteral("packedhash"), QString::fromLatin1(Chunk.packedHash.toHex())},
            {QStringLiteral("unpackedsize"), QString::number(Chunk.unpackedSize)},
            {QStringLiteral("unpackedhash"), QString::fromLatin1(Chunk.unpackedHash.toHex())},
            {QStringLiteral("unpack"), Chunk.unpack},
        };
        if (!Chunk.packUrl.isEmpty()) {
            Object.insert(QStringLiteral("pack"), Chunk.packUrl.toString());
            Object.insert(QStringLiteral("packoffset"), double(Chunk.packOffset));
        }
        QJsonArray Deltas;
        for (const vorna::launcher::TChunkDelta &Delta : Chunk.deltas) {
            QJsonArray Base;
            for (const QByteArray &Hash : Delta.baseChunkHashes)
                Base.append(QString::fromLatin1(Hash.toHex()));
            QJsonObject DeltaObject{
                {QStringLiteral("url"), Delta.url.toString()},
                {QStringLiteral("packedsize"), double(Delta.packedSize)},
                {QStringLiteral("packedhash"), QString::fromLatin1(Delta.packedHash.toHex())},
                {QStringLiteral("basehash"), QString::fromLatin1(Delta.baseHash.toHex())},
                {QStringLiteral("basesize"), double(Delta.baseSize)},
                {QStringLiteral("base"), Base},
            };
            if (!Delta.packUrl.isEmpty()) {
                DeltaObject.insert(QStringLiteral("pack"), Delta.packUrl.toString());
                DeltaObject.insert(QStringLiteral("packoffset"), double(Delta.packOffset));
            }
            Deltas.append(DeltaObject);
        }
        if (!Deltas.isEmpty())
            Object.insert(QStringLiteral("deltas"), Deltas);
        Chunks.append(Object);
    }
    QJsonArray Files;
    for (const TFile &File : m_files) {
        QJsonArray Indices;
        for (const int Index : File.chunkIndices)
            Indices.append(Index);
        Files.append(QJsonObject{
            {QStringLiteral("localfile"), File.localFile},
            {QStringLiteral("unpackedsize"), QString::number(File.content.size())},
            {QStringLiteral("unpackedhash"),
             QString::fromLatin1(::shared::sha256(File.content).toHex())},
            {QStringLiteral("executable"), File.executable},
            {QStringLiteral("chunks"), Indices},
        });
    }
    const QJsonObject Document{
        {QStringLiteral("version"), Version},
        {QStringLiteral("executable"), Executable},
        {QStringLiteral("generation"), QStringLiteral("second")},
        {QStringLiteral("variant"), QStringLiteral("regular")},
        {QStringLiteral("parameters"), QJsonArray{QStringLiteral("--test")}},
        {QStringLiteral("chunks"), Chunks},
        {QStringLiteral("files"), Files},
    };
    return QJsonDocument(Document).toJson(QJsonDocument::Compact);
}

vorna::launcher::TPackageConfigurationReader
TTestPackageBuilder::configuration(const QString &Version, const QString &Executable) const
{
    const QUrl Base = m_server.url(m_prefix + QStringLiteral("/"));
    return vorna::launcher::TPackageConfigurationReader(packageJson(Version, Executable),
                                                        QByteArray(), Base, Base);
}

std::vector<TFileToDownload> TTestPackageBuilder::allMissing() const
{
    std::vector<TFileToDownload> Result;
    for (const TFile &File : m_files) {
        TFileToDownload Entry;
        Entry.localFile = File.localFile;
        Entry.unpackedSize = quint64(File.content.size());
        Entry.unpackedHash = ::shared::sha256(File.content);
        Entry.executable = File.executable;
        for (std::size_t Index = 0; Index < File.chunkIndices.size(); ++Index) {
            Entry.chunks.push_back(m_chunks[std::size_t(File.chunkIndices[Index])]);
            Entry.chunkIndicesToDownload.push_back(qint32(Index));
        }
        Result.push_back(Entry);
    }
    return Result;
}

std::vector<QByteArray> TTestPackageBuilder::chunksOf(const QString &LocalFile) const
{
    std::vector<QByteArray> Result;
    for (const TFile &File : m_files) {
        if (File.localFile != LocalFile)
            continue;
        for (const int Index : File.chunkIndices)
            Result.push_back(m_chunkContents[std::size_t(Index)]);
    }
    return Result;
}

std::shared_ptr<vorna::launcher::TPackage>
TTestPackageBuilder::makePackage(const QString &Name, int Index,
                                 const vorna::launcher::TPackageConfigurationReader *Configuration)
{
    using namespace vorna::launcher;
    const QString Os = testsupport::runningOsName();
    const QString Architecture = testsupport::runningArchitectureName();
    const QJsonObject Entry{
        {QStringLiteral("name"), Name},
        {QStringLiteral("directoryname"), Name.toLower()},
        {QStringLiteral("builds"),
         QJsonArray{QJsonObject{{QStringLiteral("os"), Os},
                                {QStringLiteral("architecture"), Architecture},
                                {QStringLiteral("url"), QStringLiteral("package.json")}}}},
    };
    auto Package = std::make_shared<TPackage>(Index, Entry,
                                              QUrl(QStringLiteral("http://127.0.0.1:1/metadata/")));
    if (Configuration && Package->selectBuildForRunningPlatform())
        Package->selectBuildForRunningPlatform()->configuration =
            std::make_unique<TPackageConfigurationReader>(*Configuration);
    return Package;
}

QByteArray TTestPackageBuilder::randomBytes(qint64 Size, quint32 Seed)
{
    std::mt19937 Engine(Seed);
    QByteArray Bytes(int(Size), Qt::Uninitialized);
    auto *Words = reinterpret_cast<unsigned char *>(Bytes.data());
    for (qint64 Index = 0; Index < Size; ++Index)
        Words[Index] = static_cast<unsigned char>(Engine() >> 24);
    return Bytes;
}

QByteArray TTestPackageBuilder::compressibleBytes(qint64 Size, quint32 Seed)
{
    static const char *const Words[] = {"corvane ", "online ",  "launcher ", "chunk ",
                                        "package ", "update\n", "verify ",   "client "};
    std::mt19937 Engine(Seed);
    QByteArray Bytes;
    Bytes.reserve(int(Size));
    while (Bytes.size() < Size)
        Bytes.append(Words[Engine() % 8]);
    Bytes.truncate(int(Size));
    return Bytes;
}

} // namespace testsupport
