#include "format/TDocumentReader.h"
#include "format/TDocumentWriter.h"

#include <QTest>

using namespace shared;

namespace {

enum class EDocument
{
    Package,
    Asset,
    Metadata
};

QByteArray hash(char Fill)
{
    return QByteArray(32, Fill);
}

TChunkEntry chunk(const QString &Url, char Fill)
{
    TChunkEntry entry;
    entry.url = Url;
    entry.packedSize = 1000;
    entry.packedHash = hash(Fill);
    entry.unpackedSize = 4096;
    entry.unpackedHash = hash(char(Fill + 1));
    return entry;
}

TDeltaEntry delta(const QString &Url, bool Packed)
{
    TDeltaEntry entry;
    entry.url = Url;
    entry.packedSize = 77;
    entry.packedHash = hash('d');
    if (Packed)
        entry.packPlace = TPackPlace{QStringLiteral("chunks/ab/pack.pack"), 4096};
    entry.baseHash = hash('e');
    entry.baseSize = 8192;
    entry.baseChunkHashes = {hash('f'), hash('g')};
    return entry;
}

TFileEntry file(const QString &Name, std::vector<int> Indices)
{
    TFileEntry entry;
    entry.localFile = Name;
    entry.unpackedSize = 4096;
    entry.unpackedHash = hash('h');
    entry.chunkIndices = std::move(Indices);
    return entry;
}

TMetadataPackage package(const QString &Name, bool Pinned)
{
    TMetadataPackage entry;
    entry.name = Name;
    entry.directoryName = Name.toLower();
    TMetadataBuild build;
    build.os = QStringLiteral("linux");
    build.architecture = QStringLiteral("x86_64");
    build.url = Name + QStringLiteral("/package.json");
    if (Pinned) {
        build.assetsUrl = QStringLiteral("https://cdn.example.org/assets.json");
        build.packagePin = TDocumentPin{hash('p'), 1234};
        build.assetsPin = TDocumentPin{hash('q'), 0};
    }
    entry.builds = {build, TMetadataBuild()};
    return entry;
}

// The document read back from Bytes and written again.
QByteArray rewritten(EDocument Kind, const QByteArray &Bytes)
{
    const auto again = [&Bytes](auto Document) {
        return TDocumentReader::read(Bytes, Document) ? TDocumentWriter::toBytes(Document)
                                                      : QByteArray("not JSON");
    };
    switch (Kind) {
    case EDocument::Package:
        return again(TPackageDocument());
    case EDocument::Asset:
        return again(TAssetDocument());
    case EDocument::Metadata:
        return again(TMetadataDocument());
    }
    return {};
}

} // namespace

Q_DECLARE_METATYPE(EDocument)

class TDocumentSchemaTest final : public QObject
{
    Q_OBJECT

private slots:
    void writtenDocumentsReadBackToTheSameBytes_data();
    void writtenDocumentsReadBackToTheSameBytes();
};

void TDocumentSchemaTest::writtenDocumentsReadBackToTheSameBytes_data()
{
    QTest::addColumn<EDocument>("kind");
    QTest::addColumn<QByteArray>("bytes");

    TPackageDocument full;
    full.version = QStringLiteral("1.4.2");
    full.executable = QStringLiteral("bin/corvane");
    full.generation = QStringLiteral("second");
    full.variant = QStringLiteral("beta");
    full.parameters = QStringList{QStringLiteral("-windowed"), QStringLiteral("--lang=de")};
    full.chunks = {chunk(QStringLiteral("chunks/aa/one"), 'a'),
                   chunk(QStringLiteral("chunks/bb/two"), 'b')};
    full.chunks[0].packPlace = TPackPlace{QStringLiteral("chunks/cc/p.pack"), 0};
    full.chunks[0].deltas = {delta(QStringLiteral("chunks/aa/one.x.delta"), true),
                             delta(QStringLiteral("chunks/aa/one.y.delta"), false)};
    full.chunks[1].unpack = false;
    full.files = {file(QStringLiteral("bin/corvane"), {0, 1}), file(QStringLiteral("empty"), {})};
    full.files[0].executable = true;
    full.files[0].patches = {TPatchEntry{QStringLiteral("patches/1-2"), 1, 2, 300}};
    full.files[1].wholeFile = chunk(QStringLiteral("files/empty"), 'w');
    full.files[1].wholeFile.packPlace = TPackPlace{QStringLiteral("files/p.pack"), 12};
    full.files[1].wholeFile.deltas = {delta(QStringLiteral("files/empty.delta"), false)};
    QTest::newRow("package with deltas, packs, patches and flags")
        << EDocument::Package << TDocumentWriter::toBytes(full);
    QTest::newRow("package with nothing but a version")
        << EDocument::Package << TDocumentWriter::toBytes(TPackageDocument());

    TAssetDocument assets;
    assets.version = QStringLiteral("7");
    assets.chunks = {chunk(QStringLiteral("chunks/dd/three"), 'c')};
    assets.files = {file(QStringLiteral("data/level.pak"), {2})};
    QTest::newRow("asset document") << EDocument::Asset << TDocumentWriter::toBytes(assets);
    assets.version = QStringLiteral("7b");
    assets.numericVersion = false;
    QTest::newRow("asset document with a text version")
        << EDocument::Asset << TDocumentWriter::toBytes(assets);

    TMetadataDocument metadata;
    metadata.launcher = package(QStringLiteral("Launcher"), false);
    metadata.packages = {package(QStringLiteral("Corvane"), true),
                         package(QStringLiteral("Test"), false)};
    metadata.packages[0].logoLinkTarget = QStringLiteral("https://example.org/");
    metadata.packages[0].installAutomatically = true;
    metadata.hardwareSurvey = QStringLiteral("https://survey.example.org/");
    metadata.hints = QStringLiteral("https://hints.example.org/");
    metadata.funnel = QString();
    metadata.preventDefaultAutostart = true;
    metadata.showPackageNames = true;
    QTest::newRow("metadata with pins, services and flags")
        << EDocument::Metadata << TDocumentWriter::toBytes(metadata);
    QTest::newRow("metadata without launcher and services")
        << EDocument::Metadata << TDocumentWriter::toBytes(TMetadataDocument());
}

void TDocumentSchemaTest::writtenDocumentsReadBackToTheSameBytes()
{
    QFETCH(EDocument, kind);
    QFETCH(QByteArray, bytes);
    QCOMPARE(rewritten(kind, bytes), bytes);
}

QTEST_GUILESS_MAIN(TDocumentSchemaTest)
#include "tst_documentschema.moc"
