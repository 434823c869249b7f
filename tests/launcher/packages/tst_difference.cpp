#include "configuration/TLauncherFilesystemHelper.h"
#include "format/BlobContainer.h"
#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"
#include "packages/TDeltaBaseStaging.h"
#include "packages/TDifferenceComputation.h"
#include "support/TTmpfsMount.h"
#include "support/TestFiles.h"
#include "support/ThrownError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <QtConcurrent>

#include <atomic>
#include <random>

using namespace vorna::launcher;
using shared::EErrorCode;
using testsupport::thrownErrorCode;

namespace {

const QUrl base(QStringLiteral("http://127.0.0.1:1/client/"));

QByteArray randomBytes(qint64 Size, quint64 Seed)
{
    std::mt19937_64 generator(Seed);
    QByteArray data(int(Size), Qt::Uninitialized);
    for (qint64 i = 0; i + 8 <= Size; i += 8) {
        const quint64 value = generator();
        memcpy(data.data() + i, &value, 8);
    }
    return data;
}

QByteArray contentOf(const QString &Path)
{
    QFile file(Path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return file.readAll();
}

void writeTo(const QString &Path, const QByteArray &Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile file(Path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(Data), Data.size());
}

QString hex(const QByteArray &Data)
{
    return QString::fromLatin1(Data.toHex());
}

// Writes package documents the way the publisher does: one chunk object per distinct content,
// the files referring to them by index.
class TPackageDocument
{
public:
    // A file made of the given pieces, each one chunk.
    void addChunkedFile(const QString &Name, const QList<QByteArray> &Pieces,
                        bool WithWholeFileUrl = false)
    {
        QJsonArray indices;
        QByteArray content;
        for (const QByteArray &piece : Pieces) {
            indices.append(chunkIndex(piece));
            content += piece;
        }
        QJsonObject file = fileObject(Name, content, WithWholeFileUrl);
        file.insert(QStringLiteral("chunks"), indices);
        m_files.append(file);
    }
    // A file without chunk list; only its whole-file description, if any, can fetch it.
    void addPlainFile(const QString &Name, const QByteArray &Content, bool WithWholeFileUrl)
    {
        m_files.append(fileObject(Name, Content, WithWholeFileUrl));
    }

    // Offers a delta for the chunk Target against the chunks Base (its bytes do not matter here).
    void addDelta(const QByteArray &Target, const QList<QByteArray> &Base)
    {
        QJsonArray hashes;
        for (const QByteArray &piece : Base)
            hashes.append(hex(::shared::sha256(piece)));
        const int index = chunkIndex(Target);
        QJsonObject chunk = m_chunks.at(index).toObject();
        chunk.insert(QStringLiteral("deltas"),
                     QJsonArray{QJsonObject{
                         {QStringLiteral("url"),
                          QString(QStringLiteral("deltas/") + hex(::shared::sha256(Target)))},
                         {QStringLiteral("packedsize"), 10},
                         {QStringLiteral("packedhash"), hex(::shared::sha256(QByteArray("delta")))},
                         {QStringLiteral("basehash"), hex(::shared::sha256(Base.join()))},
                         {QStringLiteral("basesize"), double(Base.join().size())},
                         {QStringLiteral("base"), hashes}}});
        m_chunks.replace(index, chunk);
    }

    TPackageConfigurationReader reader() const
    {
        const QJsonObject document{{QStringLiteral("version"), QStringLiteral("1")},
                                   {QStringLiteral("chunks"), m_chunks},
                                   {QStringLiteral("files"), m_files}};
        return TPackageConfigurationReader(QJsonDocument(document).toJson(), QByteArray(), base,
                                           base);
    }

private:
    int chunkIndex(const QByteArray &Piece)
    {
        const QByteArray hash = ::shared::sha256(Piece);
        if (!m_indexByHash.contains(hash)) {
            m_indexByHash.insert(hash, m_chunks.size());
            m_chunks.append(chunkObject(Piece, QStringLiteral("chunks/") + hex(hash)));
        }
        return m_indexByHash.value(hash);
    }

    static QJsonObject chunkObject(const QByteArray &Content, const QString &Url)
    {
        const QByteArray packed = ::shared::encodeBlobContainer(Content, 0);
        return QJsonObject{{QStringLiteral("url"), Url},
                           {QStringLiteral("packedsize"), double(packed.size())},
                           {QStringLiteral("packedhash"), hex(::shared::sha256(packed))},
                           {QStringLiteral("unpackedsize"), double(Content.size())},
                           {QStringLiteral("unpackedhash"), hex(::shared::sha256(Content))}};
    }

    static QJsonObject fileObject(const QString &Name, const QByteArray &Content, bool WithUrl)
    {
        QJsonObject file =
            chunkObject(Content, WithUrl ? QStringLiteral("files/") + Name : QString());
        if (!WithUrl)
            file.remove(QStringLiteral("url"));
        file.insert(QStringLiteral("localfile"), Name);
        return file;
    }

    QJsonArray m_chunks;
    QJsonArray m_files;
    QHash<QByteArray, int> m_indexByHash;
};

// A file system helper that fails for one file name, standing for any fault inside a worker.
class TFailingFilesystemHelper final : public TLauncherFilesystemHelper
{
public:
    using TLauncherFilesystemHelper::TLauncherFilesystemHelper;
    QString filePathInDirectory(const QDir &Base, const QString &RelativePath) const override
    {
        // The first look-up sums the sizes before the workers start; the second is a worker's.
        if (RelativePath == QLatin1String("boom.bin") && m_boomLookups++ > 0)
            throw std::runtime_error("simulated failure");
        return TLauncherFilesystemHelper::filePathInDirectory(Base, RelativePath);
    }

private:
    mutable std::atomic<int> m_boomLookups{0};
};

// A file system that ignores letter case, as Windows does, whatever the test machine's does.
class TCaseInsensitiveFilesystemHelper final : public TLauncherFilesystemHelper
{
public:
    using TLauncherFilesystemHelper::TLauncherFilesystemHelper;
    Qt::CaseSensitivity fileNameCaseSensitivity(const QString &) const override
    {
        return Qt::CaseInsensitive;
    }
};

} // namespace

class TestDifference final : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void keepsMatchingSingleChunkFile();
    void rearrangesChunks_data();
    void rearrangesChunks();
    void downloadsWhatCannotBeReused_data();
    void downloadsWhatCannotBeReused();
    void fastScanTrustsRecordedChunks();
    void stagesDeltaBases_data();
    void stagesDeltaBases();
    void fastScanFallsBackToReading_data();
    void fastScanFallsBackToReading();
    void listsObsoleteFilesAndLeavesOthersAlone();
    void neverListsWhatACurrentEntryNames_data();
    void neverListsWhatACurrentEntryNames();
    void fileThatCannotBeWrittenFailsTheScan_data();
    void fileThatCannotBeWrittenFailsTheScan();
    void reportsProgressUpToTotal();
    void neverTouchesAnythingOutside();
    void scansEachFileOnce();
    void workerFailureEndsComputation();
    void singleThreadPoolDoesNotDeadlock();

private:
    TPackageDifference compute(const TPackageConfigurationReader &Remote,
                               const TPackageConfigurationReader &Local = {},
                               bool FastScan = false);
    QString path(const QString &Name) const { return m_directory->filePath(Name); }
    QByteArrayList pieces(const QList<int> &Indices) const
    {
        QByteArrayList list;
        for (const int index : Indices)
            list.append(m_pieces[index]);
        return list;
    }

