#include "configuration/TLauncherFilesystemHelper.h"
#include "download/PackRanges.h"
#include "download/TPackageFileDownloader.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TDownloadPool.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

using namespace vorna::launcher;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;
using TFault = TTestHttpServer::TFault;
using EPacking = TTestPackageBuilder::EPacking;

Q_DECLARE_METATYPE(EPacking)

namespace {

QByteArray readAll(const QString &Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

QByteArray piece(char Fill, int Size)
{
    QByteArray Bytes = TTestPackageBuilder::compressibleBytes(Size, quint32(Fill));
    Bytes[0] = Fill;
    return Bytes;
}

// A slow disk: deleting a file takes half a second, so saves fall behind the downloads.
class TSlowDeletingHelper final : public TLauncherFilesystemHelper
{
public:
    using TLauncherFilesystemHelper::TLauncherFilesystemHelper;
    bool deleteFile(const QString &Path) const override
    {
        QThread::msleep(500);
        return TLauncherFilesystemHelper::deleteFile(Path);
    }
};

} // namespace

class TPackageFileDownloaderTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();

    void freshDownload_data();
    void freshDownload();
    void sharedContentIsDownloadedOnce();
    void thirdChunkArrivingFirst_data();
    void thirdChunkArrivingFirst();
    void failuresAndRetries_data();
    void failuresAndRetries();
    void failedSaveReportsSavingOperationFailed();
    void fileLeftUnwrittenIsNoSuccess();
    void deltaProgressAndFallback_data();
    void deltaProgressAndFallback();
    void coalescesPackRanges_data();
    void coalescesPackRanges();
    void packRangesAndFallbacks_data();
    void packRangesAndFallbacks();
    void oneAtATimeInPriorityOrder();
    void startWithoutChunksStaysSilent();
    void runningStatistics();

private:
    void makeHelper(const QByteArray &SettingsLines);
    std::unique_ptr<TPackageFileDownloader> makeDownloader();
    // Runs the downloader to its final signal; returns -1 for downloadCompleted, else the reason.
    int run(TPackageFileDownloader &Downloader, const std::vector<TFileToDownload> &Files);
    QString target(const QString &LocalFile) const
    {
        return QDir(m_installation->path()).filePath(LocalFile);
    }

    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_installation;
    std::shared_ptr<TLauncherFilesystemHelper> m_helper;
    std::unique_ptr<TTestHttpServer> m_server;
    std::unique_ptr<TTestPackageBuilder> m_package;
    std::shared_ptr<shared::TDownloadPool> m_pool;
};

void TPackageFileDownloaderTest::init()
{
    m_application = std::make_unique<QTemporaryDir>();
    m_installation = std::make_unique<QTemporaryDir>();
    m_server = std::make_unique<TTestHttpServer>();
    m_package = std::make_unique<TTestPackageBuilder>(*m_server);
    makeHelper(QByteArray());
}

void TPackageFileDownloaderTest::makeHelper(const QByteArray &SettingsLines)
{
    if (!SettingsLines.isEmpty()) {
        QFile Settings(
            QDir(m_application->path()).filePath(QStringLiteral("launchersettings.ini")));
        QVERIFY(Settings.open(QIODevice::WriteOnly));
        Settings.write(SettingsLines);
    }
    m_helper = std::make_shared<TLauncherFilesystemHelper>(m_application->path());
}

std::unique_ptr<TPackageFileDownloader> TPackageFileDownloaderTest::makeDownloader()
{
    m_pool = std::make_shared<shared::TDownloadPool>(
        m_helper->settings()->maxConcurrentDownloads,
        std::make_shared<shared::QNetworkAccessManagerWrapper>(
            std::make_shared<QNetworkAccessManager>()),
        nullptr, false);
    auto Downloader = std::make_unique<TPackageFileDownloader>(m_pool, m_helper);
    Downloader->setTargetDirectory(QDir(m_installation->path()));
    return Downloader;
}

