// A stand-in for the game client. It behaves as the launcher expects of a client: it announces
// itself through the client's running marker and keeps running for a while. Its arguments and
// working directory are written to a record file so tests can check how it was started.
//
// Options (everything else on the command line is recorded and otherwise ignored, as the launcher
// passes the package's start parameters and possibly "--package-is-up-to-date"):
//   --exit-after-ms N   end after N milliseconds (0 or less: run until terminated); default 5000
//   --no-marker         never create the running marker (a client that does not announce itself)
//   --help, -h          print the usage and exit, without a record or a marker
// The record goes to $CORVANE_DEMOCLIENT_RECORD, or "democlient-run.json" in the working directory.

#include "TerminationWatcher.h"
#include "shared/platform/TNamedFileMapping.h"

#include <QCoreApplication>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <stdexcept>

namespace {

const QByteArray clientRunningMarker =
    QByteArrayLiteral("Corvane-52f3fb16-0d45-45d4-978a-149b5692b074");
constexpr int defaultExitAfterMs = 5000;

const char *const usage =
    "Usage: corvane-democlient [--exit-after-ms N] [--no-marker] [other arguments]\n"
    "\n"
    "A stand-in for the game client. It writes how it was started (arguments, working directory,\n"
    "process id) to $CORVANE_DEMOCLIENT_RECORD or to democlient-run.json in the working\n"
    "directory, announces itself through the client's running marker as the launcher expects,\n"
    "and ends after a while or when terminated. Other arguments are recorded and ignored.\n"
    "\n"
    "Options:\n"
    "  --exit-after-ms N  end after N milliseconds (0 or less: run until terminated);\n"
    "                     default 5000\n"
    "  --no-marker        never create the running marker (a client that does not announce\n"
    "                     itself)\n"
    "  -h, --help         print this help and exit\n";

struct ClientOptions
{
    bool createMarker = true;
    int exitAfterMs = defaultExitAfterMs;
};

ClientOptions parseOptions(const QStringList &Arguments)
{
    const QString exitAfterOption = QStringLiteral("--exit-after-ms");
    const QString exitAfterPrefix = exitAfterOption + QLatin1Char('=');
    ClientOptions options;
    for (int i = 0; i < Arguments.size(); ++i) {
        const QString &argument = Arguments.at(i);
        if (argument == QLatin1String("--no-marker")) {
            options.createMarker = false;
            continue;
        }
        bool ok = false;
        if (argument == exitAfterOption && i + 1 < Arguments.size()) {
            // A following argument that is no number is somebody else's and stays unconsumed.
            const int milliseconds = Arguments.at(i + 1).toInt(&ok);
            if (ok) {
                options.exitAfterMs = milliseconds;
                ++i;
            }
        } else if (argument.startsWith(exitAfterPrefix)) {
            const int milliseconds = argument.mid(exitAfterPrefix.size()).toInt(&ok);
            if (ok)
                options.exitAfterMs = milliseconds;
        }
    }
    return options;
}

QString recordPath()
{
    const QString fromEnvironment = qEnvironmentVariable("CORVANE_DEMOCLIENT_RECORD");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
    return QDir::current().absoluteFilePath(QStringLiteral("democlient-run.json"));
}

bool writeRecord(const QString &Path, const QStringList &Arguments, const ClientOptions &Options)
{
    QJsonObject record;
    record.insert(QStringLiteral("program"), QCoreApplication::applicationFilePath());
    record.insert(QStringLiteral("arguments"), QJsonArray::fromStringList(Arguments));
    record.insert(QStringLiteral("workingDirectory"), QDir::current().absolutePath());
    record.insert(QStringLiteral("pid"), QCoreApplication::applicationPid());
    record.insert(QStringLiteral("marker"), Options.createMarker);
    QSaveFile file(Path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(QJsonDocument(record).toJson());
    return file.commit();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    // Asked for help, the client must not act like one: no record, no machine-wide marker.
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::fputs(usage, stdout);
        return 0;
    }
    const ClientOptions options = parseOptions(arguments);

    // The record comes first: once the marker exists the launcher may exit at once, and whoever
    // waited for it must then find the record complete.
    const QString path = recordPath();
    if (!writeRecord(path, arguments, options)) {
        std::fprintf(stderr, "corvane-democlient: cannot write %s\n", qPrintable(path));
        return 2;
    }

    std::unique_ptr<shared::TNamedFileMapping> marker;
    if (options.createMarker) {
        try {
            marker = std::make_unique<shared::TNamedFileMapping>(clientRunningMarker, true);
        } catch (const std::runtime_error &error) {
            std::fprintf(stderr, "corvane-democlient: %s\n", error.what());
            return 3;
        }
    }

    TerminationWatcher watcher;
    QObject::connect(&watcher, &TerminationWatcher::terminationRequested, &application,
                     &QCoreApplication::quit);
    if (options.exitAfterMs > 0)
        QTimer::singleShot(options.exitAfterMs, &application, &QCoreApplication::quit);
    const int exitCode = QCoreApplication::exec();
    marker.reset();
    return exitCode;
}