    // Pieces of pseudo-random data exactly as the chunker cuts them; any sequence of them is cut
    // into the same pieces again.
    QList<QByteArray> m_pieces;
    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_directory;
    std::shared_ptr<TLauncherFilesystemHelper> m_helper;
};

void TestDifference::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    const QByteArray data = randomBytes(qint64(56) << 20, 7);
    const auto chunks = TContentDefinedChunker().chunkBuffer(data, false);
    // The last piece ends where the data ends, not at a cut point: it is not used.
    for (size_t i = 0; i + 1 < chunks.size(); ++i)
        m_pieces.append(data.mid(int(chunks[i].offset), int(chunks[i].length)));
    QVERIFY(m_pieces.size() >= 4);
    QVERIFY(m_pieces[0].size() != m_pieces[1].size());
    m_application = std::make_unique<QTemporaryDir>();
    m_helper = std::make_shared<TLauncherFilesystemHelper>(m_application->path());
}

void TestDifference::init()
{
    m_directory = std::make_unique<QTemporaryDir>();
    QVERIFY(m_directory->isValid());
}

TPackageDifference TestDifference::compute(const TPackageConfigurationReader &Remote,
                                           const TPackageConfigurationReader &Local, bool FastScan)
{
    return computeRequiredChanges(QDir(m_directory->path()), m_helper, Remote, Local, FastScan,
                                  nullptr);
}