int TPackageFileDownloaderTest::run(TPackageFileDownloader &Downloader,
                                    const std::vector<TFileToDownload> &Files)
{
    QSignalSpy Completed(&Downloader, &TPackageFileDownloader::downloadCompleted);
    QSignalSpy Failed(&Downloader, &TPackageFileDownloader::downloadFailed);
    Downloader.prepare(Files);
    Downloader.start();
    if (!QTest::qWaitFor([&] { return Completed.size() + Failed.size() > 0; }, 60000))
        return -2;
    // Exactly one final signal, even when late reports still arrive.
    QTest::qWait(50);
    if (Completed.size() + Failed.size() != 1)
        return -3;
    return Completed.isEmpty() ? int(Failed.first().first().value<EPackageDownloaderError>()) : -1;
}

void TPackageFileDownloaderTest::freshDownload_data()
{
    QTest::addColumn<EPacking>("packing");
    QTest::addColumn<QByteArray>("settings");
    QTest::addColumn<bool>("packed");
    QTest::newRow("lzma") << EPacking::Lzma << QByteArray() << false;
    QTest::newRow("stored containers") << EPacking::Stored << QByteArray() << false;
    QTest::newRow("plain chunks") << EPacking::Plain << QByteArray() << false;
    QTest::newRow("one download at a time")
        << EPacking::Lzma << QByteArray("[OPTIONS]\nmaxConcurrentDownloads=1\n") << false;
    QTest::newRow("maxCachedChunks 0")
        << EPacking::Lzma << QByteArray("[OPTIONS]\nmaxCachedChunks=0\n") << false;
    QTest::newRow("packed: one range request") << EPacking::Lzma << QByteArray() << true;
    QTest::newRow("packed, plain chunks") << EPacking::Plain << QByteArray() << true;
}

void TPackageFileDownloaderTest::freshDownload()
{
    QFETCH(EPacking, packing);
    QFETCH(QByteArray, settings);
    QFETCH(bool, packed);
    makeHelper(settings);
    m_package->setPacking(packing);
    const QByteArray Client = piece('c', 5000) + piece('d', 7000) + piece('e', 3000);
    const QByteArray Data = TTestPackageBuilder::randomBytes(20000, 7);
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Client, true,
                       {5000, 7000, 3000});
    m_package->addFile(QStringLiteral("data/a.pak"), Data, false, {8000, 8000, 4000});
    m_package->addFile(QStringLiteral("readme.txt"), "hello", false, {5});
    if (packed)
        m_package->packAll();

    auto Downloader = makeDownloader();
    QSignalSpy Progress(Downloader.get(), &TPackageFileDownloader::progress);
    QCOMPARE(run(*Downloader, m_package->allMissing()), -1);
    QCOMPARE(readAll(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), Client);
    QCOMPARE(readAll(target(QStringLiteral("data/a.pak"))), Data);
    QCOMPARE(readAll(target(QStringLiteral("readme.txt"))), QByteArray("hello"));
    QVERIFY(QFile::permissions(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))) &
            QFileDevice::ExeOther);
    QVERIFY(!(QFile::permissions(target(QStringLiteral("readme.txt"))) & QFileDevice::ExeOwner));
    QCOMPARE(m_server->requests().size(), packed ? 1 : m_package->chunkCount());

    // The last progress report carries the totals.
    QVERIFY(!Progress.isEmpty());
    const auto Last = Progress.last();
    QCOMPARE(Last.at(0).value<TFileSize>(), Last.at(1).value<TFileSize>());
    QCOMPARE(Last.at(2).value<TFileSize>(), TFileSize(Client.size() + Data.size() + 5));
    QCOMPARE(Last.at(3).value<TFileSize>(), TFileSize(Client.size() + Data.size() + 5));
    QCOMPARE(Downloader->downloadStatistics().count, quint64(0));
    QCOMPARE(Downloader->pendingChunks().pendingChunkCount(), 0);
    QCOMPARE(m_pool->activeDownloads(), 0);
}

