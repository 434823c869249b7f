// corvane-publish: publishes packages for the launcher and writes its metadata document.

#include "ConsoleOutput.h"
#include "TCommandLine.h"
#include "TMetadataWriter.h"
#include "TPackagePublisher.h"
#include "TProgressLine.h"
#include "TPublishError.h"
#include "TReleaseSigner.h"
#include "TerminalDetection.h"

#include "format/TSha256.h"
#include "format/TTextError.h"

#include <QCoreApplication>
#include <QDir>
#include <QThreadPool>

#include <cstdio>

using namespace vorna::publisher;

namespace {

constexpr int ExitFailure = 1; // bad input or a failed write

// One command of the program: its name, the line of the command list, and what runs it.
struct TCommand
{
    const char *name;
    const char *summary;
    int (*run)(const QStringList &Arguments);
};

int runPackage(const QStringList &Arguments);
int runMetadata(const QStringList &Arguments);
int runKeygen(const QStringList &Arguments);

const TCommand Commands[] = {
    {"package", "publish a directory as a package (documents and chunk store)", runPackage},
    {"metadata", "write the launcher metadata document from a description file", runMetadata},
    {"keygen", "write a new signing key and print its public key", runKeygen},
};

QString programUsage()
{
    QString text = QStringLiteral("Usage: corvane-publish <command> [options]\n\nCommands:\n");
    for (const TCommand &command : Commands)
        text += QStringLiteral("  %1  %2\n")
                    .arg(QString::fromLatin1(command.name).leftJustified(9),
                         QLatin1String(command.summary));
    text +=
        QStringLiteral("\nRun 'corvane-publish <command> --help' for the options of a command.\n");
    return text;
}

int programUsageError(const QString &Message)
{
    err() << "corvane-publish: " << Message << "\n" << programUsage();
    err().flush();
    return ExitUsage;
}

int reportFailure(const std::exception &Error)
{
    err() << "corvane-publish: " << ::shared::errorText(Error) << '\n';
    err().flush();
    return ExitFailure;
}

// Reads the options of the package command; false when the run ends here, with ExitCode set.
bool readPackageOptions(const QStringList &Arguments, TPublishOptions &Options, int &ExitCode)
{
    TCommandLine commandLine(
        QStringLiteral("package"),
        QStringLiteral("Publishes a directory as a package for the launcher."));
    const auto source = commandLine.addRequired(QStringLiteral("source"),
                                                QStringLiteral("Directory of the package files."),
                                                QStringLiteral("dir"));
    const auto output = commandLine.addRequired(
        QStringLiteral("out"),
        QStringLiteral("Directory the documents are written to; serve it as it is."),
        QStringLiteral("dir"));
    const auto version = commandLine.addRequired(
        QStringLiteral("version"), QStringLiteral("Package version text."), QStringLiteral("text"));
    const auto executable = commandLine.add(
        QStringLiteral("executable"),
        QStringLiteral("Client program, a file of the source directory given relative to it. "
                       "Without it the launcher installs the package but cannot start it."),
        QStringLiteral("relpath"));
    const auto parameter = commandLine.add(
        QStringLiteral("parameter"),
        QStringLiteral("Client start parameter (repeatable; write --parameter=-x for values "
                       "starting with a dash)."),
        QStringLiteral("arg"));
    const auto generation =
        commandLine.add(QStringLiteral("generation"), QStringLiteral("first or second."),
                        QStringLiteral("generation"));
    const auto variant = commandLine.add(QStringLiteral("variant"),
                                         QStringLiteral("regular, preview, beta or test."),
                                         QStringLiteral("variant"));
    const auto assets =
        commandLine.add(QStringLiteral("assets"), QStringLiteral("Directory of the asset files."),
                        QStringLiteral("dir"));
    const auto assetsVersion = commandLine.add(
        QStringLiteral("assets-version"),
        QStringLiteral("Asset version number, required with --assets."), QStringLiteral("n"));
    const auto chunkStore =
        commandLine.add(QStringLiteral("chunk-store"),
                        QStringLiteral("Chunk store directory (default: chunks/ inside --out)."),
                        QStringLiteral("dir"));
    const auto codec = commandLine.add(
        QStringLiteral("codec"),
        QStringLiteral("Chunk compression: zstd (default) or lzma. The launcher's own package "
                       "(--launcher) is always lzma."),
        QStringLiteral("codec"));
    const auto level = commandLine.add(
        QStringLiteral("level"),
        QStringLiteral("Compression level: zstd 1-19 (default %1), lzma preset 0-9 (default %2).")
            .arg(TPublishOptions::DefaultZstdLevel)
            .arg(TPublishOptions::DefaultLzmaLevel),
        QStringLiteral("n"));
    const auto launcher = commandLine.add(
        QStringLiteral("launcher"),
        QStringLiteral("The package is the launcher's own: its chunks are compressed with lzma, "
                       "which every launcher reads, so that old launchers can update themselves."));
    const auto signingKey = commandLine.add(
        QStringLiteral("signing-key"),
        QStringLiteral("Sign the documents with this private key (repeatable, for key rotation)."),
        QStringLiteral("file"));
    const auto packageName = commandLine.add(
        QStringLiteral("package-name"),
        QStringLiteral("Name of the package in the launcher metadata (needed to sign)."),
        QStringLiteral("name"));
    const auto deltaVersions = commandLine.add(
        QStringLiteral("delta-versions"),
        QStringLiteral("Make deltas against this many earlier versions (default 3, 0: none)."),
        QStringLiteral("n"));
    commandLine.addExample(
        QStringLiteral("corvane-publish package --source build/win64 --out site/client/win64 \\\n"
                       "      --version 1.4.2 --executable bin/corvane.exe --parameter=-windowed"));
    if (!commandLine.parse(Arguments, ExitCode))
        return false;
    const QCommandLineParser &parser = commandLine.parser();
    const auto refuse = [&](const QString &Text) {
        ExitCode = commandLine.usageError(Text);
        return false;
    };
    if (parser.isSet(executable) && parser.value(executable).isEmpty())
        return refuse(QStringLiteral("--executable needs the path of a file"));

    Options.sourceDirectory = parser.value(source);
    Options.outputDirectory = parser.value(output);
    Options.version = parser.value(version);
    Options.executable = parser.value(executable);
    Options.parameters = parser.values(parameter);
    Options.generation = parser.value(generation);
    Options.variant = parser.value(variant);
    Options.assetsDirectory = parser.value(assets);
    Options.assetsVersion = parser.value(assetsVersion);
    Options.chunkStoreDirectory = parser.value(chunkStore);
    Options.signingKeyFiles = parser.values(signingKey);
    Options.packageName = parser.value(packageName);
    Options.launcherPackage = parser.isSet(launcher);
    const QString codecName = parser.value(codec);
    if (codecName == QStringLiteral("lzma") || (codecName.isEmpty() && Options.launcherPackage)) {
        Options.codec = EChunkCodec::Lzma;
    } else if (codecName.isEmpty() || codecName == QStringLiteral("zstd")) {
        Options.codec = EChunkCodec::Zstd;
    } else {
        return refuse(QStringLiteral("--codec is zstd or lzma"));
    }
    if (!commandLine.number(level, Options.compressionLevel))
        return refuse(QStringLiteral("--level needs a number"));
    if (!commandLine.number(deltaVersions, Options.deltaVersions))
        return refuse(QStringLiteral("--delta-versions needs a number"));
    return true;
}

// What a publication did, on standard output.
void printPublishReport(const TPublishReport &Report)
{
    const QString rate = rateText(Report.bytes, Report.milliseconds);
    out() << "Published " << Report.files << (Report.files == 1 ? " file, " : " files, ")
          << sizeText(double(Report.bytes)) << ", in " << durationText(Report.milliseconds)
          << (rate.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rate)) << '\n'
          << "Chunks: " << Report.chunksTotal << " total, " << Report.chunksNew << " new ("
          << Report.chunksStored << " stored uncompressed)\n"
          << "Compression: " << Report.compression << '\n'
          << "New bytes: " << sizeText(double(Report.bytesNew)) << " to download ("
          << sizeText(double(Report.unpackedBytesNew)) << " unpacked)\n"
          << "Deltas: " << Report.deltasTotal << " offered, " << Report.deltasNew << " new, "
          << sizeText(double(Report.deltaBytesNew)) << ", in "
          << durationText(Report.deltaMilliseconds) << " ("
          << (Report.milliseconds > 0 ? 100 * Report.deltaMilliseconds / Report.milliseconds : 0)
          << " % of the run)\n"
          << "Packs: " << Report.packsNew << " new, " << sizeText(double(Report.packBytesNew))
          << '\n'
          << "Package document: " << QDir::toNativeSeparators(Report.packageDocumentPath) << '\n';
    if (!Report.assetDocumentPath.isEmpty())
        out() << "Asset document: " << QDir::toNativeSeparators(Report.assetDocumentPath) << '\n';
}

