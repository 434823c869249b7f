#pragma once

#include "TChunkInPackage.h"
#include "TFileInPackage.h"
#include "TPackageEnumerations.h"
#include "format/Documents.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <vector>

namespace vorna::launcher {

// A package configuration: the package document ("package.json" or "partial-package.json") and
// the optional asset document ("assets.json") parsed into one list of chunks and files. A plain
// value, immutable after construction and copied freely to worker threads. Parsing never throws:
// a document that cannot be parsed leaves an invalid, empty reader that still holds the bytes.
class TPackageConfigurationReader final
{
public:
    // Stands for "no configuration" (an installation directory without markers).
    TPackageConfigurationReader() = default;
    TPackageConfigurationReader(const QByteArray &PackageJson, const QByteArray &AssetJson,
                                const QUrl &PackageBaseUrl, const QUrl &AssetBaseUrl);

    // "P<package version> A<asset version>", "?" standing for an empty version. Two
    // configurations are the same version when these texts are equal.
    QString versionString() const;

    const QUrl &packageBaseUrl() const { return m_packageBaseUrl; }
    const QUrl &assetBaseUrl() const { return m_assetBaseUrl; }
    const QString &packageVersion() const { return m_packageVersion; }
    const QString &assetVersion() const { return m_assetVersion; }
    EGeneration generation() const { return m_generation; }
    EVariant variant() const { return m_variant; }
    const QString &executable() const { return m_executable; }
    const QStringList &parameters() const { return m_parameters; }
    // Package document chunks first, then asset document chunks.
    const std::vector<TChunkInPackage> &chunks() const { return m_chunks; }
    // Files of both documents, sorted by localFile (UTF-16 code units, case-sensitive).
    const TFileInPackageVector &files() const { return m_files; }
    // The documents exactly as received; written back as installation markers.
    const QByteArray &packageJson() const { return m_packageJson; }
    const QByteArray &assetJson() const { return m_assetJson; }
    bool isValid() const { return m_isValid; }
    // Why no installation can follow the documents (one address for two contents, one file
    // listed twice with different content, one name as a file and a directory); empty when
    // they are consistent. Names are compared as the installation's file system compares them:
    // "A" and "a" are two files where it tells letter case apart, and one where it does not.
    // With WindowsNames, a name Windows cannot give a file (a device name, a trailing dot or
    // space, a reserved character) is one too: there it would reach a device or alias another
    // file. Elsewhere such names are ordinary files, and releases for those systems ship them.
    QString inconsistency(Qt::CaseSensitivity FileNameCase, bool WindowsNames) const;
    // Whether the running system gives file names Windows' rules.
    static bool windowsFileNames();

private:
    void readPackageDocument(const ::shared::TPackageDocument &Document);
    void readAssetDocument(const ::shared::TAssetDocument &Document);
    void readChunksAndFiles(const std::vector<::shared::TChunkEntry> &Chunks,
                            const std::vector<::shared::TFileEntry> &Files, const QUrl &BaseUrl);
    void dropChunkIndicesOutsideChunkList();

    QUrl m_packageBaseUrl;
    QUrl m_assetBaseUrl;
    QString m_packageVersion;
    QString m_assetVersion;
    EGeneration m_generation = EGeneration::Other;
    EVariant m_variant = EVariant::Other;
    QString m_executable;
    QStringList m_parameters;
    std::vector<TChunkInPackage> m_chunks;
    TFileInPackageVector m_files;
    QByteArray m_packageJson;
    QByteArray m_assetJson;
    bool m_isValid = false;
};

} // namespace vorna::launcher
