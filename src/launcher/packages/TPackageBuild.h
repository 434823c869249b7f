#pragma once

#include "TPackageEnumerations.h"
#include "format/Documents.h"

#include <QString>
#include <QUrl>

#include <memory>

namespace vorna::launcher {

class TPackageConfigurationReader;

// What signed metadata says a build's document is: its SHA-256 (raw bytes) and size. Empty when
// the metadata names none (unsigned or older metadata).
using TDocumentSnapshot = ::shared::TDocumentPin;

// One platform build of a package: where its configuration documents are, and the configuration
// once it has been downloaded.
class TPackageBuild final
{
public:
    TPackageBuild();
    // One element of a package entry's "builds"; relative addresses resolve against BaseUrl.
    TPackageBuild(const ::shared::TMetadataBuild &Build, const QUrl &BaseUrl);
    ~TPackageBuild();
    TPackageBuild(TPackageBuild &&) noexcept;
    TPackageBuild &operator=(TPackageBuild &&) noexcept;
    TPackageBuild(const TPackageBuild &) = delete;
    TPackageBuild &operator=(const TPackageBuild &) = delete;

    // True when this build is for the machine the launcher runs on.
    bool matchesRunningPlatform() const;

    EOperatingSystem os = EOperatingSystem::Other;
    EArchitecture architecture = EArchitecture::Other;
    // Address of the package configuration document; empty when the entry names none.
    QUrl url;
    // Address of the asset configuration document; empty when the build has none.
    QUrl assetsUrl;
    // The package and asset documents as the metadata pins them ("packagesha256",
    // "packagesize", "assetssha256", "assetssize"); a document that differs is refused.
    TDocumentSnapshot packageSnapshot;
    TDocumentSnapshot assetsSnapshot;
    // Null until the configuration documents have been downloaded and parsed.
    std::unique_ptr<TPackageConfigurationReader> configuration;
    // Set when a configuration document failed its signature check; the configuration is then
    // empty and installing the build fails as a failed download.
    bool documentsRefused = false;
};

EOperatingSystem operatingSystemFromString(const QString &Text);
EArchitecture architectureFromString(const QString &Text);
EOperatingSystem runningOperatingSystem();
EArchitecture runningArchitecture();

// Joins an address read from a document to the address of the document's directory: absolute
// addresses stay as they are, relative paths are appended to the base path, queries are dropped.
QUrl resolvePackageUrl(const QUrl &Base, const QUrl &Url);

// Reads an address text from a document: empty text stays an empty address, anything else is
// parsed tolerantly and resolved against Base.
QUrl resolvePackageUrlText(const QUrl &Base, const QString &Text);

} // namespace vorna::launcher
