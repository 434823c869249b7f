// corvane-publish: publishes packages for the launcher and writes its metadata document.

#include "TMetadataWriter.h"
#include "TPackagePublisher.h"
#include "TPublishError.h"
#include "TReleaseSigner.h"
#include "TerminalDetection.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <cstdio>

using namespace vorna::publisher;

namespace {

constexpr int ExitFailure = 1; // bad input or a failed write
constexpr int ExitUsage = 2;   // the command line itself is wrong

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString mebibytes(qint64 Bytes)
{
    return QString::number(double(Bytes) / (1024.0 * 1024.0), 'f', 1) + QStringLiteral(" MiB");
}

const char *const Usage =
    "Usage: corvane-publish <command> [options]\n"
    "\n"
    "Commands:\n"
    "  package   publish a directory as a package document, an optional asset document and\n"
    "            their chunks in a chunk store\n"
    "  metadata  write the launcher metadata document from a description file\n"
    "  keygen    write a new signing key and print its public key\n"
    "\n"
    "Run 'corvane-publish <command> --help' for the options of a command.\n";

int usageError(const QString &Message)
{
    err() << "corvane-publish: " << Message << "\n" << Usage;
    err().flush();
    return ExitUsage;
}

// Parses the options of a command; on a wrong command line prints why and returns false.
bool parseCommandLine(QCommandLineParser &Parser, const QStringList &Arguments, int &ExitCode)
{
    Parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    Parser.addOption(help);
    if (!Parser.parse(Arguments)) {
        ExitCode = usageError(Parser.errorText());
        return false;
    }
    if (Parser.isSet(help)) {
        out() << Parser.helpText();
        out().flush();
        ExitCode = 0;
        return false;
    }
    if (!Parser.positionalArguments().isEmpty()) {
        ExitCode = usageError(QStringLiteral("Unexpected argument '%1'")
                                  .arg(Parser.positionalArguments().constFirst()));
        return false;
    }
    return true;
}

int runPackage(const QStringList &Arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Publishes a directory as a package for the launcher."));
    const auto option = [&parser](const QString &Name, const QString &Text, const QString &Value) {
        const QCommandLineOption created(Name, Text, Value);
        parser.addOption(created);
        return created;
    };
    const auto source =
        option(QStringLiteral("source"), QStringLiteral("Directory of the package files."),
               QStringLiteral("dir"));
    const auto output =
        option(QStringLiteral("out"), QStringLiteral("Directory the documents are written to."),
               QStringLiteral("dir"));
    const auto version = option(QStringLiteral("version"), QStringLiteral("Package version text."),
                                QStringLiteral("text"));
    const auto executable =
        option(QStringLiteral("executable"),
               QStringLiteral("Client program, relative to the source directory."),
               QStringLiteral("relpath"));
    const auto parameter =
        option(QStringLiteral("parameter"),
               QStringLiteral("Client start parameter (repeatable; write --parameter=-x for values "
                              "starting with a dash)."),
               QStringLiteral("arg"));
    const auto generation = option(QStringLiteral("generation"), QStringLiteral("first or second."),
                                   QStringLiteral("generation"));
    const auto variant =
        option(QStringLiteral("variant"), QStringLiteral("regular, preview, beta or test."),
               QStringLiteral("variant"));
    const auto assets =
        option(QStringLiteral("assets"), QStringLiteral("Directory of the asset files."),
               QStringLiteral("dir"));
    const auto assetsVersion = option(QStringLiteral("assets-version"),
                                      QStringLiteral("Asset version number."), QStringLiteral("n"));
    const auto chunkStore =
        option(QStringLiteral("chunk-store"),
               QStringLiteral("Chunk store directory (default: chunks/ inside --out)."),
               QStringLiteral("dir"));
    const auto level = option(QStringLiteral("level"),
                              QStringLiteral("LZMA preset 0-9 (default 6)."), QStringLiteral("n"));
    const auto signingKey = option(
        QStringLiteral("signing-key"),
        QStringLiteral("Sign the documents with this private key (repeatable, for key rotation)."),
        QStringLiteral("file"));
    const auto packageName =
        option(QStringLiteral("package-name"),
               QStringLiteral("Name of the package in the launcher metadata (needed to sign)."),
               QStringLiteral("name"));
    const auto deltaVersions = option(
        QStringLiteral("delta-versions"),
        QStringLiteral("Make deltas against this many earlier versions (default 3, 0: none)."),
        QStringLiteral("n"));
    int exitCode = 0;
    if (!parseCommandLine(parser, Arguments, exitCode))
        return exitCode;
    for (const QCommandLineOption &required : {source, output, version}) {
        if (!parser.isSet(required))
            return usageError(QStringLiteral("Missing --%1").arg(required.names().constFirst()));
    }

    TPublishOptions options;
    options.sourceDirectory = parser.value(source);
    options.outputDirectory = parser.value(output);
    options.version = parser.value(version);
    options.executable = parser.value(executable);
    options.parameters = parser.values(parameter);
    options.generation = parser.value(generation);
    options.variant = parser.value(variant);
    options.assetsDirectory = parser.value(assets);
    options.assetsVersion = parser.value(assetsVersion);
    options.chunkStoreDirectory = parser.value(chunkStore);
    options.signingKeyFiles = parser.values(signingKey);
    options.packageName = parser.value(packageName);
    if (parser.isSet(level)) {
        bool isNumber = false;
        options.compressionPreset = parser.value(level).toInt(&isNumber);
        if (!isNumber)
            return usageError(QStringLiteral("--level needs a number from 0 to 9"));
    }

    if (parser.isSet(deltaVersions)) {
        bool isNumber = false;
        options.deltaVersions = parser.value(deltaVersions).toInt(&isNumber);
        if (!isNumber)
            return usageError(QStringLiteral("--delta-versions needs a number"));
    }

    TPackagePublisher publisher(options);
    if (standardErrorIsTerminal()) {
        publisher.setProgressHandler([](const QString &Stage, qint64 Done, qint64 Total) {
            const int percent = Total > 0 ? int(Done * 100 / Total) : 100;
            err() << '\r' << Stage << ' ' << percent << "% (" << mebibytes(Done) << " of "
                  << mebibytes(Total) << ")   ";
            if (Done >= Total)
                err() << '\n';
            err().flush();
        });
    }
    try {
        const TPublishReport report = publisher.publish();
        const double seconds = double(report.milliseconds) / 1000.0;
        out() << "Published " << report.files << " files, " << mebibytes(report.bytes) << ", in "
              << QString::number(seconds, 'f', 1) << " s ("
              << QString::number(seconds > 0 ? double(report.bytes) / 1e6 / seconds : 0.0, 'f', 1)
              << " MB/s)\n"
              << "Chunks: " << report.chunksTotal << " total, " << report.chunksNew << " new ("
              << report.chunksStored << " stored uncompressed)\n"
              << "New bytes: " << mebibytes(report.bytesNew) << " to download ("
              << mebibytes(report.unpackedBytesNew) << " unpacked)\n"
              << "Deltas: " << report.deltasTotal << " offered, " << report.deltasNew << " new, "
              << mebibytes(report.deltaBytesNew) << "\n"
              << "Package document: " << QDir::toNativeSeparators(report.packageDocumentPath)
              << '\n';
        if (!report.assetDocumentPath.isEmpty())
            out() << "Asset document: " << QDir::toNativeSeparators(report.assetDocumentPath)
                  << '\n';
        out().flush();
        return 0;
    } catch (const std::exception &Error) {
        err() << "corvane-publish: " << QString::fromLocal8Bit(Error.what()) << '\n';
        err().flush();
        return ExitFailure;
    }
}

int runMetadata(const QStringList &Arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes the launcher metadata document from a description file (see README.md)."));
    const QCommandLineOption description(QStringLiteral("description"),
                                         QStringLiteral("Description file (JSON)."),
                                         QStringLiteral("file"));
    const QCommandLineOption output(QStringLiteral("out"),
                                    QStringLiteral("Metadata document to write."),
                                    QStringLiteral("file"));
    const QCommandLineOption signingKey(
        QStringLiteral("signing-key"),
        QStringLiteral("Sign the document with this private key (repeatable, for key rotation)."),
        QStringLiteral("file"));
    const QCommandLineOption validDays(
        QStringLiteral("valid-days"),
        QStringLiteral("Signed metadata expires after this many days (default: never)."),
        QStringLiteral("n"));
    parser.addOption(description);
    parser.addOption(output);
    parser.addOption(signingKey);
    parser.addOption(validDays);
    int exitCode = 0;
    if (!parseCommandLine(parser, Arguments, exitCode))
        return exitCode;
    for (const QCommandLineOption &required : {description, output}) {
        if (!parser.isSet(required))
            return usageError(QStringLiteral("Missing --%1").arg(required.names().constFirst()));
    }
    int days = 0;
    if (parser.isSet(validDays)) {
        bool isNumber = false;
        days = parser.value(validDays).toInt(&isNumber);
        if (!isNumber || days <= 0)
            return usageError(QStringLiteral("--valid-days needs a positive number"));
        // Only signed metadata carries an expiry.
        if (!parser.isSet(signingKey))
            return usageError(QStringLiteral("--valid-days needs --signing-key"));
    }
    try {
        TMetadataWriter::writeMetadata(parser.value(description), parser.value(output),
                                       TReleaseSigner(parser.values(signingKey), days));
        out() << "Launcher metadata: " << QDir::toNativeSeparators(parser.value(output)) << '\n';
        out().flush();
        return 0;
    } catch (const std::exception &Error) {
        err() << "corvane-publish: " << QString::fromLocal8Bit(Error.what()) << '\n';
        err().flush();
        return ExitFailure;
    }
}

int runKeygen(const QStringList &Arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Writes a new Ed25519 signing key and prints its public key for the launcher build. Keep "
        "the key file off the servers."));
    const QCommandLineOption output(QStringLiteral("out"),
                                    QStringLiteral("Private key file to create."),
                                    QStringLiteral("file"));
    parser.addOption(output);
    int exitCode = 0;
    if (!parseCommandLine(parser, Arguments, exitCode))
        return exitCode;
    if (!parser.isSet(output))
        return usageError(QStringLiteral("Missing --out"));
    try {
        out() << TReleaseSigner::generateKey(parser.value(output)) << '\n';
        out().flush();
        return 0;
    } catch (const std::exception &Error) {
        err() << "corvane-publish: " << QString::fromLocal8Bit(Error.what()) << '\n';
        err().flush();
        return ExitFailure;
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-publish"));
    QStringList arguments = QCoreApplication::arguments();
    const QString command = arguments.value(1);
    if (arguments.size() > 1)
        arguments.removeAt(1);
    if (command == QLatin1String("package"))
        return runPackage(arguments);
    if (command == QLatin1String("metadata"))
        return runMetadata(arguments);
    if (command == QLatin1String("keygen"))
        return runKeygen(arguments);
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        out() << Usage;
        return 0;
    }
    if (command.isEmpty())
        return usageError(QStringLiteral("Missing command"));
    return usageError(QStringLiteral("Unknown command '%1'").arg(command));
}