void TestDifference::keepsMatchingSingleChunkFile()
{
    const QByteArray content = randomBytes(1000, 1);
    TPackageDocument remote;
    remote.addChunkedFile(QStringLiteral("small.bin"), {content});
    remote.addPlainFile(QStringLiteral("plain.bin"), content, false);
    writeTo(path(QStringLiteral("small.bin")), content);
    writeTo(path(QStringLiteral("plain.bin")), content);

    const TPackageDifference difference = compute(remote.reader());
    QVERIFY(difference.filesToDownload.empty());
    QVERIFY(difference.filesToDelete.empty());
    QCOMPARE(contentOf(path(QStringLiteral("small.bin"))), content);
}

void TestDifference::rearrangesChunks_data()
{
    QTest::addColumn<QList<int>>("local");
    QTest::addColumn<QList<int>>("remote");
    QTest::addColumn<QList<int>>("missing");

    QTest::newRow("all in place") << QList<int>{0, 1} << QList<int>{0, 1} << QList<int>{};
    QTest::newRow("swapped through temporary file")
        << QList<int>{0, 1} << QList<int>{1, 0} << QList<int>{};
    QTest::newRow("rotated three") << QList<int>{0, 1, 2} << QList<int>{2, 0, 1} << QList<int>{};
    QTest::newRow("one local chunk serves two")
        << QList<int>{0, 1} << QList<int>{0, 0, 1} << QList<int>{};
    QTest::newRow("one local chunk serves two elsewhere")
        << QList<int>{0, 1} << QList<int>{1, 1, 0} << QList<int>{};
    QTest::newRow("longer file truncated")
        << QList<int>{0, 1, 2} << QList<int>{0, 1} << QList<int>{};
    QTest::newRow("shifted by an inserted chunk")
        << QList<int>{0, 1} << QList<int>{2, 0, 1} << QList<int>{0};
    QTest::newRow("missing chunk in the middle")
        << QList<int>{0, 1} << QList<int>{0, 3, 1} << QList<int>{1};
    QTest::newRow("missing chunk beyond the end")
        << QList<int>{1, 0} << QList<int>{0, 1, 3} << QList<int>{2};
}

void TestDifference::rearrangesChunks()
{
    QFETCH(QList<int>, local);
    QFETCH(QList<int>, remote);
    QFETCH(QList<int>, missing);

    const QByteArray localContent = pieces(local).join();
    const QList<QByteArray> remotePieces = pieces(remote);
    writeTo(path(QStringLiteral("data/big.bin")), localContent);
    // Left by a launcher that was killed while rearranging.
    writeTo(path(QStringLiteral(".scan-Ab12Cd.tmp")), m_pieces[0]);
    TPackageDocument document;
    document.addChunkedFile(QStringLiteral("data/big.bin"), remotePieces);

    const TPackageDifference difference = compute(document.reader());
    const QByteArray result = contentOf(path(QStringLiteral("data/big.bin")));
    if (missing.isEmpty()) {
        QVERIFY(difference.filesToDownload.empty());
        QCOMPARE(result.size(), remotePieces.join().size());
        QVERIFY(result == remotePieces.join());
    } else {
        QCOMPARE(difference.filesToDownload.size(), size_t(1));
        const TFileToDownload &file = difference.filesToDownload.front();
        QCOMPARE(file.localFile, QStringLiteral("data/big.bin"));
        QCOMPARE(file.chunks.size(), size_t(remote.size()));
        QCOMPARE(QList<int>(file.chunkIndicesToDownload.begin(), file.chunkIndicesToDownload.end()),
                 missing);
        // Every chunk not listed lies at its target offset already.
        qint64 offset = 0;
        for (int i = 0; i < remote.size(); ++i) {
            if (!missing.contains(i))
                QVERIFY(result.mid(int(offset), remotePieces[i].size()) == remotePieces[i]);
            offset += remotePieces[i].size();
        }
        QVERIFY(result.size() <= offset);
    }
    // The temporary file is gone.
    QCOMPARE(
        QDir(m_directory->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList{QStringLiteral("data")});
}

void TestDifference::downloadsWhatCannotBeReused_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<bool>("wholeFileUrl");
    QTest::addColumn<int>("expectedChunks");

    QTest::newRow("chunks without reuse") << true << false << 2;
    QTest::newRow("chunks without reuse, whole-file url") << true << true << 1;
    QTest::newRow("single chunk mismatch") << false << false << 1;
    QTest::newRow("no chunks and no url fails the scan") << false << false << 0;
    QTest::newRow("no chunks, whole-file url") << false << true << 1;
}

