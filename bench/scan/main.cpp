// Measures how fast local files are cut into chunks and hashed, against sha256sum reading the
// same files in the same run. Generates a mixed data set (pseudo-random and compressible files)
// in a temporary directory, warms the page cache, then times each variant.

#include "configuration/TLauncherFilesystemHelper.h"
#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"
#include "packages/TDifferenceComputation.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutex>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtConcurrent>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

using vorna::launcher::TContentDefinedChunker;
using vorna::launcher::TLauncherFilesystemHelper;
using vorna::launcher::TPackageConfigurationReader;

namespace {

constexpr qint64 MiB = qint64(1) << 20;

struct TGeneratedFile
{
    qint64 size = 0;
    bool random = false;
};

// Half pseudo-random, half compressible, a few large files and some small ones: shaped like a
// game installation, scaled to the requested total.
std::vector<TGeneratedFile> dataSet(qint64 TotalMiB)
{
    const std::vector<std::pair<qint64, bool>> shape = {
        {300, true},  {120, true},  {60, true},  {20, true},  {12, true}, {200, false},
        {150, false}, {100, false}, {40, false}, {10, false}, {4, false},
    };
    std::vector<TGeneratedFile> files;
    for (const auto &[sizeMiB, random] : shape)
        files.push_back({sizeMiB * MiB * TotalMiB / 1024, random});
    for (int i = 0; i < 32; ++i)
        files.push_back({256 * 1024 * TotalMiB / 1024 + i * 777, i % 2 == 0});
    return files;
}

void fillRandom(char *Data, qint64 Size, quint64 &State)
{
    for (qint64 offset = 0; offset < Size; offset += 8) {
        State += 0x9E3779B97F4A7C15ull;
        quint64 z = State;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(Data + offset, &z, std::size_t(std::min<qint64>(8, Size - offset)));
    }
}

void fillCompressible(char *Data, qint64 Size, quint64 &Line)
{
    qint64 offset = 0;
    char text[96];
    while (offset < Size) {
        const int length = std::snprintf(text, sizeof text, "entity %llu position %llu state %s\n",
                                         static_cast<unsigned long long>(Line % 5003),
                                         static_cast<unsigned long long>((Line * 7919) % 100000),
                                         Line % 3 == 0 ? "idle" : "moving");
        const qint64 now = std::min<qint64>(length, Size - offset);
        std::memcpy(Data + offset, text, std::size_t(now));
        offset += now;
        ++Line;
    }
}

QStringList generate(const QString &Directory, const std::vector<TGeneratedFile> &Files)
{
    QStringList paths;
    std::vector<char> block(std::size_t(16 * MiB));
    quint64 state = 0x5EED;
    quint64 line = 0;
    for (std::size_t i = 0; i < Files.size(); ++i) {
        const QString path = Directory + QStringLiteral("/file%1.bin").arg(i);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        for (qint64 left = Files[i].size; left > 0;) {
            const qint64 now = std::min<qint64>(left, qint64(block.size()));
            if (Files[i].random)
                fillRandom(block.data(), now, state);
            else
                fillCompressible(block.data(), now, line);
            if (file.write(block.data(), now) != now)
                qFatal("cannot write %s", qPrintable(path));
            left -= now;
        }
        paths.append(path);
    }
    return paths;
}

qint64 totalSize(const QStringList &Paths)
{
    qint64 total = 0;
    for (const QString &path : Paths)
        total += QFileInfo(path).size();
    return total;
}

double megabytesPerSecond(qint64 Bytes, qint64 Nanoseconds)
{
    return double(Bytes) / 1e6 / (double(Nanoseconds) / 1e9);
}

// Runs Workers tasks over the files, largest first, as the difference computation does.
qint64 timeChunking(const QStringList &Paths, int Workers, bool WithHashes, int &Chunks)
{
    QStringList queue = Paths;
    std::sort(queue.begin(), queue.end(), [](const QString &A, const QString &B) {
        return QFileInfo(A).size() > QFileInfo(B).size();
    });
    QMutex mutex;
    std::atomic<int> chunkCount{0};
    QThreadPool pool;
    pool.setMaxThreadCount(Workers);
    QElapsedTimer timer;
    timer.start();
    QList<QFuture<void>> futures;
    for (int i = 0; i < Workers; ++i)
        futures.append(QtConcurrent::run(&pool, [&queue, &mutex, &chunkCount, WithHashes] {
            TContentDefinedChunker chunker;
            while (true) {
                QString path;
                {
                    QMutexLocker lock(&mutex);
                    if (queue.isEmpty())
                        return;
                    path = queue.takeFirst();
                }
                chunker.chunkFile(path, WithHashes, [&chunkCount](const auto &) { ++chunkCount; });
            }
        }));
    for (QFuture<void> &future : futures)
        future.waitForFinished();
    Chunks = chunkCount;
    return timer.nsecsElapsed();
}

// The same work without any file access: the compute ceiling of each variant.
qint64 timeInMemory(const QByteArray &Data, bool Chunk, bool WithHashes)
{
    const TContentDefinedChunker chunker;
    QElapsedTimer timer;
    timer.start();
    if (Chunk)
        chunker.chunkBuffer(Data, WithHashes);
    else
        shared::sha256(Data);
    return timer.nsecsElapsed();
}

qint64 timeSha256sum(const QStringList &Paths)
{
    const QString tool = QStandardPaths::findExecutable(QStringLiteral("sha256sum"));
    if (tool.isEmpty())
        return -1;
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer timer;
    timer.start();
    process.start(tool, Paths);
    if (!process.waitForFinished(-1) || process.exitCode() != 0)
        return -1;
    return timer.nsecsElapsed();
}

qint64 timeWholeFileHashes(const QStringList &Paths)
{
    QElapsedTimer timer;
    timer.start();
    for (const QString &path : Paths)
        shared::TSha256::hashFile(path);
    return timer.nsecsElapsed();
}

// The package document a publisher would write for the generated files: every file cut by the
// chunker, so that a full scan of the unchanged installation finds every chunk in place.
TPackageConfigurationReader describeInstallation(const QString &Directory, const QStringList &Paths)
{
    TContentDefinedChunker chunker;
    QJsonArray chunks;
    QJsonArray files;
    for (const QString &path : Paths) {
        QJsonArray indices;
        chunker.chunkFile(path, true, [&](const TContentDefinedChunker::TChunk &Chunk) {
            const QString hash = QString::fromLatin1(Chunk.hash.toHex());
            indices.append(chunks.size());
            chunks.append(
                QJsonObject{{QStringLiteral("url"), QString(QStringLiteral("chunks/") + hash)},
                            {QStringLiteral("unpackedsize"), double(Chunk.length)},
                            {QStringLiteral("unpackedhash"), hash}});
        });
        files.append(
            QJsonObject{{QStringLiteral("localfile"), QDir(Directory).relativeFilePath(path)},
                        {QStringLiteral("unpackedsize"), double(QFileInfo(path).size())},
                        {QStringLiteral("unpackedhash"),
                         QString::fromLatin1(shared::TSha256::hashFile(path).toHex())},
                        {QStringLiteral("chunks"), indices}});
    }
    const QJsonObject document{{QStringLiteral("version"), QStringLiteral("1")},
                               {QStringLiteral("chunks"), chunks},
                               {QStringLiteral("files"), files}};
    const QUrl base(QStringLiteral("http://127.0.0.1/"));
    return TPackageConfigurationReader(QJsonDocument(document).toJson(QJsonDocument::Compact),
                                       QByteArray(), base, base);
}

// The difference computation over the unchanged installation: 6 workers on the global pool,
// whole-file hashes for single-chunk files, chunker plus SHA-256 for the others.
qint64 timeFullScan(const QString &Directory,
                    const std::shared_ptr<TLauncherFilesystemHelper> &Helper,
                    const TPackageConfigurationReader &Remote, bool FastScan)
{
    QElapsedTimer timer;
    timer.start();
    // Started as a task on the global pool, as the installation manager does: the computation
    // then takes part in the scan on its own pool thread.
    const auto difference =
        QtConcurrent::run([Directory, Helper, Remote, FastScan] {
            return vorna::launcher::computeRequiredChanges(
                QDir(Directory), Helper, Remote, FastScan ? Remote : TPackageConfigurationReader(),
                FastScan, nullptr);
        }).result();
    const qint64 elapsed = timer.nsecsElapsed();
    if (!difference.filesToDownload.empty())
        qFatal("the scan of an unchanged installation wants %d files",
               int(difference.filesToDownload.size()));
    return elapsed;
}

struct TVariant
{
    QByteArray name;
    std::function<qint64()> run;
    qint64 nanoseconds = -1; // of the fastest round
    double processorSeconds = 0.0;
};

// User and system time of this process and of its children that have ended.
double processorSeconds()
{
    double total = 0.0;
    for (const int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

QByteArray loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? file.readLine().trimmed() : QByteArray("unknown");
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Chunker and SHA-256 throughput against sha256sum"));
    parser.addHelpOption();
    const QCommandLineOption sizeOption(QStringLiteral("size"),
                                        QStringLiteral("Data set size in MiB (default 1024)."),
                                        QStringLiteral("MiB"), QStringLiteral("1024"));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Timed rounds per variant (default 3)."),
                                          QStringLiteral("count"), QStringLiteral("3"));
    parser.addOption(sizeOption);
    parser.addOption(roundsOption);
    parser.process(application);
    const qint64 totalMiB = std::max<qint64>(64, parser.value(sizeOption).toLongLong());
    const int rounds = std::max(1, parser.value(roundsOption).toInt());

    QTemporaryDir directory;
    if (!directory.isValid())
        qFatal("no temporary directory");
    std::printf("generating %lld MiB in %s ...\n", static_cast<long long>(totalMiB),
                qPrintable(directory.path()));
    std::fflush(stdout);
    const QStringList paths = generate(directory.path(), dataSet(totalMiB));
    const qint64 bytes = totalSize(paths);
    std::printf("data set: %d files, %.1f MiB\n", int(paths.size()), double(bytes) / MiB);

    // Warm the page cache so every variant reads from memory, not from the disk.
    int chunks = 0;
    timeChunking(paths, 2, false, chunks);

    const auto best = [rounds](const std::function<qint64()> &Run) {
        qint64 fastest = -1;
        for (int i = 0; i < rounds; ++i) {
            const qint64 elapsed = Run();
            if (elapsed >= 0 && (fastest < 0 || elapsed < fastest))
                fastest = elapsed;
        }
        return fastest;
    };
    {
        QByteArray sample(int(256 * MiB), Qt::Uninitialized);
        quint64 state = 1;
        fillRandom(sample.data(), sample.size(), state);
        const auto reportSample = [&](const char *Name, qint64 Nanoseconds) {
            std::printf("%-40s %8.0f MB/s\n", Name, megabytesPerSecond(sample.size(), Nanoseconds));
        };
        reportSample("in memory: SHA-256",
                     best([&sample] { return timeInMemory(sample, false, false); }));
        reportSample("in memory: chunker only",
                     best([&sample] { return timeInMemory(sample, true, false); }));
        reportSample("in memory: chunker + SHA-256",
                     best([&sample] { return timeInMemory(sample, true, true); }));
    }

    // The scan logs every reused file and chunk; keep the figures readable.
    qInstallMessageHandler([](QtMsgType Type, const QMessageLogContext &, const QString &Text) {
        if (Type != QtInfoMsg && Type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(Text));
    });
    const TPackageConfigurationReader remote = describeInstallation(directory.path(), paths);
    const auto helper = std::make_shared<TLauncherFilesystemHelper>(directory.path());
    std::printf("global pool: %d threads\n", QThreadPool::globalInstance()->maxThreadCount());

    // On a machine shared with other work the wall time of one variant says little on its own:
    // every round runs all variants one after the other, so that a busy spell hits them alike,
    // and each keeps its fastest round. The processor time of that round (this process and its
    // children: sha256sum) shows the work a variant costs, whatever else runs meanwhile.
    std::vector<TVariant> variants;
    variants.push_back({"sha256sum (one process)", [&paths] { return timeSha256sum(paths); }});
    variants.push_back(
        {"whole-file SHA-256, 1 thread", [&paths] { return timeWholeFileHashes(paths); }});
    for (const bool withHashes : {false, true}) {
        for (const int workers : {1, 2, 6}) {
            variants.push_back({QByteArray(withHashes ? "chunker + SHA-256, " : "chunker only, ") +
                                    QByteArray::number(workers) + " workers",
                                [&paths, &chunks, workers, withHashes] {
                                    return timeChunking(paths, workers, withHashes, chunks);
                                }});
        }
    }
    variants.push_back({"full scan, computeRequiredChanges",
                        [&] { return timeFullScan(directory.path(), helper, remote, false); }});
    variants.push_back({"fast scan, computeRequiredChanges",
                        [&] { return timeFullScan(directory.path(), helper, remote, true); }});
    std::printf("load average before: %s\n", loadAverage().constData());
    for (int round = 0; round < rounds; ++round) {
        for (TVariant &variant : variants) {
            const double processorBefore = processorSeconds();
            const qint64 elapsed = variant.run();
            const double processor = processorSeconds() - processorBefore;
            if (elapsed >= 0 && (variant.nanoseconds < 0 || elapsed < variant.nanoseconds)) {
                variant.nanoseconds = elapsed;
                variant.processorSeconds = processor;
            }
        }
    }
    std::printf("load average after:  %s\n", loadAverage().constData());

    const TVariant &reference = variants.front();
    if (reference.nanoseconds < 0)
        std::printf("sha256sum not available, ratios left out\n");
    const double referenceSpeed =
        reference.nanoseconds > 0 ? megabytesPerSecond(bytes, reference.nanoseconds) : 0.0;
    const double referenceWork =
        reference.processorSeconds > 0 ? double(bytes) / 1e6 / reference.processorSeconds : 0.0;
    for (const TVariant &variant : variants) {
        if (variant.nanoseconds < 0)
            continue;
        const double speed = megabytesPerSecond(bytes, variant.nanoseconds);
        const double work =
            variant.processorSeconds > 0 ? double(bytes) / 1e6 / variant.processorSeconds : 0.0;
        if (&variant == &reference)
            std::printf("%-40s %8.0f MB/s  %14s  %6.0f MB/CPU-s\n", variant.name.constData(), speed,
                        "", work);
        else if (referenceSpeed > 0)
            std::printf("%-40s %8.0f MB/s  %5.2f x sha256sum  %6.0f MB/CPU-s  %5.2f x\n",
                        variant.name.constData(), speed, speed / referenceSpeed, work,
                        referenceWork > 0 ? work / referenceWork : 0.0);
        else
            std::printf("%-40s %8.0f MB/s  %6.0f MB/CPU-s\n", variant.name.constData(), speed,
                        work);
    }
    std::printf("chunks: %d\n", chunks);
    return 0;
}
