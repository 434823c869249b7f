// Downloads the same files from a loopback server twice through the launcher's download pool:
// once without a cap (the baseline) and once with the bandwidth limiter set to a cap, and prints
// the bytes received in every second of the capped run, the rate over every 5-second window
// against the cap, and the time of both runs.
//
//     bench_ratecap [--cap-mb 20] [--size-mb 200] [--files 25]

#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TBandwidthLimiter.h"
#include "shared/TDownloadPool.h"
#include "support/TTestHttpServer.h"
#include "support/TTestPackageBuilder.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QNetworkAccessManager>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

using testsupport::TTestHttpServer;
using testsupport::TTestPackageBuilder;

namespace {

struct TRunResult
{
    double seconds = 0;
    qint64 bytes = 0;
    // Bytes received in each whole second of the run.
    std::vector<qint64> perSecond;
};

TRunResult download(TTestHttpServer &Server, const QStringList &Paths, qint64 Cap)
{
    auto Limiter = std::make_shared<::shared::TBandwidthLimiter>(Cap);
    ::shared::TDownloadPool Pool(10,
                                 std::make_shared<::shared::QNetworkAccessManagerWrapper>(
                                     std::make_shared<QNetworkAccessManager>()),
                                 nullptr, true);
    Pool.setMaxReplySize(0);
    Pool.setBandwidthLimiter(Limiter);
    QMap<QUrl, qint64> Received;
    TRunResult Result;
    QElapsedTimer Clock;
    qint64 LastTotal = 0;
    const auto total = [&Received] {
        qint64 Sum = 0;
        for (const qint64 Bytes : qAsConst(Received))
            Sum += Bytes;
        return Sum;
    };
    QTimer Sampler;
    Sampler.setInterval(1000);
    QObject::connect(&Sampler, &QTimer::timeout, [&] {
        const qint64 Total = total();
        Result.perSecond.push_back(Total - LastTotal);
        LastTotal = Total;
    });
    int Outstanding = Paths.size();
    QEventLoop Loop;
    QObject::connect(&Pool, &::shared::TDownloadPool::progress,
                     [&](const QUrl &Url, qlonglong Bytes) { Received[Url] = Bytes; });
    QObject::connect(&Pool, &::shared::TDownloadPool::success,
                     [&](const QUrl &Url, const QByteArray &Data) {
                         Received[Url] = Data.size();
                         if (--Outstanding == 0)
                             Loop.quit();
                     });
    QObject::connect(&Pool, &::shared::TDownloadPool::failed, [&](const QUrl &Url) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(Url.toString()));
        if (--Outstanding == 0)
            Loop.quit();
    });
    Clock.start();
    Sampler.start();
    for (const QString &Path : Paths)
        Pool.enqueue(Server.url(Path));
    Loop.exec();
    Result.seconds = double(Clock.nsecsElapsed()) / 1e9;
    Result.bytes = total();
    return Result;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication Application(argc, argv);
    QCommandLineParser Parser;
    Parser.addOption({QStringLiteral("cap-mb"), QStringLiteral("cap in MB/s"), QStringLiteral("mb"),
                      QStringLiteral("20")});
    Parser.addOption({QStringLiteral("size-mb"), QStringLiteral("bytes to fetch, in MB"),
                      QStringLiteral("mb"), QStringLiteral("200")});
    Parser.addOption({QStringLiteral("files"), QStringLiteral("number of files"),
                      QStringLiteral("n"), QStringLiteral("25")});
    Parser.process(Application);
    const qint64 Cap = qint64(Parser.value(QStringLiteral("cap-mb")).toDouble() * 1e6);
    const qint64 Size = qint64(Parser.value(QStringLiteral("size-mb")).toDouble() * 1e6);
    const int Files = std::max(1, Parser.value(QStringLiteral("files")).toInt());

    TTestHttpServer Server;
    QStringList Paths;
    for (int Index = 0; Index < Files; ++Index) {
        const QString Path = QStringLiteral("/file%1.bin").arg(Index);
        Server.setFile(Path, TTestPackageBuilder::randomBytes(Size / Files, quint32(Index)));
        Paths << Path;
    }

    const TRunResult Baseline = download(Server, Paths, 0);
    const TRunResult Capped = download(Server, Paths, Cap);

    std::printf("| Second | Received (MB) | Rate / cap |\n|---|---|---|\n");
    for (std::size_t Second = 0; Second < Capped.perSecond.size(); ++Second)
        std::printf("| %zu | %.1f | %.2f |\n", Second + 1, double(Capped.perSecond[Second]) / 1e6,
                    double(Capped.perSecond[Second]) / double(Cap));
    double Lowest = 1e9, Highest = 0;
    for (std::size_t First = 0; First + 5 <= Capped.perSecond.size(); ++First) {
        qint64 Window = 0;
        for (std::size_t Second = First; Second < First + 5; ++Second)
            Window += Capped.perSecond[Second];
        const double Ratio = double(Window) / 5.0 / double(Cap);
        Lowest = std::min(Lowest, Ratio);
        Highest = std::max(Highest, Ratio);
    }
    std::printf("\n| Run | Time | Rate | Ratio |\n|---|---|---|---|\n");
    std::printf("| no cap (baseline) | %.2f s | %.1f MB/s | 1.00 |\n", Baseline.seconds,
                double(Baseline.bytes) / 1e6 / Baseline.seconds);
    std::printf("| cap %.1f MB/s | %.2f s | %.1f MB/s | %.2f |\n", double(Cap) / 1e6,
                Capped.seconds, double(Capped.bytes) / 1e6 / Capped.seconds,
                Capped.seconds / Baseline.seconds);
    if (Highest > 0)
        std::printf("\nEvery whole 5 s window of the capped run: %.3f to %.3f times the cap; "
                    "expected time %.2f s\n",
                    Lowest, Highest, double(Size) / double(Cap));
    return 0;
}