void TestDifference::downloadsWhatCannotBeReused()
{
    QFETCH(bool, chunked);
    QFETCH(bool, wholeFileUrl);
    QFETCH(int, expectedChunks);

    TPackageDocument document;
    const QString name = QStringLiteral("file.bin");
    if (chunked)
        document.addChunkedFile(name, {m_pieces[2], m_pieces[3]}, wholeFileUrl);
    else if (expectedChunks == 1 && !wholeFileUrl)
        document.addChunkedFile(name, {randomBytes(5000, 3)});
    else
        document.addPlainFile(name, randomBytes(5000, 3), wholeFileUrl);
    writeTo(path(name), m_pieces[0] + m_pieces[1]);

    if (expectedChunks == 0) {
        // Nothing can build the file: the scan fails instead of deleting it and reporting the
        // package as complete without it.
        QCOMPARE(thrownErrorCode([&] { compute(document.reader()); }), EErrorCode::ScanFailed);
        QVERIFY(QFileInfo::exists(path(name)));
        return;
    }
    const TPackageDifference difference = compute(document.reader());
    QVERIFY(!QFileInfo::exists(path(name)));
    QCOMPARE(difference.filesToDownload.size(), size_t(1));
    const TFileToDownload &file = difference.filesToDownload.front();
    QCOMPARE(file.chunks.size(), size_t(expectedChunks));
    QCOMPARE(file.chunkIndicesToDownload.size(), size_t(expectedChunks));
    QCOMPARE(file.chunkIndicesToDownload.back(), expectedChunks - 1);
    if (wholeFileUrl)
        QCOMPARE(file.chunks.front().url, base.resolved(QUrl(QStringLiteral("files/file.bin"))));
    QVERIFY(file.patches.empty());
}

void TestDifference::fastScanTrustsRecordedChunks()
{
    // The recorded chunks say the file holds pieces 0 and 1; its bytes are never read, so the
    // zeros on disk are taken for them.
    TPackageDocument document;
    document.addChunkedFile(QStringLiteral("big.bin"), {m_pieces[0], m_pieces[1]});
    writeTo(path(QStringLiteral("big.bin")),
            QByteArray(m_pieces[0].size() + m_pieces[1].size(), '\0'));

    QVERIFY(compute(document.reader(), document.reader(), true).filesToDownload.empty());
    QCOMPARE(compute(document.reader(), document.reader(), false).filesToDownload.size(),
             size_t(1));
}

void TestDifference::stagesDeltaBases_data()
{
    QTest::addColumn<QList<int>>("local");
    QTest::addColumn<bool>("changedWhole"); // else the last chunk changed, the first kept
    QTest::addColumn<QList<int>>("base");
    QTest::addColumn<bool>("fastScanOverZeros");
    QTest::addColumn<bool>("stagingIsLink"); // a link to a directory outside in its place
    QTest::addColumn<QString>("situation");  // "", "rescan" or "tight disk"
    QTest::addColumn<bool>("planned");
    QTest::addColumn<QList<int>>("staged"); // what of the base is copied into staging

    const QString none;
    QTest::newRow("changed chunk beside a reused one")
        << QList<int>{0, 1} << false << QList<int>{1} << false << false << none << true
        << QList<int>{1};
    QTest::newRow("base of two old chunks") << QList<int>{0, 1} << true << QList<int>{0, 1} << false
                                            << false << none << true << QList<int>{0, 1};
    QTest::newRow("small file") << QList<int>{-1} << true << QList<int>{-1} << false << false
                                << none << true << QList<int>{-1};
    QTest::newRow("base not on disk") << QList<int>{0, 1} << false << QList<int>{2} << false
                                      << false << none << false << QList<int>{};
    QTest::newRow("recorded chunks that are not on disk")
        << QList<int>{0, 1} << false << QList<int>{1} << true << false << none << false
        << QList<int>{};
    QTest::newRow("link in place of the staging directory")
        << QList<int>{0, 1} << false << QList<int>{1} << false << true << none << true
        << QList<int>{1};
    QTest::newRow("base chunk the update keeps is read from the file")
        << QList<int>{0, 1} << false << QList<int>{0, 1} << false << false << none << true
        << QList<int>{1};
    QTest::newRow("staged base outlives the deleted file")
        << QList<int>{0, 1} << true << QList<int>{0, 1} << false << false
        << QStringLiteral("rescan") << true << QList<int>{0, 1};
    QTest::newRow("base that does not fit the disk is not staged")
        << QList<int>{0, 1} << false << QList<int>{1} << false << false
        << QStringLiteral("tight disk") << false << QList<int>{};
}

