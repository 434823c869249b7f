#include "configuration/TLauncherFilesystemHelper.h"
#include "download/ChunkProcessing.h"
#include "format/BlobContainer.h"
#include "format/TErrorException.h"
#include "format/TSha256.h"
#include "format/TZstdDelta.h"
#include "support/TLockingFilesystemHelper.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"
#include "support/TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <set>

using namespace vorna::launcher;
using shared::EErrorCode;
using testsupport::readAll;
using testsupport::TLockingFilesystemHelper;
using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;

namespace {

void writeAll(const QString &Path, const QByteArray &Data)
{
    QDir().mkpath(QFileInfo(Path).absolutePath());
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly | QIODevice::Truncate));
    File.write(Data);
}

QByteArray piece(char Fill, int Size)
{
    QByteArray Bytes(Size, Fill);
    Bytes[0] = 'S';
    return Bytes;
}

} // namespace

class TChunkProcessingTest final : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void decompressStage_data();
    void decompressStage();
    void verifyStage();
    void deltaStage_data();
    void deltaStage();
    void thirdChunkFirstIsCachedThenWrittenInOrder();
    void contentNeededTwiceInOneFileAndByTwoFiles();
    void maxCachedChunksZeroOverflowsToTemporaryFiles();
    void cacheStaysBoundedOverALongRun();
    void fileWrittenFromScratchReplacesDirectory();
    void selfUpdateRenamesUndeletableFile_data();
    void selfUpdateRenamesUndeletableFile();
    void failedSaveThrowsWithoutTouchingOtherPlaces_data();
    void failedSaveThrowsWithoutTouchingOtherPlaces();
    void documentPathsStayInsideTheInstallation();
    void chunkVerificationWritesItsLog();

private:
    // A helper whose settings come from an INI file with the given lines.
    void makeHelper(const QByteArray &SettingsLines = QByteArray());
    TChunkSaveContext context() const;
    std::vector<TChunkToDownload> prepare(const std::vector<TFileToDownload> &Files);
    const TChunkToDownload &chunkFor(const QByteArray &Content) const;
    void save(const QByteArray &Content);
    QString target(const QString &LocalFile) const { return m_directory.filePath(LocalFile); }

    std::unique_ptr<QTemporaryDir> m_application;
    std::unique_ptr<QTemporaryDir> m_installation;
    QDir m_directory;
    std::shared_ptr<TLockingFilesystemHelper> m_helper;
    std::shared_ptr<TPendingChunkCache> m_cache;
    std::unique_ptr<TTestHttpServer> m_server;
    std::unique_ptr<TTestPackageBuilder> m_package;
    std::vector<TChunkToDownload> m_chunks;
    EInstallationMode m_mode = EInstallationMode::Normal;
    QList<QPair<QUrl, qint64>> m_written;
};

void TChunkProcessingTest::init()
{
    m_application = std::make_unique<QTemporaryDir>();
    m_installation = std::make_unique<QTemporaryDir>();
    QVERIFY(m_application->isValid() && m_installation->isValid());
    m_directory = QDir(m_installation->path());
    m_server = std::make_unique<TTestHttpServer>();
    m_package = std::make_unique<TTestPackageBuilder>(*m_server);
    m_mode = EInstallationMode::Normal;
    m_written.clear();
    makeHelper();
}