int runPackage(const QStringList &Arguments)
{
    TPublishOptions options;
    int exitCode = 0;
    if (!readPackageOptions(Arguments, options, exitCode))
        return exitCode;
    TPackagePublisher publisher(options);
    TProgressLine progress;
    if (standardErrorIsTerminal()) {
        publisher.setProgressHandler([&progress](const QString &Stage, qint64 Done, qint64 Total) {
            progress.show(Stage, Done, Total);
        });
    }
    try {
        const TPublishReport report = publisher.publish();
        printPublishReport(report);
        out().flush();
        if (options.executable.isEmpty()) {
            err() << "corvane-publish: warning: the package names no executable (--executable): "
                     "the launcher installs it but cannot start it\n";
            err().flush();
        }
        if (!report.caseCollisions.isEmpty()) {
            err() << "corvane-publish: warning: names that differ only in letter case, one file "
                     "on Windows, where the launcher refuses the package: "
                  << report.caseCollisions.join(QStringLiteral(", ")) << '\n';
            err().flush();
        }
        return 0;
    } catch (const std::exception &Error) {
        return reportFailure(Error);
    }
}

int runMetadata(const QStringList &Arguments)
{
    TCommandLine commandLine(
        QStringLiteral("metadata"),
        QStringLiteral("Writes the launcher metadata document from a description file (see "
                       "tools/publisher/README.md)."));
    const auto description =
        commandLine.addRequired(QStringLiteral("description"),
                                QStringLiteral("Description file (JSON)."), QStringLiteral("file"));
    const auto output = commandLine.addRequired(QStringLiteral("out"),
                                                QStringLiteral("Metadata document to write."),
                                                QStringLiteral("file"));
    const auto signingKey = commandLine.add(
        QStringLiteral("signing-key"),
        QStringLiteral("Sign the document with this private key (repeatable, for key rotation)."),
        QStringLiteral("file"));
    const auto validDays = commandLine.add(
        QStringLiteral("valid-days"),
        QStringLiteral("Signed metadata expires after this many days (default: 30, at most "
                       "3650)."),
        QStringLiteral("n"));
    const auto site = commandLine.add(
        QStringLiteral("site"),
        QStringLiteral("Address the launchers fetch this metadata from; signed metadata then "
                       "passes only there."),
        QStringLiteral("url"));
    commandLine.addExample(
        QStringLiteral("corvane-publish metadata --description studio/launcher.json "
                       "--out site/launchermetadata.json"));
    int exitCode = 0;
    if (!commandLine.parse(Arguments, exitCode))
        return exitCode;
    const QCommandLineParser &parser = commandLine.parser();
    int days = 0;
    if (parser.isSet(validDays)) {
        if (!commandLine.number(validDays, days) || days <= 0 ||
            days > TReleaseSigner::MaxValidDays)
            return commandLine.usageError(QStringLiteral("--valid-days needs a number from 1 to %1")
                                              .arg(TReleaseSigner::MaxValidDays));
        // Only signed metadata carries an expiry.
        if (!parser.isSet(signingKey))
            return commandLine.usageError(QStringLiteral("--valid-days needs --signing-key"));
    }
    if (parser.isSet(site)) {
        const QUrl address(parser.value(site), QUrl::StrictMode);
        if (!address.isValid() || address.isRelative() || address.host().isEmpty())
            return commandLine.usageError(QStringLiteral("--site needs an absolute address"));
        if (!parser.isSet(signingKey))
            return commandLine.usageError(QStringLiteral("--site needs --signing-key"));
    }
    try {
        TMetadataWriter::writeMetadata(
            parser.value(description), parser.value(output),
            TReleaseSigner(parser.values(signingKey), days, parser.value(site)));
        out() << "Launcher metadata: " << QDir::toNativeSeparators(parser.value(output)) << '\n';
        out().flush();
        return 0;
    } catch (const std::exception &Error) {
        return reportFailure(Error);
    }
}

