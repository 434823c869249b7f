#pragma once

#include "TStagedLauncher.h"
#include "TTestHttpServer.h"
#include "TTestPackageBuilder.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <memory>

namespace testsupport {

// A loopback site with one client package and a staged launcher pointed at it: the launcher
// metadata at "/meta.json", the package document at "<prefix>/package.json" with its chunks, and
// the demo client as the package's executable "bin/client". Tests change the content, publish a
// new version and run the real launcher binary against it.
class TLauncherSite final
{
public:
    // ExtraSettings are appended to the launcher's settings file.
    explicit TLauncherSite(const QByteArray &ExtraSettings = QByteArray(),
                           const QString &LauncherExecutable = QStringLiteral("CorvaneLauncher"));
    TLauncherSite(const TLauncherSite &) = delete;
    TLauncherSite &operator=(const TLauncherSite &) = delete;

    bool isValid() const;
    TTestHttpServer &server() { return m_server; }
    TTestPackageBuilder &package() { return *m_package; }
    TStagedLauncher &launcher() { return m_launcher; }

    // Sets a file of the package (cut at the given lengths, or by the content-defined chunker).
    void setFile(const QString &LocalFile, const QByteArray &Content,
                 const std::vector<qint64> &PieceLengths = {});
    // Serves the package document and the metadata for this version; the document's address
    // moves with every publication, as a studio's does.
    void publish(const QString &Version);
    QByteArray packageJson() const { return m_packageJson; }
    QByteArray metadataJson() const { return m_metadataJson; }
    QString packageDocumentPath() const { return m_documentPath; }

    QString installationDirectory() const;
    // What the installation directory should hold after a complete install of the last
    // publication (the package files; markers excluded).
    QMap<QString, QByteArray> expectedFiles() const { return m_files; }
    // Differences between the installation directory and the last publication, one per line.
    QStringList differences() const;
    // Whether the full marker, if present, describes the files on disk: every file it lists has
    // its size and hash. Empty when consistent, else what is wrong.
    QString fullMarkerInconsistency() const;

    QByteArray readInstalled(const QString &RelativePath) const;

    // Waits (up to TimeoutMs) until no demo client of an earlier run holds the client's running
    // marker, so that a run sees only its own client. False when one is still there.
    static bool waitForNoRunningClient(int TimeoutMs = 10000);

private:
    TTestHttpServer m_server;
    TStagedLauncher m_launcher;
    std::unique_ptr<TTestPackageBuilder> m_package;
    QMap<QString, QByteArray> m_files;
    QByteArray m_packageJson;
    QByteArray m_metadataJson;
    QString m_documentPath;
    QByteArray m_clientBinary;
    int m_publications = 0;
};

} // namespace testsupport