void TPackageFileDownloaderTest::sharedContentIsDownloadedOnce()
{
    const QByteArray Common = piece('s', 4000), X = piece('x', 1000), Y = piece('y', 2000);
    m_package->addFile(QStringLiteral("one"), Common + X + Common, false, {4000, 1000, 4000});
    m_package->addFile(QStringLiteral("two"), Y + Common, false, {2000, 4000});
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, m_package->allMissing()), -1);
    QCOMPARE(readAll(target(QStringLiteral("one"))), Common + X + Common);
    QCOMPARE(readAll(target(QStringLiteral("two"))), Y + Common);
    QCOMPARE(m_server->requestCount(m_package->chunkPath(Common)), 1);
    QCOMPARE(Downloader->allChunks().size(), std::size_t(3));
    QCOMPARE(Downloader->pendingChunks().pendingChunkCount(), 0);
    QCOMPARE(Downloader->pendingChunks().cachedChunkCount(), 0);
}

void TPackageFileDownloaderTest::thirdChunkArrivingFirst_data()
{
    QTest::addColumn<QByteArray>("settings");
    QTest::newRow("cached in memory") << QByteArray();
    QTest::newRow("maxCachedChunks 0") << QByteArray("[OPTIONS]\nmaxCachedChunks=0\n");
}

void TPackageFileDownloaderTest::thirdChunkArrivingFirst()
{
    QFETCH(QByteArray, settings);
    makeHelper(settings);
    std::vector<QByteArray> Pieces;
    QByteArray Content;
    for (int Index = 0; Index < 5; ++Index) {
        Pieces.push_back(piece(char('k' + Index), 3000 + Index));
        Content += Pieces.back();
    }
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), Content, true,
                       {3000, 3001, 3002, 3003, 3004});
    // The first two places arrive last, the first one very last.
    m_server->setFault(m_package->chunkPath(Pieces[0]), TFault::delay(400));
    m_server->setFault(m_package->chunkPath(Pieces[1]), TFault::delay(250));
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QStringLiteral("Wait for chunk")));
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, m_package->allMissing()), -1);
    QCOMPARE(readAll(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), Content);
    QCOMPARE(m_server->requests().size(), 5);
    QCOMPARE(Downloader->pendingChunks().pendingChunkCount(), 0);
}

void TPackageFileDownloaderTest::failuresAndRetries_data()
{
    QTest::addColumn<TFault>("fault");
    QTest::addColumn<int>("expectedRequests");
    QTest::addColumn<int>("expectedResult");
    // Added to the packedsize the document gives for the chunk.
    QTest::addColumn<int>("packedSizeError");

    const int Completed = -1;
    const int DownloadFailed = int(EPackageDownloaderError::DownloadFailed);
    TFault Twice500 = TFault::status(500);
    Twice500.times = 2;
    QTest::newRow("500 twice, then served") << Twice500 << 3 << Completed << 0;
    TFault Dropped = TFault::closeAfter(10);
    Dropped.times = 3;
    QTest::newRow("dropped connection three times") << Dropped << 4 << Completed << 0;
    QTest::newRow("500 for ever: four tries") << TFault::status(500) << 4 << DownloadFailed << 0;
    TFault CorruptOnce = TFault::replaceBody(QByteArray("not the chunk"));
    CorruptOnce.times = 1;
    QTest::newRow("corrupt once, then served") << CorruptOnce << 2 << Completed << 0;
    QTest::newRow("corrupt chunk: four tries")
        << TFault::replaceBody(QByteArray("not the chunk")) << 4 << DownloadFailed << 0;
    QByteArray BrokenContainer("\x70\x05", 2);
    BrokenContainer += QByteArray("\x10\x20", 2) + QByteArray(32, '\x5d');
    QTest::newRow("undecodable container: no retry")
        << TFault::replaceBody(BrokenContainer) << 1 << DownloadFailed << 0;
    QTest::newRow("packedsize a few bytes short") << TFault() << 1 << Completed << -5;
}