void TestDifference::stagesDeltaBases()
{
    QFETCH(QList<int>, local);
    QFETCH(bool, changedWhole);
    QFETCH(QList<int>, base);
    QFETCH(bool, fastScanOverZeros);
    QFETCH(bool, stagingIsLink);
    QFETCH(QString, situation);
    QFETCH(bool, planned);
    QFETCH(QList<int>, staged);

    // Piece -1 is a small file's content.
    const QByteArray small = randomBytes(3000, 9);
    const auto pieceOf = [&](int Index) { return Index < 0 ? small : m_pieces[Index]; };
    QByteArray content;
    TPackageDocument old;
    QList<QByteArray> oldPieces;
    for (const int piece : local) {
        content += pieceOf(piece);
        oldPieces.append(pieceOf(piece));
    }
    old.addChunkedFile(QStringLiteral("big.bin"), oldPieces);
    // Room for the file, the margin the update keeps, and a little less than a base chunk.
    testsupport::TTmpfsMount disk;
    if (situation == QStringLiteral("tight disk") &&
        !disk.mount(m_directory->path(), (qint64(33) << 20) + content.size()))
        QSKIP(qPrintable(disk.errorText()));
    writeTo(path(QStringLiteral("big.bin")),
            fastScanOverZeros ? QByteArray(content.size(), '\0') : content);

    QByteArray changed = oldPieces.last();
    changed[5] = char(changed.at(5) ^ 1);
    const QList<QByteArray> remotePieces =
        changedWhole ? QList<QByteArray>{changed} : QList<QByteArray>{oldPieces.first(), changed};
    QList<QByteArray> basePieces;
    for (const int piece : base)
        basePieces.append(pieceOf(piece));
    TPackageDocument remote;
    remote.addChunkedFile(QStringLiteral("big.bin"), remotePieces);
    remote.addDelta(changed, basePieces);

    QTemporaryDir outside;
    if (stagingIsLink)
        LINK_OR_SKIP(outside.path(), path(QStringLiteral(".corvane-delta-bases")));
    TPackageDifference difference = compute(remote.reader(), old.reader(), fastScanOverZeros);
    // A launcher ended after the scan: the next one scans what the first left.
    if (situation == QStringLiteral("rescan"))
        difference = compute(remote.reader(), old.reader());
    QVERIFY(QDir(outside.path()).isEmpty());
    QCOMPARE(difference.filesToDownload.size(), size_t(1));
    const TFileToDownload &file = difference.filesToDownload.front();
    QCOMPARE(file.plannedDeltas.size(), size_t(planned ? 1 : 0));
    quint64 stagedSize = 0;
    for (const int piece : staged)
        stagedSize += quint64(pieceOf(piece).size());
    // Each base chunk once, only what the file will not hold any more.
    QCOMPARE(TDeltaBaseStaging::stagingBytes(difference), stagedSize);
    if (!planned)
        return;
    const TPlannedDelta &plan = file.plannedDeltas.front();
    QCOMPARE(plan.chunkIndex, qint32(remotePieces.size() - 1));
    QCOMPARE(plan.chunkIndex, file.chunkIndicesToDownload.back());
    // The base survives the rearrangement or deletion of the file it came from.
    QCOMPARE(TDeltaBaseStaging::readBase(plan), basePieces.join());
    for (const TBasePiece &piece : plan.basePieces)
        QVERIFY(QFileInfo(piece.path).absolutePath().startsWith(m_directory->path()));
}

void TestDifference::fastScanFallsBackToReading_data()
{
    QTest::addColumn<bool>("singleRecordedChunk");

    QTest::newRow("fewer than 2 recorded chunks") << true;
    QTest::newRow("size differs from the record") << false;
}