void TChunkProcessingTest::cleanup()
{
    m_chunks.clear();
    m_cache.reset();
    QFile::setPermissions(m_directory.path(),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TChunkProcessingTest::makeHelper(const QByteArray &SettingsLines)
{
    if (!SettingsLines.isEmpty())
        writeAll(QDir(m_application->path()).filePath(QStringLiteral("launchersettings.ini")),
                 SettingsLines);
    m_helper = std::make_shared<TLockingFilesystemHelper>(m_application->path());
}

TChunkSaveContext TChunkProcessingTest::context() const
{
    TChunkSaveContext Context;
    Context.filesystemHelper = m_helper;
    Context.pendingChunks = m_cache;
    Context.installationMode = m_mode;
    Context.chunkVerification = m_helper->settings()->chunkVerification;
    auto *Written = const_cast<QList<QPair<QUrl, qint64>> *>(&m_written);
    Context.writeProgress = [Written](const QUrl &Url, qint64 Bytes) {
        Written->append({Url, Bytes});
    };
    return Context;
}

std::vector<TChunkToDownload>
TChunkProcessingTest::prepare(const std::vector<TFileToDownload> &Files)
{
    m_cache = std::make_shared<TPendingChunkCache>(m_helper->settings()->maxCachedChunks);
    m_chunks = buildChunksToDownload(Files, m_directory, *m_helper, *m_cache);
    return m_chunks;
}

const TChunkToDownload &TChunkProcessingTest::chunkFor(const QByteArray &Content) const
{
    const QUrl Url = m_package->chunkUrl(Content);
    for (const auto &Chunk : m_chunks) {
        if (Chunk.url == Url)
            return Chunk;
    }
    qFatal("no chunk for the content");
}

void TChunkProcessingTest::save(const QByteArray &Content)
{
    saveChunkIntoFiles(context(), chunkFor(Content), Content);
}

void TChunkProcessingTest::decompressStage_data()
{
    QTest::addColumn<QByteArray>("packed");
    QTest::addColumn<quint64>("declaredSize");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray Content = TTestPackageBuilder::compressibleBytes(100000, 1);
    const QByteArray Lzma = ::shared::encodeBlobContainer(Content, ::shared::BlobCodecLzma, 0);
    QTest::newRow("lzma container") << Lzma << quint64(Content.size()) << true << Content;
    QTest::newRow("leading zero bytes")
        << QByteArray(3, '\0') + Lzma << quint64(Content.size()) << true << Content;
    QTest::newRow("stored container")
        << ::shared::encodeBlobContainer(Content, 0) << quint64(Content.size()) << true << Content;
    QTest::newRow("plain bytes pass unchanged")
        << QByteArray("plain text") << quint64(10) << true << QByteArray("plain text");
    QTest::newRow("stream cut short")
        << Lzma.left(Lzma.size() / 2) << quint64(Content.size()) << false << QByteArray();
    QTest::newRow("header claims more than the chunk's size")
        << Lzma << quint64(Content.size() - 1) << false << QByteArray();
    QByteArray Bomb("\x70\x05", 2);
    Bomb += ::shared::encodeBlobVarint(quint64(1) << 40) + ::shared::encodeBlobVarint(20) +
            QByteArray(20, '\x5d');
    QTest::newRow("header claims a terabyte") << Bomb << quint64(1024) << false << QByteArray();
}

void TChunkProcessingTest::decompressStage()
{
    QFETCH(QByteArray, packed);
    QFETCH(quint64, declaredSize);
    QFETCH(bool, succeeds);
    QFETCH(QByteArray, expected);

    TChunkToDownload Chunk;
    Chunk.url = QUrl(QStringLiteral("http://127.0.0.1/c"));
    Chunk.unpackedSize = declaredSize;
    if (!succeeds)
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("chunk stage failed")));
    const TChunkStageResult Result = decompressDownloadedData(Chunk, packed);
    QCOMPARE(Result.succeeded, succeeds);
    if (succeeds)
        QCOMPARE(Result.data, expected);
    else
        QCOMPARE(Result.error.code, EErrorCode::DecompressionFailed);
}

void TChunkProcessingTest::verifyStage()
{
    TChunkToDownload Chunk;
    Chunk.url = QUrl(QStringLiteral("http://127.0.0.1/c"));
    Chunk.unpackedHash = ::shared::sha256(QByteArray("content"));
    QCOMPARE(verifyDownloadedData(Chunk, "content").data, QByteArray("content"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("chunk stage failed")));
    const TChunkStageResult Wrong = verifyDownloadedData(Chunk, "contenT");
    QVERIFY(!Wrong.succeeded);
    QCOMPARE(Wrong.error.code, EErrorCode::HashMismatch);
    QCOMPARE(Wrong.error.text(), QStringLiteral("verify of url 'http://127.0.0.1/c' failed"));
}

void TChunkProcessingTest::deltaStage_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("applies") << QString();
    QTest::newRow("delta not the one named") << QStringLiteral("packed hash");
    QTest::newRow("base changed on disk") << QStringLiteral("base");
    QTest::newRow("base file gone") << QStringLiteral("base gone");
    QTest::newRow("result not the chunk") << QStringLiteral("result");
    QTest::newRow("forged header claiming 1 TiB") << QStringLiteral("forged");
}