void TPackageFileDownloaderTest::failuresAndRetries()
{
    QFETCH(TFault, fault);
    QFETCH(int, expectedRequests);
    QFETCH(int, expectedResult);
    QFETCH(int, packedSizeError);
    const QByteArray Good = piece('g', 5000), Bad = piece('b', 6000);
    m_package->addFile(QStringLiteral("good"), Good, false, {5000});
    m_package->addFile(QStringLiteral("bad"), Bad, false, {6000});
    m_server->setFault(m_package->chunkPath(Bad), fault);

    std::vector<TFileToDownload> Files = m_package->allMissing();
    for (TFileToDownload &File : Files) {
        if (File.localFile == QStringLiteral("bad"))
            File.chunks[0].packedSize += packedSizeError;
    }
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, Files), expectedResult);
    QCOMPARE(m_server->requestCount(m_package->chunkPath(Bad)), expectedRequests);
    // The other chunks go on regardless.
    QCOMPARE(readAll(target(QStringLiteral("good"))), Good);
    QCOMPARE(m_pool->activeDownloads(), 0);
    if (expectedResult == -1)
        QCOMPARE(readAll(target(QStringLiteral("bad"))), Bad);
}

void TPackageFileDownloaderTest::failedSaveReportsSavingOperationFailed()
{
    QFile Blocker(target(QStringLiteral("data")));
    QVERIFY(Blocker.open(QIODevice::WriteOnly));
    Blocker.close();
    const QByteArray A = piece('a', 1000), B = piece('b', 1000);
    m_package->addFile(QStringLiteral("data/inside.pak"), A, false, {1000});
    m_package->addFile(QStringLiteral("other.pak"), B, false, {1000});
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, m_package->allMissing()),
             int(EPackageDownloaderError::SavingOperationFailed));
    // A failed save is not retried.
    QCOMPARE(m_server->requestCount(m_package->chunkPath(A)), 1);
    QCOMPARE(readAll(target(QStringLiteral("other.pak"))), B);
}

void TPackageFileDownloaderTest::fileLeftUnwrittenIsNoSuccess()
{
    // One address given for two contents: its one download can only serve one of the files.
    const QByteArray A = piece('a', 1000), B = piece('b', 1000);
    m_package->addFile(QStringLiteral("a.pak"), A, false, {1000});
    m_package->addFile(QStringLiteral("b.pak"), B, false, {1000});
    std::vector<TFileToDownload> Files = m_package->allMissing();
    Files[1].chunks[0].url = Files[0].chunks[0].url;
    auto Downloader = makeDownloader();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(QStringLiteral("b.pak")));
    QCOMPARE(run(*Downloader, Files), int(EPackageDownloaderError::SavingOperationFailed));
    QCOMPARE(readAll(target(QStringLiteral("a.pak"))), A);
}

void TPackageFileDownloaderTest::deltaProgressAndFallback_data()
{
    QTest::addColumn<TFault>("fault");
    QTest::addColumn<bool>("fallsBack");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<bool>("packed");
    QTest::newRow("delta applied") << TFault() << false << 1 << false;
    QTest::newRow("delta 404") << TFault::status(404) << true << 1 << false;
    QTest::newRow("delta cut short") << TFault::closeAfter(10) << true << 1 << false;
    QTest::newRow("delta stalls: chunk after the deadline") << TFault::hang() << true << 1 << false;
    QTest::newRow("delta trickles: chunk after the deadline")
        << TFault::trickle(1, 100) << true << 1 << false;
    // Built chunks keep their slots until saved: memory stays bounded by the download limit.
    QTest::newRow("many tiny deltas stay within the download slots")
        << TFault() << false << 60 << false;
    QTest::newRow("deltas from a pack, one range request") << TFault() << false << 3 << true;
}

