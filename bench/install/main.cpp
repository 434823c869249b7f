// Installs a generated package (compressible and incompressible files mixed) from a static
// server on loopback into an empty directory, then updates it after 10% of the content changed,
// and runs a baseline on the same chunks in the same invocation: one curl --parallel for the
// chunks, xz --format=lzma -d per chunk (one at a time as described, and two at a time, one per
// core), sha256sum, cat into the files. The server and each installation run in child processes of
// this program, so that the peak memory reported is the installation's own.
//
//     bench_install [--size-mib 512] [--work <dir>]

#include "configuration/TLauncherFilesystemHelper.h"
#include "format/BlobContainer.h"
#include "format/TContentDefinedChunker.h"
#include "format/TSha256.h"
#include "installation/TInstallationManager.h"
#include "installation/TPackageInstallation.h"
#include "packages/TPackage.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtConcurrent>

#include <sys/resource.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <vector>

using namespace vorna::launcher;
using testsupport::TTestPackageBuilder;

namespace {

constexpr qint64 MiB = qint64(1) << 20;

struct TChunk
{
    QString hash; // hex of the unpacked content
    qint64 unpackedSize = 0;
    qint64 packedSize = 0;
    int headerLength = 0; // container bytes before the .lzma stream
};

struct TFile
{
    QString name;
    QByteArray content;
    std::vector<QString> chunks;
};

struct TPublished
{
    std::vector<TFile> files;
    std::map<QString, TChunk> chunks;
    qint64 totalBytes = 0;
};

QByteArray textLike(qint64 Size, quint32 Seed)
{
    // Words with numbers in between: compresses about 4:1, like game scripts and tables.
    std::mt19937 Engine(Seed);
    static const char *const Words[] = {"sword",   "shield",   "quest", "dragon",
                                        "village", "potion",   "armor", "castle",
                                        "forest",  "merchant", "spell", "rune"};
    QByteArray Bytes;
    Bytes.reserve(int(Size));
    while (Bytes.size() < Size) {
        Bytes.append(Words[Engine() % 12]);
        Bytes.append(' ');
        Bytes.append(QByteArray::number(quint32(Engine() % 100000)));
        Bytes.append(Engine() % 7 == 0 ? '\n' : ';');
    }
    Bytes.truncate(int(Size));
    return Bytes;
}

QByteArray fileContent(int Index, qint64 Size, quint32 Seed)
{
    return Index % 2 == 0 ? TTestPackageBuilder::randomBytes(Size, Seed) : textLike(Size, Seed);
}

int containerHeaderLength(const QByteArray &Packed)
{
    int Position = 2; // magic and codec
    for (int Varint = 0; Varint < 2; ++Varint) {
        while (Position < Packed.size() && (quint8(Packed.at(Position)) & 0x80))
            ++Position;
        ++Position;
    }
    return Position;
}

// Cuts, packs and stores every chunk of the files that is not on the server yet.
void publish(TPublished &Package, const QString &ServerDirectory)
{
    const TContentDefinedChunker Chunker;
    QDir().mkpath(ServerDirectory + QStringLiteral("/chunks"));
    for (TFile &File : Package.files) {
        File.chunks.clear();
        std::vector<QByteArray> Pieces;
        for (const auto &Piece : Chunker.chunkBuffer(File.content, false))
            Pieces.push_back(File.content.mid(int(Piece.offset), int(Piece.length)));
        for (const QByteArray &Piece : Pieces)
            File.chunks.push_back(QString::fromLatin1(::shared::sha256(Piece).toHex()));
        std::vector<int> New;
        for (int Index = 0; Index < int(Pieces.size()); ++Index) {
            if (!Package.chunks.count(File.chunks[std::size_t(Index)]))
                New.push_back(Index);
        }
        std::vector<QByteArray> Packed(New.size());
        std::vector<std::size_t> Slots(New.size());
        for (std::size_t Index = 0; Index < Slots.size(); ++Index)
            Slots[Index] = Index;
        QtConcurrent::blockingMap(Slots, [&](std::size_t Slot) {
            Packed[Slot] = ::shared::encodeBlobContainer(Pieces[std::size_t(New[Slot])],
                                                         ::shared::BlobCodecLzma, 0);
        });
        for (std::size_t Index = 0; Index < New.size(); ++Index) {
            TChunk Chunk;
            Chunk.hash = File.chunks[std::size_t(New[Index])];
            Chunk.unpackedSize = Pieces[std::size_t(New[Index])].size();
            Chunk.packedSize = Packed[Index].size();
            Chunk.headerLength = containerHeaderLength(Packed[Index]);
            QFile Out(ServerDirectory + QStringLiteral("/chunks/") + Chunk.hash);
            if (Out.open(QIODevice::WriteOnly))
                Out.write(Packed[Index]);
            Package.chunks[Chunk.hash] = Chunk;
        }
    }
    Package.totalBytes = 0;
    for (const TFile &File : Package.files)
        Package.totalBytes += File.content.size();
}

QByteArray packageJson(const TPublished &Package, const QString &Version)
{
    std::map<QString, int> IndexOf;
    QJsonArray Chunks;
    for (const auto &[Hash, Chunk] : Package.chunks) {
        IndexOf[Hash] = Chunks.size();
        Chunks.append(
            QJsonObject{{QStringLiteral("url"), QString(QStringLiteral("chunks/") + Hash)},
                        {QStringLiteral("packedsize"), QString::number(Chunk.packedSize)},
                        {QStringLiteral("unpackedsize"), QString::number(Chunk.unpackedSize)},
                        {QStringLiteral("unpackedhash"), Hash}});
    }
    QJsonArray Files;
    for (const TFile &File : Package.files) {
        QJsonArray Indices;
        for (const QString &Hash : File.chunks)
            Indices.append(IndexOf[Hash]);
        Files.append(
            QJsonObject{{QStringLiteral("localfile"), File.name},
                        {QStringLiteral("unpackedsize"), QString::number(File.content.size())},
                        {QStringLiteral("unpackedhash"),
                         QString::fromLatin1(::shared::sha256(File.content).toHex())},
                        {QStringLiteral("chunks"), Indices}});
    }
    return QJsonDocument(QJsonObject{{QStringLiteral("version"), Version},
                                     {QStringLiteral("executable"), QStringLiteral("bin/client")},
                                     {QStringLiteral("chunks"), Chunks},
                                     {QStringLiteral("files"), Files}})
        .toJson(QJsonDocument::Compact);
}

// Child: serves a directory on loopback until killed; prints its port.
int serve(const QString &Directory)
{
    testsupport::TTestHttpServer Server;
    Server.serveDirectory(Directory);
    std::printf("%u\n", unsigned(Server.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

// Child: installs or updates the package from Json into Root; prints "<ms> <peak KiB> <ok>".
int install(const QString &Root, const QString &JsonPath, const QUrl &Base)
{
    QFile Json(JsonPath);
    if (!Json.open(QIODevice::ReadOnly))
        return 2;
    const TPackageConfigurationReader Configuration(Json.readAll(), QByteArray(), Base, Base);
    const auto Package =
        TTestPackageBuilder::makePackage(QStringLiteral("Bench"), 0, &Configuration);
    const auto Helper = std::make_shared<TLauncherFilesystemHelper>(Root);
    TInstallationManager Manager(nullptr, Helper);
    bool Succeeded = false;
    QObject::connect(&Manager, &TInstallationManager::installationOrUpdateFinished, &Manager,
                     [&Succeeded](const TPackageInstallation &Installation) {
                         Succeeded = Installation.succeeded();
                     });
    QObject::connect(&Manager, &TInstallationManager::allStartedUpdatesFinished, &Manager,
                     [] { QCoreApplication::quit(); });
    QElapsedTimer Timer;
    Timer.start();
    Manager.installOrUpdatePackage(Package);
    QCoreApplication::exec();
    rusage Usage{};
    getrusage(RUSAGE_SELF, &Usage);
    std::printf("%lld %ld %d\n", Timer.elapsed(), Usage.ru_maxrss, Succeeded ? 1 : 0);
    return 0;
}

struct TRun
{
    double seconds = 0;
    long peakKiB = 0;
    bool ok = false;
};

TRun runInstall(const QString &Program, const QString &Root, const QString &Json,
                const QString &Base)
{
    QProcess Child;
    Child.setProcessChannelMode(QProcess::SeparateChannels);
    Child.setStandardErrorFile(QProcess::nullDevice());
    Child.start(Program, {QStringLiteral("--install"), Root, Json, Base});
    Child.waitForFinished(-1);
    const QList<QByteArray> Fields = Child.readAllStandardOutput().trimmed().split(' ');
    TRun Run;
    if (Fields.size() == 3) {
        Run.seconds = Fields[0].toDouble() / 1000.0;
        Run.peakKiB = Fields[1].toLong();
        Run.ok = Fields[2] == "1";
    }
    return Run;
}

// The baseline: fetch the listed chunks, unpack, hash, and assemble every file.
double runBaseline(const TPublished &Package, const std::set<QString> &Fetch, const QString &Base,
                   const QString &Work, const QString &Previous, int Jobs)
{
    QDir().mkpath(Work + QStringLiteral("/dl"));
    QDir().mkpath(Work + QStringLiteral("/un"));
    QDir().mkpath(Work + QStringLiteral("/out"));
    QFile Config(Work + QStringLiteral("/curl.cfg"));
    QFile List(Work + QStringLiteral("/chunks.txt"));
    if (!Config.open(QIODevice::WriteOnly) || !List.open(QIODevice::WriteOnly))
        return -1;
    for (const QString &Hash : Fetch) {
        Config.write(QStringLiteral("url = \"%1chunks/%2\"\noutput = \"%3/dl/%2\"\n")
                         .arg(Base, Hash, Work)
                         .toUtf8());
        List.write(QStringLiteral("%1 %2\n")
                       .arg(Hash)
                       .arg(Package.chunks.at(Hash).headerLength + 1)
                       .toUtf8());
    }
    Config.close();
    List.close();
    QString Script =
        QStringLiteral("set -e; cd '%1'; curl -s --parallel --parallel-max 10 -K curl.cfg; "
                       "xargs -P %2 -n 2 sh -c 'tail -c +$1 dl/$0 | xz --format=lzma -d > un/$0' "
                       "< chunks.txt; cut -d' ' -f1 chunks.txt | sed 's,^,un/,' | "
                       "xargs -P %2 -n 16 sha256sum > sums.txt; ")
            .arg(Work)
            .arg(Jobs);
    for (const TFile &File : Package.files) {
        QStringList Parts;
        for (const QString &Hash : File.chunks)
            Parts << (Fetch.count(Hash) ? QStringLiteral("un/")
                                        : Previous + QStringLiteral("/un/")) +
                         Hash;
        QDir().mkpath(QFileInfo(Work + QStringLiteral("/out/") + File.name).absolutePath());
        Script +=
            QStringLiteral("cat %1 > 'out/%2'; ").arg(Parts.join(QLatin1Char(' ')), File.name);
    }
    QElapsedTimer Timer;
    Timer.start();
    QProcess::execute(QStringLiteral("sh"), {QStringLiteral("-c"), Script});
    return double(Timer.elapsed()) / 1000.0;
}

bool installedCorrectly(const TPublished &Package, const QString &Directory)
{
    for (const TFile &File : Package.files) {
        if (::shared::TSha256::hashFile(Directory + QLatin1Char('/') + File.name) !=
            ::shared::sha256(File.content))
            return false;
    }
    return true;
}

void report(const char *What, const TRun &Run, double Serial, double Parallel, qint64 Bytes)
{
    std::printf("%-7s launcher %6.2f s %6.1f MB/s peak RSS %5.0f MiB %s\n", What, Run.seconds,
                double(Bytes) / 1e6 / Run.seconds, double(Run.peakKiB) / 1024.0,
                Run.ok ? "ok" : "FAILED");
    std::printf("%-7s baseline, one xz at a time %6.2f s %6.1f MB/s ratio %.2fx\n", What, Serial,
                double(Bytes) / 1e6 / Serial, Serial / Run.seconds);
    std::printf("%-7s baseline, two xz at a time %6.2f s %6.1f MB/s ratio %.2fx\n", What, Parallel,
                double(Bytes) / 1e6 / Parallel, Parallel / Run.seconds);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication Application(argc, argv);
    const QStringList Arguments = QCoreApplication::arguments();
    if (Arguments.size() == 3 && Arguments[1] == QLatin1String("--serve"))
        return serve(Arguments[2]);
    if (Arguments.size() == 5 && Arguments[1] == QLatin1String("--install"))
        return install(Arguments[2], Arguments[3], QUrl(Arguments[4]));

    QCommandLineParser Parser;
    Parser.addOption({QStringLiteral("size-mib"), QStringLiteral("Package size."),
                      QStringLiteral("MiB"), QStringLiteral("512")});
    Parser.addOption(
        {QStringLiteral("work"), QStringLiteral("Work directory."), QStringLiteral("dir")});
    Parser.process(Application);
    QTemporaryDir Temporary;
    const QString Work = Parser.isSet(QStringLiteral("work")) ? Parser.value(QStringLiteral("work"))
                                                              : Temporary.path();
    const qint64 Total = Parser.value(QStringLiteral("size-mib")).toLongLong() * MiB;

    // Sixteen files, alternately incompressible and text-like.
    TPublished Package;
    const int FileCount = 16;
    for (int Index = 0; Index < FileCount; ++Index) {
        Package.files.push_back(
            {QStringLiteral("data/file%1.pak").arg(Index, 2, 10, QLatin1Char('0')),
             fileContent(Index, Total / FileCount, quint32(Index)),
             {}});
    }
    QElapsedTimer Timer;
    Timer.start();
    const QString ServerDirectory = Work + QStringLiteral("/cdn");
    publish(Package, ServerDirectory);
    {
        QFile Json(ServerDirectory + QStringLiteral("/v1.json"));
        Json.open(QIODevice::WriteOnly);
        Json.write(packageJson(Package, QStringLiteral("1")));
    }
    std::printf("generated %lld MiB in %zu chunks (%.1f s)\n", Package.totalBytes / MiB,
                Package.chunks.size(), double(Timer.elapsed()) / 1000.0);

    QProcess Server;
    Server.start(QCoreApplication::applicationFilePath(),
                 {QStringLiteral("--serve"), ServerDirectory});
    Server.waitForReadyRead(10000);
    const QString Base = QStringLiteral("http://127.0.0.1:%1/")
                             .arg(QString::fromLatin1(Server.readLine().trimmed()));

    const QString Root = Work + QStringLiteral("/launcher");
    const QString Installed = Root + QStringLiteral("/packages/bench");
    TRun Fresh = runInstall(QCoreApplication::applicationFilePath(), Root,
                            ServerDirectory + QStringLiteral("/v1.json"), Base);
    Fresh.ok = Fresh.ok && installedCorrectly(Package, Installed);
    std::set<QString> All;
    for (const auto &Entry : Package.chunks)
        All.insert(Entry.first);
    const double FreshSerial =
        runBaseline(Package, All, Base, Work + QStringLiteral("/base1"), QString(), 1);
    const double FreshParallel =
        runBaseline(Package, All, Base, Work + QStringLiteral("/base1p"), QString(), 2);
    report("install", Fresh, FreshSerial, FreshParallel, Package.totalBytes);

    // 10% of the content changes: a region in the middle of some files.
    const std::set<QString> Before = All;
    const qint64 Region = Total / 10 / 3;
    for (int Index : {0, 5, 10}) {
        QByteArray &Content = Package.files[std::size_t(Index)].content;
        Content.replace(int(Content.size() / 4), int(Region),
                        fileContent(Index, Region, quint32(100 + Index)));
    }
    publish(Package, ServerDirectory);
    {
        QFile Json(ServerDirectory + QStringLiteral("/v2.json"));
        Json.open(QIODevice::WriteOnly);
        Json.write(packageJson(Package, QStringLiteral("2")));
    }
    std::set<QString> Changed;
    for (const TFile &File : Package.files) {
        for (const QString &Hash : File.chunks) {
            if (!Before.count(Hash))
                Changed.insert(Hash);
        }
    }
    TRun Update = runInstall(QCoreApplication::applicationFilePath(), Root,
                             ServerDirectory + QStringLiteral("/v2.json"), Base);
    Update.ok = Update.ok && installedCorrectly(Package, Installed);
    const double UpdateSerial = runBaseline(Package, Changed, Base, Work + QStringLiteral("/base2"),
                                            Work + QStringLiteral("/base1"), 1);
    const double UpdateParallel =
        runBaseline(Package, Changed, Base, Work + QStringLiteral("/base2p"),
                    Work + QStringLiteral("/base1p"), 2);
    std::printf("update: %zu of %zu chunks new\n", Changed.size(), Package.chunks.size());
    report("update", Update, UpdateSerial, UpdateParallel, Package.totalBytes);

    Server.kill();
    Server.waitForFinished();
    return Fresh.ok && Update.ok ? 0 : 1;
}