void TChunkProcessingTest::deltaStage()
{
    QFETCH(QString, fault);
    const QByteArray Base = TTestPackageBuilder::randomBytes(200000, 8);
    QByteArray Content = Base;
    Content[1000] = char(Content.at(1000) ^ 1);
    QByteArray Delta = ::shared::TZstdDelta::create(Base, Content, 3);
    if (fault == QStringLiteral("forged")) {
        // A frame that says it holds 2^40 bytes, named correctly by the document.
        Delta = QByteArray("\x28\xb5\x2f\xfd\xe0", 5) + QByteArray("\0\0\0\0\0\x01\0\0", 8) +
                QByteArray("\x41\0\0", 3) + QByteArray(8, 'x');
    }
    const QString BasePath = QDir(m_installation->path()).filePath(QStringLiteral("staged"));
    writeAll(BasePath, QByteArray("prefix") + Base);

    TChunkToDownload Chunk;
    Chunk.url = QUrl(QStringLiteral("http://127.0.0.1/c"));
    Chunk.unpackedSize = quint64(Content.size());
    Chunk.unpackedHash = ::shared::sha256(fault == QStringLiteral("result") ? Base : Content);
    TPlannedDelta Plan;
    Plan.delta.url = QUrl(QStringLiteral("http://127.0.0.1/d"));
    Plan.delta.packedSize = quint64(Delta.size());
    Plan.delta.packedHash = ::shared::sha256(Delta);
    Plan.delta.baseHash = ::shared::sha256(Base);
    Plan.delta.baseSize = quint64(Base.size());
    Plan.basePieces = {{BasePath, 6, quint64(Base.size())}};
    Chunk.plannedDelta = Plan;
    if (fault == QStringLiteral("packed hash"))
        Delta[Delta.size() - 1] = char(Delta.at(Delta.size() - 1) ^ 1);
    else if (fault == QStringLiteral("base"))
        writeAll(BasePath, QByteArray("prefix") + Content);
    else if (fault == QStringLiteral("base gone"))
        QFile::remove(BasePath);

    if (!fault.isEmpty())
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression(QStringLiteral("chunk stage failed")));
    const TChunkStageResult Result = applyDownloadedDelta(Chunk, Delta);
    QCOMPARE(Result.succeeded, fault.isEmpty());
    if (fault.isEmpty())
        QCOMPARE(Result.data, Content);
    else
        QCOMPARE(Result.error.code, EErrorCode::DeltaFailed);
}

void TChunkProcessingTest::thirdChunkFirstIsCachedThenWrittenInOrder()
{
    const QByteArray A = piece('a', 1000), B = piece('b', 2000), C = piece('c', 500);
    m_package->addFile(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), A + B + C, true,
                       {1000, 2000, 500});
    prepare(m_package->allMissing());
    QCOMPARE(m_cache->pendingChunkCount(), 3);

    save(C);
    QCOMPARE(m_cache->cachedChunkCount(), 1);
    QVERIFY(m_written.isEmpty());
    save(A);
    QCOMPARE(readAll(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), A);
    save(B);
    QCOMPARE(readAll(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX))), A + B + C);
    QCOMPARE(m_written.size(), 3);
    QCOMPARE(m_written.last().first, m_package->chunkUrl(C));
    QCOMPARE(m_written.last().second, qint64(500));
    // Every place written: nothing stays cached.
    QCOMPARE(m_cache->cachedChunkCount(), 0);
    QCOMPARE(m_cache->pendingChunkCount(), 0);
    const auto Permissions =
        QFile::permissions(target(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX)));
    QVERIFY(Permissions.testFlag(QFileDevice::ExeOwner));
    QVERIFY(Permissions.testFlag(QFileDevice::ExeGroup));
    QVERIFY(Permissions.testFlag(QFileDevice::ExeOther));
}

void TChunkProcessingTest::contentNeededTwiceInOneFileAndByTwoFiles()
{
    const QByteArray A = piece('a', 700), B = piece('b', 300);
    m_package->addFile(QStringLiteral("x.dat"), A + B + A, false, {700, 300, 700});
    m_package->addFile(QStringLiteral("y.dat"), A, false, {700});
    prepare(m_package->allMissing());
    QCOMPARE(m_chunks.size(), std::size_t(2));
    QCOMPARE(chunkFor(A).fileStates.size(), std::size_t(2));

    save(A);
    QCOMPARE(readAll(target(QStringLiteral("y.dat"))), A);
    QCOMPARE(readAll(target(QStringLiteral("x.dat"))), A);
    QCOMPARE(m_cache->cachedChunkCount(), 1);
    save(B);
    QCOMPARE(readAll(target(QStringLiteral("x.dat"))), A + B + A);
    // Two of the three places of A were written straight from the download; they count too.
    QCOMPARE(m_cache->cachedChunkCount(), 0);
    QCOMPARE(m_cache->pendingChunkCount(), 0);
}