void TPackageFileDownloaderTest::deltaProgressAndFallback()
{
    QFETCH(TFault, fault);
    QFETCH(bool, fallsBack);
    QFETCH(int, chunks);
    QFETCH(bool, packed);
    makeHelper("[OPTIONS]\nmaxConcurrentDownloads=2\n");
    if (chunks > 1) {
        // The first save replaces an old file on a slow disk while the deltas keep coming.
        m_helper = std::make_shared<TSlowDeletingHelper>(m_application->path());
        QFile OldFile(target(QStringLiteral("data.pak")));
        QVERIFY(OldFile.open(QIODevice::WriteOnly));
    }
    constexpr int ChunkSize = 20000;
    const QByteArray Old = TTestPackageBuilder::randomBytes(qint64(ChunkSize) * chunks, 3);
    QByteArray New = Old;
    for (int Chunk = 0; Chunk < chunks; ++Chunk)
        New[Chunk * ChunkSize + 100] = char(New.at(Chunk * ChunkSize + 100) ^ 1);
    m_package->setPacking(EPacking::Stored);
    m_package->addFile(QStringLiteral("data.pak"), New, false,
                       std::vector<qint64>(size_t(chunks), ChunkSize));
    QStringList DeltaPaths;
    for (int Chunk = 0; Chunk < chunks; ++Chunk)
        DeltaPaths << m_package->addDelta(New.mid(Chunk * ChunkSize, ChunkSize),
                                          {Old.mid(Chunk * ChunkSize, ChunkSize)});
    if (fallsBack)
        m_server->setFault(DeltaPaths.front(), fault);
    const QString PackPath = packed ? m_package->packAll() : QString();
    // The bases as the scan stages them.
    const QString Staged = QDir(m_application->path()).filePath(QStringLiteral("base"));
    QFile Base(Staged);
    QVERIFY(Base.open(QIODevice::WriteOnly));
    Base.write(Old);
    Base.close();
    std::vector<TFileToDownload> Files = m_package->allMissing();
    TFileSize DeltaSize = 0;
    for (int Chunk = 0; Chunk < chunks; ++Chunk) {
        TPlannedDelta Plan;
        Plan.chunkIndex = Chunk;
        Plan.delta = Files.front().chunks[size_t(Chunk)].deltas.front();
        Plan.basePieces = {{Staged, qint64(Chunk) * ChunkSize, quint64(ChunkSize)}};
        Files.front().plannedDeltas.push_back(Plan);
        DeltaSize += TFileSize(Plan.delta.packedSize);
    }

    auto Downloader = makeDownloader();
    Downloader->setDeltaDeadline(500);
    QSignalSpy Progress(Downloader.get(), &TPackageFileDownloader::progress);
    QCOMPARE(run(*Downloader, Files), -1);
    QCOMPARE(readAll(target(QStringLiteral("data.pak"))), New);
    const auto &Summary = Downloader->transferSummary();
    QCOMPARE(Summary.deltas, chunks - (fallsBack ? 1 : 0));
    QCOMPARE(Summary.fallbacks, fallsBack ? 1 : 0);
    const QByteArray FirstChunk = New.left(ChunkSize);
    QCOMPARE(m_server->requestCount(m_package->chunkPath(FirstChunk)), fallsBack ? 1 : 0);
    QCOMPARE(m_pool->activeDownloads(), 0);
    // A range request keeps its one slot until all its objects are saved.
    QVERIFY2(Downloader->peakRunningStages() <= (packed ? chunks : 2),
             qPrintable(QString::number(Downloader->peakRunningStages())));
    if (packed) {
        QCOMPARE(m_server->requests().size(), 1);
        QCOMPARE(m_server->requestCount(PackPath), 1);
        QCOMPARE(Summary.ranges, 1);
    }
    // Progress counts the bytes that travel: the deltas, plus the chunk when it had to come.
    const auto Last = Progress.last();
    const TFileSize ChunkPackedSize = TFileSize(Files.front().chunks.front().packedSize);
    QCOMPARE(Last.at(1).value<TFileSize>(), DeltaSize + (fallsBack ? ChunkPackedSize : 0));
    if (!fallsBack)
        QCOMPARE(Last.at(0).value<TFileSize>(), DeltaSize);
    QCOMPARE(Last.at(3).value<TFileSize>(), TFileSize(New.size()));
}

