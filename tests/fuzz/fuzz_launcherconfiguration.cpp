// The launcher metadata reader: the first document the launcher downloads, and the one that names
// every package, its installation directory and the addresses of everything else.
//
// Input: the metadata document. TLauncherConfigurationException (not JSON) is the one failure the
// reader may report; any other exception or crash is a finding.

#include "FuzzSupport.h"

#include "configuration/TLauncherConfigurationException.h"
#include "packages/TLauncherConfigurationReader.h"
#include "packages/TPackageConfigurationReader.h"
#include "shared/TFileSystemHelper.h"

#include <QDir>
#include <QUrl>

#include <algorithm>
#include <memory>

using namespace vorna::launcher;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::silenceQtMessages();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size)
{
    const QByteArray document = fuzz::bytes(Data, Size);
    static const QUrl base(QStringLiteral("https://www.example.invalid/launcher/"));
    std::unique_ptr<TLauncherConfigurationReader> reader;
    try {
        reader = std::make_unique<TLauncherConfigurationReader>(document, base);
    } catch (const TLauncherConfigurationException &) {
        return 0;
    }

    fuzz::check(reader->rawDocument() == document, "raw document not kept unchanged");
    if (reader->launcherPackage())
        fuzz::check(reader->launcherPackage()->isLauncherPackage(),
                    "launcher entry without the launcher index");
    const auto &packages = reader->packages();
    static const shared::TFileSystemHelper helper;
    static const QDir packagesDirectory(QStringLiteral("/srv/corvane/packages"));
    static const QString packagesBase = QDir::cleanPath(packagesDirectory.absolutePath());
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const TPackage &package = *packages[i];
        fuzz::check(package.index() == int(i), "package index is not its position");
        fuzz::checkConfined(helper.filePathInDirectory(packagesDirectory, package.directoryName()),
                            packagesBase, package.directoryName());
        for (const auto &build : package.builds())
            fuzz::check(build != nullptr && build->configuration == nullptr,
                        "build arrives with a configuration");
        package.selectBuildForRunningPlatform();
    }

    // Nothing has been downloaded yet, so no package can be available; attaching an (empty)
    // configuration to the running platform's build makes exactly those packages available.
    fuzz::check(reader->availablePackages().empty(), "package available without configuration");
    std::size_t withBuild = 0;
    for (const auto &package : packages) {
        if (TPackageBuild *build = package->selectBuildForRunningPlatform()) {
            build->configuration = std::make_unique<TPackageConfigurationReader>();
            ++withBuild;
        }
    }
    const auto available = reader->availablePackages();
    fuzz::check(available.size() == withBuild, "available packages do not match their builds");
    for (const auto &package : available)
        fuzz::check(std::find(packages.begin(), packages.end(), package) != packages.end(),
                    "available package not among the packages");
    return 0;
}
