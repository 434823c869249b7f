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
    // Bytes received so far, sampled every quarter second, with the milliseconds since the start.
    std::vector<std::pair<qint64, qint64>> samples;
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
    const auto total = [&Received] {
        qint64 Sum = 0;
        for (const qint64 Bytes : qAsConst(Received))
            Sum += Bytes;
        return Sum;
    };
    QTimer Sampler;
    Sampler.setInterval(250);
    Sampler.setTimerType(Qt::PreciseTimer);
    QObject::connect(&Sampler, &QTimer::timeout,
                     [&] { Result.samples.emplace_back(Clock.elapsed(), total()); });
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

    // Rates between samples about a second (and five seconds) apart, from their own times: a
    // late sample does not show as a slow second followed by a fast one. Only spans inside the
    // transfer count, from its first byte to its last.
    const auto &Samples = Capped.samples;
    const auto spanRate = [&](std::size_t First, std::size_t Last) {
        return double(Samples[Last].second - Samples[First].second) /
               (double(Samples[Last].first - Samples[First].first) / 1000.0);
    };
    std::printf("| Time (s) | Received in the last second (MB) | Rate / cap |\n|---|---|---|\n");
    std::size_t Previous = 0;
    for (std::size_t Index = 1; Index < Samples.size(); ++Index) {
        if (Samples[Index].first - Samples[Previous].first < 1000)
            continue;
        std::printf("| %.1f | %.1f | %.2f |\n", double(Samples[Index].first) / 1000.0,
                    double(Samples[Index].second - Samples[Previous].second) / 1e6,
                    spanRate(Previous, Index) / double(Cap));
        Previous = Index;
    }
    double Lowest = 1e9, Highest = 0;
    for (std::size_t First = 0; First < Samples.size(); ++First) {
        if (Samples[First].second == 0)
            continue;
        for (std::size_t Last = First + 1; Last < Samples.size(); ++Last) {
            if (Samples[Last].second >= Capped.bytes)
                break;
            if (Samples[Last].first - Samples[First].first >= 5000) {
                const double Ratio = spanRate(First, Last) / double(Cap);
                Lowest = std::min(Lowest, Ratio);
                Highest = std::max(Highest, Ratio);
                break;
            }
        }
    }
    std::printf("\n| Run | Time | Rate | Ratio |\n|---|---|---|---|\n");
    std::printf("| no cap (baseline) | %.2f s | %.1f MB/s | 1.00 |\n", Baseline.seconds,
                double(Baseline.bytes) / 1e6 / Baseline.seconds);
    std::printf("| cap %.1f MB/s | %.2f s | %.1f MB/s | %.2f |\n", double(Cap) / 1e6,
                Capped.seconds, double(Capped.bytes) / 1e6 / Capped.seconds,
                Capped.seconds / Baseline.seconds);
    if (Highest > 0)
        std::printf("\nEvery 5 s window inside the capped transfer: %.3f to %.3f times the cap; "
                    "expected time %.2f s\n",
                    Lowest, Highest, double(Size) / double(Cap));
    return 0;
}
