#pragma once

#include "packages/TPackage.h"
#include "packages/TPackageBuild.h"
#include "packages/TPackageConfigurationReader.h"
#include "shared/QNetworkAccessManagerWrapper.h"
#include "shared/TDownloadPool.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>

#include <memory>

// Packages as the launcher metadata would describe them, with a build for the machine running the
// test and, unless told otherwise, a downloaded configuration of the given version.
namespace uitest {

inline QString runningOsText()
{
    switch (vorna::launcher::runningOperatingSystem()) {
    case vorna::launcher::EOperatingSystem::Windows:
        return QStringLiteral("windows");
    case vorna::launcher::EOperatingSystem::MacOS:
        return QStringLiteral("macos");
    default:
        return QStringLiteral("linux");
    }
}

inline QString runningArchitectureText()
{
    return vorna::launcher::runningArchitecture() == vorna::launcher::EArchitecture::I386
               ? QStringLiteral("i386")
               : QStringLiteral("x86_64");
}

struct TPackageOutline
{
    int index = 0;
    QString name = QStringLiteral("Corvane");
    vorna::launcher::ELocalPackageStatus status =
        vorna::launcher::ELocalPackageStatus::NotInstalled;
    QString version = QStringLiteral("1.2.3");
    QString logoLinkTarget;
    bool withBuild = true;
    bool withConfiguration = true;
    bool isDefault = false;
};

inline std::shared_ptr<vorna::launcher::TPackage> makePackage(const TPackageOutline &Outline)
{
    using namespace vorna::launcher;
    const QUrl base(QStringLiteral("http://127.0.0.1:1/metadata/"));
    QJsonObject entry{{QStringLiteral("name"), Outline.name},
                      {QStringLiteral("directoryname"), Outline.name.toLower()}};
    if (!Outline.logoLinkTarget.isEmpty())
        entry.insert(QStringLiteral("logolinktarget"), Outline.logoLinkTarget);
    if (Outline.withBuild) {
        entry.insert(
            QStringLiteral("builds"),
            QJsonArray{QJsonObject{{QStringLiteral("os"), runningOsText()},
                                   {QStringLiteral("architecture"), runningArchitectureText()},
                                   {QStringLiteral("url"), QStringLiteral("package.json")}}});
    }
    auto package = std::make_shared<TPackage>(Outline.index, entry, base);
    if (Outline.withBuild && Outline.withConfiguration) {
        const QByteArray document =
            QJsonDocument(QJsonObject{{QStringLiteral("version"), Outline.version}}).toJson();
        package->selectBuildForRunningPlatform()->configuration =
            std::make_unique<TPackageConfigurationReader>(document, QByteArray(), base, base);
    }
    package->setLocalPackageStatus(Outline.status);
    package->setDefault(Outline.isDefault);
    return package;
}

// A download pool like the application's: six at a time, slots freed on each outcome.
inline std::shared_ptr<::shared::TDownloadPool> makePool()
{
    auto access = std::make_shared<::shared::QNetworkAccessManagerWrapper>(
        std::make_shared<QNetworkAccessManager>());
    return std::make_shared<::shared::TDownloadPool>(6, access);
}

// Records the emissions of a signal that carries a package (and possibly a flag). QSignalSpy would
// need the shared pointer registered as a meta type, which the launcher itself never needs.
struct TPackageSignalRecorder
{
    template <typename Sender, typename... Args>
    TPackageSignalRecorder(Sender *Source, void (Sender::*Signal)(Args...))
    {
        QObject::connect(Source, Signal, &context, [this](auto... Values) { record(Values...); });
    }

    int count() const { return static_cast<int>(packages.size()); }

    std::vector<std::shared_ptr<vorna::launcher::TPackage>> packages;
    std::vector<bool> flags;

private:
    void record(std::shared_ptr<vorna::launcher::TPackage> Package, bool Flag = false)
    {
        packages.push_back(std::move(Package));
        flags.push_back(Flag);
    }

    QObject context;
};

} // namespace uitest
