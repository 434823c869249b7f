#include "TLauncherSite.h"
#include "TestFiles.h"

#include "format/TSha256.h"
#include "shared/platform/TNamedFileMapping.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

namespace testsupport {

namespace {

QByteArray readFile(const QString &Path)
{
    QFile File(Path);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

} // namespace

TLauncherSite::TLauncherSite(const QByteArray &ExtraSettings, const QString &LauncherExecutable)
    : m_launcher(LauncherExecutable),
      m_package(std::make_unique<TTestPackageBuilder>(m_server, QStringLiteral("/client")))
{
    m_clientBinary = readFile(QStringLiteral(CORVANE_TEST_BIN_DIR) +
                              QStringLiteral("/corvane-democlient" CORVANE_EXE_SUFFIX));
    m_launcher.writeSettings(
        TStagedLauncher::loopbackSettings(m_server.url(QStringLiteral("/meta.json")).toString()) +
        ExtraSettings);
    m_package->addFile(
        QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), m_clientBinary, true,
        {m_clientBinary.size() / 2, m_clientBinary.size() - m_clientBinary.size() / 2});
    m_files.insert(QStringLiteral("bin/client" CORVANE_EXE_SUFFIX), m_clientBinary);
}

bool TLauncherSite::isValid() const
{
    return m_launcher.isValid() && m_server.isListening() && !m_clientBinary.isEmpty();
}

void TLauncherSite::setFile(const QString &LocalFile, const QByteArray &Content,
                            const std::vector<qint64> &PieceLengths)
{
    m_package->addFile(LocalFile, Content, false, PieceLengths);
    m_files.insert(LocalFile, Content);
}

void TLauncherSite::publish(const QString &Version)
{
    QJsonObject Document = QJsonDocument::fromJson(m_package->packageJson(Version)).object();
    // The client announces itself and ends soon, so that it never outlives the test.
    Document.insert(QStringLiteral("parameters"),
                    QJsonArray{QStringLiteral("--exit-after-ms=1500")});
    m_packageJson = QJsonDocument(Document).toJson(QJsonDocument::Compact);
    m_documentPath = QStringLiteral("/client/v%1/package.json").arg(++m_publications);
    m_server.setFile(m_documentPath, m_packageJson);

    const QJsonObject Build{
        {QStringLiteral("os"), testsupport::runningOsName()},
        {QStringLiteral("architecture"), testsupport::runningArchitectureName()},
        {QStringLiteral("url"), m_documentPath.mid(1)}};
    const QJsonObject Package{{QStringLiteral("name"), QStringLiteral("Corvane Online")},
                              {QStringLiteral("directoryname"), QStringLiteral("corvane")},
                              {QStringLiteral("installautomatically"), true},
                              {QStringLiteral("builds"), QJsonArray{Build}}};
    const QJsonObject Metadata{{QStringLiteral("packages"), QJsonArray{Package}}};
    m_metadataJson = QJsonDocument(Metadata).toJson(QJsonDocument::Compact);
    m_server.setFile(QStringLiteral("/meta.json"), m_metadataJson);
}

QString TLauncherSite::installationDirectory() const
{
    return m_launcher.directory() + QStringLiteral("/packages/corvane");
}

QByteArray TLauncherSite::readInstalled(const QString &RelativePath) const
{
    return readFile(installationDirectory() + QLatin1Char('/') + RelativePath);
}

QStringList TLauncherSite::differences() const
{
    QStringList Differences;
    for (auto It = m_files.cbegin(); It != m_files.cend(); ++It) {
        const QString Path = installationDirectory() + QLatin1Char('/') + It.key();
        if (!QFile::exists(Path))
            Differences << QStringLiteral("missing: ") + It.key();
        else if (readFile(Path) != It.value())
            Differences << QStringLiteral("content differs: ") + It.key();
    }
    const QDir Directory(installationDirectory());
    const QString Full = Directory.filePath(QStringLiteral("package.json"));
    if (readFile(Full) != m_packageJson)
        Differences << QStringLiteral("full marker is not the published document");
    if (QFile::exists(Directory.filePath(QStringLiteral("partial-package.json"))))
        Differences << QStringLiteral("partial marker left");
    return Differences;
}

QString TLauncherSite::fullMarkerInconsistency() const
{
    const QByteArray Marker = readFile(installationDirectory() + QStringLiteral("/package.json"));
    if (Marker.isEmpty())
        return {};
    const QJsonArray Files =
        QJsonDocument::fromJson(Marker).object().value(QStringLiteral("files")).toArray();
    if (Files.isEmpty())
        return QStringLiteral("full marker lists no files");
    for (const QJsonValue &Value : Files) {
        const QJsonObject File = Value.toObject();
        const QString Name = File.value(QStringLiteral("localfile")).toString();
        const QByteArray Content = readInstalled(Name);
        if (QString::number(Content.size()) !=
                File.value(QStringLiteral("unpackedsize")).toString() ||
            QString::fromLatin1(::shared::sha256(Content).toHex()) !=
                File.value(QStringLiteral("unpackedhash")).toString())
            return QStringLiteral("full marker beside a wrong file: ") + Name;
    }
    return {};
}

bool TLauncherSite::waitForNoRunningClient(int TimeoutMs)
{
    return QTest::qWaitFor(
        [] {
            return !::shared::TNamedFileMapping::canOpenForReading(
                QByteArrayLiteral("Corvane-52f3fb16-0d45-45d4-978a-149b5692b074"));
        },
        TimeoutMs);
}

} // namespace testsupport