int runKeygen(const QStringList &Arguments)
{
    TCommandLine commandLine(
        QStringLiteral("keygen"),
        QStringLiteral("Writes a new Ed25519 signing key and prints its public key for the "
                       "launcher build. Keep the key file off the servers."));
    const auto output = commandLine.addRequired(QStringLiteral("out"),
                                                QStringLiteral("Private key file to create."),
                                                QStringLiteral("file"));
    commandLine.addExample(QStringLiteral("corvane-publish keygen --out studio/release-key.pem"));
    int exitCode = 0;
    if (!commandLine.parse(Arguments, exitCode))
        return exitCode;
    try {
        out() << TReleaseSigner::generateKey(commandLine.parser().value(output)) << '\n';
        out().flush();
        return 0;
    } catch (const std::exception &Error) {
        return reportFailure(Error);
    }
}

int run(QStringList Arguments)
{
    const QString command = Arguments.value(1);
    if (Arguments.size() > 1)
        Arguments.removeAt(1);
    for (const TCommand &known : Commands) {
        if (command == QLatin1String(known.name))
            return known.run(Arguments);
    }
    if (command == QLatin1String("--help") || command == QLatin1String("-h")) {
        out() << programUsage();
        out().flush();
        return 0;
    }
    if (command.isEmpty())
        return programUsageError(QStringLiteral("Missing command"));
    return programUsageError(QStringLiteral("Unknown command '%1'").arg(command));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-publish"));
    // The first hash initialises the crypto library, which keeps state of the thread that did
    // it. Done here, on the main thread, no pool worker holds library state that would have to
    // be released while the library's exit handlers run.
    ::shared::sha256(QByteArray());
    const int exitCode = run(QCoreApplication::arguments());
    // The pool's threads must be gone before static destructors and OpenSSL's exit handlers run:
    // a worker still ending while they do crashes the process after a successful run.
    QThreadPool::globalInstance()->waitForDone();
    return exitCode;
}