void TestDifference::fastScanFallsBackToReading()
{
    QFETCH(bool, singleRecordedChunk);

    TPackageDocument local;
    if (singleRecordedChunk)
        local.addChunkedFile(QStringLiteral("big.bin"), {m_pieces[0] + m_pieces[1]});
    else
        local.addChunkedFile(QStringLiteral("big.bin"), {m_pieces[0], m_pieces[1], m_pieces[2]});
    writeTo(path(QStringLiteral("big.bin")), m_pieces[0] + m_pieces[1]);
    TPackageDocument remote;
    remote.addChunkedFile(QStringLiteral("big.bin"), {m_pieces[1], m_pieces[0], m_pieces[2]});

    const TPackageDifference difference = compute(remote.reader(), local.reader(), true);
    QCOMPARE(difference.filesToDownload.size(), size_t(1));
    QCOMPARE(difference.filesToDownload.front().chunkIndicesToDownload, std::vector<qint32>{2});
    QVERIFY(contentOf(path(QStringLiteral("big.bin"))) == m_pieces[1] + m_pieces[0]);
}

void TestDifference::listsObsoleteFilesAndLeavesOthersAlone()
{
    const QByteArray kept = randomBytes(100, 4);
    TPackageDocument local;
    local.addChunkedFile(QStringLiteral("old.bin"), {randomBytes(64, 5)});
    local.addChunkedFile(QStringLiteral("kept.bin"), {kept});
    TPackageDocument remote;
    remote.addChunkedFile(QStringLiteral("kept.bin"), {kept});
    writeTo(path(QStringLiteral("old.bin")), randomBytes(64, 5));
    writeTo(path(QStringLiteral("kept.bin")), kept);
    writeTo(path(QStringLiteral("settings/user.cfg")), QByteArray("mine"));

    const TPackageDifference difference = compute(remote.reader(), local.reader());
    QVERIFY(difference.filesToDownload.empty());
    QCOMPARE(difference.filesToDelete.size(), size_t(1));
    QCOMPARE(difference.filesToDelete.front().localFile, QStringLiteral("old.bin"));
    // Deleting is the installation's job.
    QVERIFY(QFileInfo::exists(path(QStringLiteral("old.bin"))));
    QCOMPARE(contentOf(path(QStringLiteral("settings/user.cfg"))), QByteArray("mine"));

    QVERIFY(compute(remote.reader()).filesToDelete.empty());
}

void TestDifference::neverListsWhatACurrentEntryNames_data()
{
    QTest::addColumn<QString>("localName");
    QTest::addColumn<QString>("remoteName");
    QTest::addColumn<bool>("caseInsensitive");
    QTest::addColumn<bool>("obsolete");
    QTest::addColumn<bool>("refused");
    // What lies on disk: the remote file (false) or the local one, still in its old place.
    QTest::addColumn<bool>("localOnDisk");

    QTest::newRow("./b beside b") << "./b"
                                  << "b" << false << false << false << false;
    QTest::newRow("case-only rename where case is ignored")
        << "Data.pak"
        << "data.pak" << true << false << false << false;
    QTest::newRow("case-only rename where case counts")
        << "Data.pak"
        << "data.pak" << false << true << false << false;
    QTest::newRow("directory of a current file")
        << "sub"
        << "sub/file.bin" << false << false << false << false;
    QTest::newRow("directory of a current file by case")
        << "SUB"
        << "sub/f" << true << false << false << false;
    QTest::newRow("name sharing a prefix") << "sub"
                                           << "sub-file.bin" << false << true << false << false;
    QTest::newRow("package file in the delta staging directory")
        << "a"
        << "./.corvane-delta-bases/x" << false << false << true << false;
    QTest::newRow("delta staging directory by case where case is ignored")
        << "a"
        << ".Corvane-Delta-Bases/x" << true << false << true << false;
    QTest::newRow("delta staging name in another case where case counts")
        << "a"
        << ".Corvane-Delta-Bases/x" << false << true << false << false;
    QTest::newRow("file that becomes a directory")
        << "sub"
        << "sub/file.bin" << false << true << false << true;
}