void TPackageFileDownloaderTest::coalescesPackRanges_data()
{
    // Objects as "pack:offset:size", in priority order; requests as "pack:offset+length".
    QTest::addColumn<QString>("objects");
    QTest::addColumn<int>("maxGap");
    QTest::addColumn<int>("maxRequest");
    QTest::addColumn<QString>("requests");
    QTest::newRow("neighbours: one request") << "a:0:100 a:100:50" << 64 << 1000 << "a:0+150";
    QTest::newRow("small gap bridged") << "a:0:100 a:150:50" << 64 << 1000 << "a:0+200";
    QTest::newRow("large gap splits") << "a:0:100 a:300:50" << 64 << 1000 << "a:0+100 a:300+50";
    QTest::newRow("request size bound splits")
        << "a:0:100 a:100:100 a:200:100" << 0 << 250 << "a:0+200 a:200+100";
    QTest::newRow("two packs never merge") << "a:0:10 b:10:10" << 64 << 1000 << "a:0+10 b:10+10";
    QTest::newRow("urgent object first")
        << "a:200:10 a:0:10 a:10:10" << 0 << 1000 << "a:200+10 a:0+20";
    QTest::newRow("too large for a request: alone") << "a:0:500 a:500:10" << 0 << 250 << "a:500+10";
    QTest::newRow("empty object: alone") << "a:0:0 a:0:10" << 0 << 250 << "a:0+10";
    QTest::newRow("overlapping objects") << "a:0:100 a:50:100" << 0 << 1000 << "a:0+150";
    QTest::newRow("end beyond 64 bits: alone") << "a:18446744073709551610:10" << 0 << 1000 << "";
    QTest::newRow("end beyond signed offsets: alone")
        << "a:9223372036854775800:10 a:0:10" << 0 << 1000 << "a:0+10";
}

void TPackageFileDownloaderTest::coalescesPackRanges()
{
    QFETCH(QString, objects);
    QFETCH(int, maxGap);
    QFETCH(int, maxRequest);
    QFETCH(QString, requests);
    std::vector<TPackObject> Objects;
    for (const QString &Text : objects.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList Parts = Text.split(QLatin1Char(':'));
        TPackObject Object;
        Object.packUrl = QUrl(QStringLiteral("http://cdn/") + Parts[0]);
        Object.offset = Parts[1].toULongLong();
        Object.size = Parts[2].toULongLong();
        Object.url = QUrl(QStringLiteral("http://cdn/object%1").arg(Objects.size()));
        Object.priority = int(Objects.size());
        Objects.push_back(Object);
    }
    QStringList Made;
    for (const TPackRange &Range :
         coalescePackRanges(Objects, quint64(maxGap), quint64(maxRequest))) {
        Made << QStringLiteral("%1:%2+%3")
                    .arg(Range.packUrl.fileName())
                    .arg(Range.offset)
                    .arg(Range.length);
        const QByteArray Body(int(Range.length), 'x');
        for (const TPackObject &Object : Range.objects)
            QCOMPARE(quint64(objectInRange(Range, Body, Object).size()), Object.size);
    }
    QCOMPARE(Made.join(QLatin1Char(' ')), requests);
}

void TPackageFileDownloaderTest::packRangesAndFallbacks_data()
{
    QTest::addColumn<TFault>("fault");
    // Whether the first object of the pack is wanted too, so that the range is the whole pack.
    QTest::addColumn<bool>("wholePack");
    // Requests by the objects' own addresses after the range request.
    QTest::addColumn<int>("singleRequests");
    QTest::newRow("206 as asked") << TFault() << false << 0;
    QTest::newRow("server ignores Range: 200") << TFault::ignoringRange() << false << 2;
    QTest::newRow("whole pack asked: 200 is the range") << TFault::ignoringRange() << true << 0;
    QTest::newRow("wrong Content-Range") << TFault::shiftedRange(7) << false << 2;
    QTest::newRow("body cut off") << TFault::closeAfter(100) << false << 2;
    // What came in before the cut is used: only the object after it comes again.
    QTest::newRow("body cut off after the first object") << TFault() << false << 1;
    QTest::newRow("pack shorter than the range") << TFault::replaceBody("short") << false << 2;
    QTest::newRow("pack missing") << TFault::status(404) << false << 2;
    // A range that arrives as asked but holds a broken object: only that one comes again.
    QTest::newRow("one object corrupt in the pack") << TFault() << true << 1;
}

