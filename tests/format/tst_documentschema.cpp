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
    void readsMetadataAsLaunchersInTheFieldDo_data();
    void readsMetadataAsLaunchersInTheFieldDo();
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

void TDocumentSchemaTest::readsMetadataAsLaunchersInTheFieldDo_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("read");
    const QByteArray pin(64, 'a');
    const auto withPin = [&pin](const QByteArray &Hash, const QByteArray &Size) -> QByteArray {
        return R"({"packages":[{"name":"Corvane","builds":[{"url":"p.json","packagesha256":")" +
               Hash + R"(","packagesize":)" + Size + "}]}]}";
    };
    QTest::newRow("no JSON") << QByteArray(R"({"packages":)") << QStringLiteral("refused");
    QTest::newRow("root not an object") << QByteArray("[1,2]") << QStringLiteral("0 packages");
    QTest::newRow("name of the wrong type")
        << QByteArray(R"({"packages":[{"name":5}]})") << QStringLiteral("1 packages, '', no pin");
    QTest::newRow("whole pin") << withPin(pin, "123")
                               << QStringLiteral("1 packages, 'Corvane', 123");
    QTest::newRow("largest size a pin may give")
        << withPin(pin, "9007199254740991")
        << QStringLiteral("1 packages, 'Corvane', 9007199254740991");
    QTest::newRow("pin past the largest size")
        << withPin(pin, "9007199254740992") << QStringLiteral("1 packages, 'Corvane', no pin");
    QTest::newRow("pin with a short hash")
        << withPin(pin.left(62), "123") << QStringLiteral("1 packages, 'Corvane', no pin");
    QTest::newRow("pin with a negative size")
        << withPin(pin, "-1") << QStringLiteral("1 packages, 'Corvane', no pin");
    QTest::newRow("pin with its size as text")
        << withPin(pin, R"("123")") << QStringLiteral("1 packages, 'Corvane', no pin");
}

// The package model takes what the reader gives: a pin is used only whole, anything it cannot
// use reads as no pin, and only bytes that are no JSON are refused.
void TDocumentSchemaTest::readsMetadataAsLaunchersInTheFieldDo()
{
    QFETCH(QByteArray, json);
    QFETCH(QString, read);
    TMetadataDocument document;
    QString error;
    if (!TDocumentReader::read(json, document, &error)) {
        QVERIFY(!error.isEmpty());
        QCOMPARE(QStringLiteral("refused"), read);
        return;
    }
    QString summary = QStringLiteral("%1 packages").arg(document.packages.size());
    if (!document.packages.empty()) {
        const TMetadataPackage &first = document.packages.front();
        const bool pinned = !first.builds.empty() && !first.builds.front().packagePin.isEmpty();
        summary +=
            QStringLiteral(", '%1', %2")
                .arg(first.name, pinned ? QString::number(first.builds.front().packagePin.size)
                                        : QStringLiteral("no pin"));
    }
    QCOMPARE(summary, read);
}

QTEST_GUILESS_MAIN(TDocumentSchemaTest)
#include "tst_documentschema.moc"