void TChunkProcessingTest::maxCachedChunksZeroOverflowsToTemporaryFiles()
{
    makeHelper("[OPTIONS]\nmaxCachedChunks=0\n");
    std::vector<QByteArray> Pieces;
    QByteArray Content;
    for (int Index = 0; Index < 4; ++Index) {
        Pieces.push_back(piece(char('a' + Index), 400 + Index));
        Content += Pieces.back();
    }
    m_package->addFile(QStringLiteral("f"), Content, false, {400, 401, 402, 403});
    prepare(m_package->allMissing());

    save(Pieces[3]);
    save(Pieces[2]);
    save(Pieces[1]);
    const auto Held3 = m_cache->heldContent(::shared::sha256(Pieces[3]));
    auto Held2 = m_cache->heldContent(::shared::sha256(Pieces[2]));
    QVERIFY(Held3 && Held2);
    QCOMPARE(Held3->storage, qint32(TPendingChunk::InMemory));
    QCOMPARE(Held2->storage, qint32(TPendingChunk::InTemporaryFile));
    QCOMPARE(m_cache->heldContent(::shared::sha256(Pieces[1]))->storage,
             qint32(TPendingChunk::InTemporaryFile));
    QCOMPARE(m_cache->cachedChunkCount(), 1);
    const QString TemporaryPath = Held2->temporaryFile->fileName();
    QVERIFY(QFile::exists(TemporaryPath));

    save(Pieces[0]);
    QCOMPARE(readAll(target(QStringLiteral("f"))), Content);
    QCOMPARE(m_cache->pendingChunkCount(), 0);
    QCOMPARE(m_cache->cachedChunkCount(), 0);
    // The temporary file goes with the last reference to its entry.
    QVERIFY(QFile::exists(TemporaryPath));
    m_chunks.clear();
    Held2.reset();
    QVERIFY(!QFile::exists(TemporaryPath));
}

void TChunkProcessingTest::cacheStaysBoundedOverALongRun()
{
    // Many files whose second piece arrives before the first, and whose first piece is shared
    // with the next file: every content is written straight once and from the cache once.
    makeHelper("[OPTIONS]\nmaxCachedChunks=2\n");
    std::vector<QByteArray> Pieces;
    for (int Index = 0; Index <= 40; ++Index)
        Pieces.push_back(piece(char('A' + Index), 100 + Index));
    for (int Index = 0; Index < 40; ++Index) {
        m_package->addFile(
            QStringLiteral("f%1").arg(Index, 2, 10, QLatin1Char('0')),
            Pieces[std::size_t(Index)] + Pieces[std::size_t(Index) + 1], false,
            {Pieces[std::size_t(Index)].size(), Pieces[std::size_t(Index) + 1].size()});
    }
    prepare(m_package->allMissing());
    int MostCached = 0;
    for (int Index = 40; Index >= 0; --Index) {
        save(Pieces[std::size_t(Index)]);
        MostCached = std::max(MostCached, m_cache->cachedChunkCount());
    }
    QCOMPARE(MostCached, 1);
    QCOMPARE(m_cache->pendingChunkCount(), 0);
    for (int Index = 0; Index < 40; ++Index) {
        QCOMPARE(readAll(target(QStringLiteral("f%1").arg(Index, 2, 10, QLatin1Char('0')))),
                 Pieces[std::size_t(Index)] + Pieces[std::size_t(Index) + 1]);
    }
}

void TChunkProcessingTest::fileWrittenFromScratchReplacesDirectory()
{
    QVERIFY(m_directory.mkpath(QStringLiteral("data/pack/inner")));
    writeAll(target(QStringLiteral("data/pack/inner/x")), "old");
    const QByteArray A = piece('a', 64);
    m_package->addFile(QStringLiteral("data/pack"), A, false, {64});
    prepare(m_package->allMissing());
    save(A);
    QVERIFY(QFileInfo(target(QStringLiteral("data/pack"))).isFile());
    QCOMPARE(readAll(target(QStringLiteral("data/pack"))), A);
}

void TChunkProcessingTest::selfUpdateRenamesUndeletableFile_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("olderOldFile");
    QTest::addColumn<bool>("succeeds");
    // Held open by another program, as the running client holds its files, rather than locked
    // by the test's helper.
    QTest::addColumn<bool>("heldOpen");
    QTest::newRow("self-update") << int(EInstallationMode::SelfUpdate) << false << true << false;
    QTest::newRow("self-update replaces an older .old")
        << int(EInstallationMode::SelfUpdate) << true << true << false;
    QTest::newRow("normal mode fails") << int(EInstallationMode::Normal) << false << false << false;
    QTest::newRow("file held open by the running client")
        << int(EInstallationMode::Normal) << false << false << true;
}