void TestDifference::neverListsWhatACurrentEntryNames()
{
    QFETCH(QString, localName);
    QFETCH(QString, remoteName);
    QFETCH(bool, caseInsensitive);
    QFETCH(bool, obsolete);
    QFETCH(bool, refused);
    QFETCH(bool, localOnDisk);

    if (!caseInsensitive &&
        m_helper->fileNameCaseSensitivity(m_directory->path()) == Qt::CaseInsensitive)
        QSKIP("names that differ in case only are one file on this file system");
    const QByteArray content = randomBytes(100, 4);
    TPackageDocument local;
    local.addChunkedFile(localName, {content});
    TPackageDocument remote;
    remote.addChunkedFile(remoteName, {content});
    writeTo(path(localOnDisk ? localName : remoteName), content);
    const std::shared_ptr<TLauncherFilesystemHelper> helper =
        caseInsensitive ? std::make_shared<TCaseInsensitiveFilesystemHelper>(m_application->path())
                        : m_helper;

    if (refused) {
        // Its content would be taken for staged bases and deleted after the next update.
        QCOMPARE(thrownErrorCode([&] {
                     computeRequiredChanges(QDir(m_directory->path()), helper, remote.reader(),
                                            local.reader(), false, nullptr);
                 }),
                 EErrorCode::InvalidPackage);
        QCOMPARE(contentOf(path(remoteName)), content);
        return;
    }
    const TPackageDifference difference = computeRequiredChanges(
        QDir(m_directory->path()), helper, remote.reader(), local.reader(), false, nullptr);
    QCOMPARE(difference.filesToDelete.size(), size_t(obsolete ? 1 : 0));
    QCOMPARE(difference.filesToDownload.empty(), !localOnDisk);
}

void TestDifference::fileThatCannotBeWrittenFailsTheScan_data()
{
    QTest::addColumn<QList<int>>("local");
    QTest::addColumn<QList<int>>("remote");

    QTest::newRow("longer file cannot be truncated") << QList<int>{0, 1, 2} << QList<int>{0, 1};
    QTest::newRow("chunk cannot be moved") << QList<int>{0, 1} << QList<int>{1, 0};
}

void TestDifference::fileThatCannotBeWrittenFailsTheScan()
{
    QFETCH(QList<int>, local);
    QFETCH(QList<int>, remote);

    // A file that the launcher may read but not write (read-only, or mapped by a running client
    // on Windows): root writes any file whatever its permissions, so it lies on a read-only mount.
    testsupport::TTmpfsMount disk;
    if (!disk.mount(path(QStringLiteral("data")), qint64(256) << 20))
        QSKIP(qPrintable(disk.errorText()));
    const QByteArray localContent = pieces(local).join();
    const QList<QByteArray> remotePieces = pieces(remote);
    writeTo(path(QStringLiteral("data/big.bin")), localContent);
    QVERIFY2(disk.setReadOnly(true), qPrintable(disk.errorText()));
    TPackageDocument document;
    document.addChunkedFile(QStringLiteral("data/big.bin"), remotePieces);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("data/big.bin")));
    try {
        compute(document.reader());
        QFAIL("the scan reported success for a file it could not change");
    } catch (const std::runtime_error &error) {
        QVERIFY2(QString::fromUtf8(error.what()).contains(path(QStringLiteral("data/big.bin"))),
                 error.what());
        QCOMPARE(shared::errorOf(error).code, EErrorCode::ScanFailed);
    }
}

void TestDifference::reportsProgressUpToTotal()
{
    TPackageDocument document;
    for (int i = 0; i < 10; ++i) {
        const QByteArray content = randomBytes(1000 * (i + 1), quint64(10 + i));
        const QString name = QStringLiteral("f%1.bin").arg(i);
        document.addChunkedFile(name, {content});
        writeTo(path(name), i % 2 ? content : content.left(10));
    }
    document.addChunkedFile(QStringLiteral("big.bin"), {m_pieces[0], m_pieces[1]});
    writeTo(path(QStringLiteral("big.bin")), m_pieces[1] + m_pieces[0]);

    QMutex mutex;
    QList<QPair<TFileSize, TFileSize>> reports;
    const TPackageDifference difference =
        computeRequiredChanges(QDir(m_directory->path()), m_helper, document.reader(), {}, false,
                               [&](TFileSize Scanned, TFileSize Total) {
                                   const QMutexLocker locker(&mutex);
                                   reports.append({Scanned, Total});
                               });
    QCOMPARE(difference.filesToDownload.size(), size_t(5));
    QVERIFY(!reports.isEmpty());
    for (int i = 1; i < reports.size(); ++i)
        QVERIFY(reports[i].first >= reports[i - 1].first);
    QCOMPARE(reports.last().first, reports.last().second);
}