void TPackageFileDownloaderTest::packRangesAndFallbacks()
{
    QFETCH(TFault, fault);
    QFETCH(bool, wholePack);
    QFETCH(int, singleRequests);
    const QByteArray A = piece('a', 3000), B = piece('b', 4000), C = piece('c', 5000);
    m_package->addFile(QStringLiteral("a"), A, false, {3000});
    m_package->addFile(QStringLiteral("b"), B + C, true, {4000, 5000});
    const QString Pack = m_package->packAll();
    std::vector<TFileToDownload> Files = m_package->allMissing();
    if (!wholePack)
        Files.erase(Files.begin()); // "a" is installed already
    if (QByteArray(QTest::currentDataTag()).contains("corrupt")) {
        QByteArray Damaged = m_package->packContent();
        Damaged[20] = char(Damaged.at(20) ^ 0x55);
        fault = TFault::replaceBody(Damaged);
    }
    if (QByteArray(QTest::currentDataTag()).contains("after the first"))
        fault = TFault::closeAfter(qint64(Files.front().chunks.front().packedSize) + 10);
    m_server->setFault(Pack, fault);
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, Files), -1);
    if (wholePack)
        QCOMPARE(readAll(target(QStringLiteral("a"))), A);
    QCOMPARE(readAll(target(QStringLiteral("b"))), B + C);
    QCOMPARE(m_server->requestCount(Pack), 1);
    QCOMPARE(m_server->requests().size(), 1 + singleRequests);
    QCOMPARE(m_pool->activeDownloads(), 0);
}

void TPackageFileDownloaderTest::oneAtATimeInPriorityOrder()
{
    makeHelper("[OPTIONS]\nmaxConcurrentDownloads=1\n");
    const QByteArray A = piece('a', 100), B = piece('b', 200), C = piece('c', 300),
                     D = piece('d', 400);
    m_package->addFile(QStringLiteral("x"), A + B, false, {100, 200});
    m_package->addFile(QStringLiteral("y"), C + D, false, {300, 400});
    TFault FailOnce = TFault::status(503);
    FailOnce.times = 1;
    m_server->setFault(m_package->chunkPath(A), FailOnce);
    auto Downloader = makeDownloader();
    QCOMPARE(run(*Downloader, m_package->allMissing()), -1);
    QStringList Order;
    for (const auto &Request : m_server->requests())
        Order << Request.path;
    // Offset 0 of both files first, then offset 100 and 300; the retried chunk goes last.
    const QStringList Expected{m_package->chunkPath(A), m_package->chunkPath(C),
                               m_package->chunkPath(B), m_package->chunkPath(D),
                               m_package->chunkPath(A)};
    QCOMPARE(Order, Expected);
}

void TPackageFileDownloaderTest::startWithoutChunksStaysSilent()
{
    auto Downloader = makeDownloader();
    QSignalSpy Completed(Downloader.get(), &TPackageFileDownloader::downloadCompleted);
    QSignalSpy Failed(Downloader.get(), &TPackageFileDownloader::downloadFailed);
    Downloader->prepare({});
    Downloader->start();
    QTest::qWait(150);
    QCOMPARE(Completed.size() + Failed.size(), 0);
    QCOMPARE(m_server->requests().size(), 0);
}

void TPackageFileDownloaderTest::runningStatistics()
{
    TRunningStatistics Statistics;
    Statistics.add(10);
    Statistics.add(30);
    Statistics.add(20);
    QCOMPARE(Statistics.count, quint64(3));
    QCOMPARE(Statistics.minimum, quint64(10));
    QCOMPARE(Statistics.maximum, quint64(30));
    QCOMPARE(Statistics.mean, 20.0);
    Statistics.add(21);
    Statistics.collapse();
    QCOMPARE(Statistics.count, quint64(1));
    QCOMPARE(Statistics.minimum, quint64(20));
    QCOMPARE(Statistics.maximum, quint64(20));
    QCOMPARE(Statistics.mean, 20.0);
}

QTEST_GUILESS_MAIN(TPackageFileDownloaderTest)

#include "tst_packagefiledownloader.moc"