void TChunkProcessingTest::selfUpdateRenamesUndeletableFile()
{
    QFETCH(int, mode);
    QFETCH(bool, olderOldFile);
    QFETCH(bool, succeeds);
    QFETCH(bool, heldOpen);
    m_mode = EInstallationMode(mode);
    const QString Launcher = target(QStringLiteral("CorvaneLauncher"));
    writeAll(Launcher, "running launcher");
    if (olderOldFile)
        writeAll(Launcher + QStringLiteral(".old"), "launcher before that");
    QFile Holder(Launcher);
    if (!heldOpen)
        m_helper->lock(Launcher);
    else if (QSysInfo::productType() != QLatin1String("windows"))
        QSKIP("only Windows keeps an open file from being deleted");
    else
        QVERIFY(Holder.open(QIODevice::ReadOnly));

    const QByteArray A = piece('n', 128);
    m_package->addFile(QStringLiteral("CorvaneLauncher"), A, true, {128});
    prepare(m_package->allMissing());
    if (succeeds) {
        save(A);
        QCOMPARE(readAll(Launcher), A);
        QCOMPARE(readAll(Launcher + QStringLiteral(".old")), QByteArray("running launcher"));
    } else {
        try {
            save(A);
            QFAIL("saving over a file that cannot be deleted must fail");
        } catch (const std::runtime_error &Error) {
            QCOMPARE(::shared::errorOf(Error).code, EErrorCode::DeleteFailed);
            QCOMPARE(::shared::errorOf(Error).path, Launcher);
        }
        QCOMPARE(readAll(Launcher), QByteArray("running launcher"));
        QVERIFY(!QFile::exists(Launcher + QStringLiteral(".old")));
    }
}

void TChunkProcessingTest::failedSaveThrowsWithoutTouchingOtherPlaces_data()
{
    QTest::addColumn<QString>("localFile");
    QTest::addColumn<bool>("readOnlyDirectory");
    QTest::newRow("parent is a file") << QStringLiteral("blocker/file") << false;
    QTest::newRow("read-only directory") << QStringLiteral("file") << true;
}

void TChunkProcessingTest::failedSaveThrowsWithoutTouchingOtherPlaces()
{
    QFETCH(QString, localFile);
    QFETCH(bool, readOnlyDirectory);
    writeAll(target(QStringLiteral("blocker")), "a file where a directory is needed");
    const QByteArray A = piece('a', 256);
    m_package->addFile(localFile, A, false, {256});
    prepare(m_package->allMissing());
    if (readOnlyDirectory) {
        QFile::setPermissions(m_directory.path(), QFile::ReadOwner | QFile::ExeOwner);
        if (QFile(target(QStringLiteral("probe"))).open(QIODevice::WriteOnly))
            QSKIP("permissions are not enforced for this user");
    }
    QVERIFY_EXCEPTION_THROWN(save(A), std::runtime_error);
    QVERIFY(!QFileInfo(target(localFile)).isFile());
}

void TChunkProcessingTest::documentPathsStayInsideTheInstallation()
{
    const QByteArray A = piece('e', 32);
    m_package->addFile(QStringLiteral("../../escaped.dll"), A, false, {32});
    prepare(m_package->allMissing());
    save(A);
    QCOMPARE(readAll(target(QStringLiteral("escaped.dll"))), A);
    QVERIFY(!QFile::exists(
        QDir(m_installation->path()).absoluteFilePath(QStringLiteral("../escaped.dll"))));
}

void TChunkProcessingTest::chunkVerificationWritesItsLog()
{
    makeHelper("[DEBUG]\nchunkVerification=true\n");
    const QByteArray A = piece('a', 100), B = piece('b', 50);
    m_package->addFile(QStringLiteral("f"), A + B, false, {100, 50});
    writeAll(target(QStringLiteral("f.log")), "stale line\n");
    prepare(m_package->allMissing());
    save(B);
    save(A);
    QCOMPARE(readAll(target(QStringLiteral("f"))), A + B);
    // A text file: lines end the platform's way.
    const QByteArray Log = readAll(target(QStringLiteral("f.log"))).replace("\r\n", "\n");
    QCOMPARE(Log, QByteArray("0: write succeeded\n100: write cache correct\n"));
}

QTEST_GUILESS_MAIN(TChunkProcessingTest)

#include "tst_chunkprocessing.moc"