void TestDifference::neverTouchesAnythingOutside()
{
    QTemporaryDir outside;
    const QByteArray precious = m_pieces[0] + m_pieces[1];
    writeTo(outside.filePath(QStringLiteral("big.bin")), precious);
    writeTo(outside.filePath(QStringLiteral("small.bin")), QByteArray("outside"));
    LINK_OR_SKIP(outside.filePath(QStringLiteral("small.bin")), path(QStringLiteral("link.bin")));
    LINK_OR_SKIP(outside.path(), path(QStringLiteral("linked")));

    TPackageDocument document;
    // Reusable pieces behind a linked directory, and names that climb out.
    document.addChunkedFile(QStringLiteral("linked/big.bin"), {m_pieces[1], m_pieces[0]});
    document.addChunkedFile(QStringLiteral("link.bin"), {QByteArray("new content")});
    document.addChunkedFile(QStringLiteral("../small.bin"), {QByteArray("other")});
    document.addChunkedFile(QStringLiteral(".."), {QByteArray("other")});

    const TPackageDifference difference = compute(document.reader());
    QCOMPARE(difference.filesToDownload.size(), size_t(4));
    for (const TFileToDownload &file : difference.filesToDownload)
        QCOMPARE(file.chunkIndicesToDownload.size(), file.chunks.size());
    QVERIFY(contentOf(outside.filePath(QStringLiteral("big.bin"))) == precious);
    QCOMPARE(contentOf(outside.filePath(QStringLiteral("small.bin"))), QByteArray("outside"));
    // The link itself is gone so that the download writes a file of its own.
    QVERIFY(!QFileInfo(path(QStringLiteral("link.bin"))).isSymLink());
    QVERIFY(QFileInfo::exists(m_directory->path()));
}

void TestDifference::scansEachFileOnce()
{
    // Two entries for one file would have two workers rearranging it at the same time.
    TPackageDocument document;
    document.addChunkedFile(QStringLiteral("dup.bin"), {m_pieces[1], m_pieces[0]});
    document.addChunkedFile(QStringLiteral("sub/../dup.bin"), {m_pieces[0], m_pieces[2]});
    writeTo(path(QStringLiteral("dup.bin")), m_pieces[0] + m_pieces[1]);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("duplicate file entry")));
    const TPackageDifference difference = compute(document.reader());
    QVERIFY(difference.filesToDownload.empty());
    QVERIFY(contentOf(path(QStringLiteral("dup.bin"))) == m_pieces[1] + m_pieces[0]);
}

void TestDifference::workerFailureEndsComputation()
{
    TPackageDocument document;
    for (int i = 0; i < 20; ++i)
        document.addChunkedFile(QStringLiteral("f%1.bin").arg(i), {randomBytes(64, quint64(i))});
    document.addChunkedFile(QStringLiteral("boom.bin"), {randomBytes(64, 99)});
    const auto helper = std::make_shared<TFailingFilesystemHelper>(m_application->path());

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("simulated failure")));
    QCOMPARE(thrownErrorCode([&] {
                 computeRequiredChanges(QDir(m_directory->path()), helper, document.reader(), {},
                                        false, nullptr);
             }),
             EErrorCode::ScanFailed);
}

void TestDifference::singleThreadPoolDoesNotDeadlock()
{
    TPackageDocument document;
    for (int i = 0; i < 12; ++i) {
        const QByteArray content = randomBytes(64, quint64(i));
        document.addChunkedFile(QStringLiteral("f%1.bin").arg(i), {content});
        if (i % 3)
            writeTo(path(QStringLiteral("f%1.bin").arg(i)), content);
    }
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    pool->setMaxThreadCount(1);
    const QDir directory(m_directory->path());
    const auto helper = m_helper;
    const TPackageConfigurationReader remote = document.reader();
    QFutureWatcher<TPackageDifference> watcher;
    QSignalSpy finished(&watcher, &QFutureWatcher<TPackageDifference>::finished);
    watcher.setFuture(QtConcurrent::run([directory, helper, remote] {
        return computeRequiredChanges(directory, helper, remote, {}, false, nullptr);
    }));
    const bool done = finished.wait(60000);
    pool->setMaxThreadCount(threads);
    QVERIFY(done);
    QCOMPARE(watcher.result().filesToDownload.size(), size_t(4));
}

QTEST_GUILESS_MAIN(TestDifference)
#include "tst_difference.moc"
