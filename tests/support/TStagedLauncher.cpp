#include "TStagedLauncher.h"

#include <QDir>
#include <QFile>
#include <QTest>

// Below a directory whose name is not ASCII, as a player's profile "C:\Users\Zoë" is: every path
// the launcher shows or logs must come through whole.
TStagedLauncher::TStagedLauncher(const QString &BuiltExecutable)
    : m_directory(QDir::tempPath() + QStringLiteral("/corvane-Zo\u00EB-XXXXXX"))
{
    const QString source = QStringLiteral(CORVANE_TEST_BIN_DIR "/") + BuiltExecutable +
                           QStringLiteral(CORVANE_EXE_SUFFIX);
    m_valid = m_directory.isValid() && m_home.isValid() && QFile::copy(source, executablePath()) &&
              QFile::setPermissions(executablePath(), QFile::permissions(source));
}

QString TStagedLauncher::executablePath() const
{
    return m_directory.filePath(QStringLiteral("CorvaneLauncher" CORVANE_EXE_SUFFIX));
}

QString TStagedLauncher::logFilePath() const
{
    // The executable's file name with ".log" appended, "CorvaneLauncher.exe.log" on Windows.
    return m_directory.filePath(QStringLiteral("CorvaneLauncher" CORVANE_EXE_SUFFIX ".log"));
}

void TStagedLauncher::writeSettings(const QByteArray &Contents) const
{
    QFile file(m_directory.filePath(QStringLiteral("launchersettings.ini")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(Contents);
}

QByteArray TStagedLauncher::loopbackSettings(const QString &MetadataUrl, int DownloadErrorTimeout,
                                             int ClientStartTimeout)
{
    return QStringLiteral(
               "[URLS]\nlauncherConfiguration=%1\n"
               "[DIRECTORIES]\npackages=packages\n"
               "[FILES]\npackageFile=package.json\npartialPackageFile=partial-package.json\n"
               "assetFile=assets.json\n"
               "[TIMING]\nwaitNotificationTimeout=500\ndownloadErrorTimeout=%2\n"
               "clientStartTimeout=%3\n")
        .arg(MetadataUrl)
        .arg(DownloadErrorTimeout)
        .arg(ClientStartTimeout)
        .toUtf8();
}

QProcessEnvironment TStagedLauncher::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), m_home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       m_home.filePath(QStringLiteral(".config")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.path());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Without a console, Qt for Windows sends messages to the debugger; tests read stderr.
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    // The per-chunk lines of downloads are off by default; tests that stop the launcher at one
    // of them, or count them, need them in the log.
    environment.insert(QStringLiteral("QT_LOGGING_RULES"),
                       QStringLiteral("corvane.download.detail.debug=true"));
    return environment;
}

std::unique_ptr<QProcess> TStagedLauncher::createProcess(const QStringList &Arguments) const
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(executablePath());
    process->setArguments(Arguments);
    process->setWorkingDirectory(m_directory.path());
    process->setProcessEnvironment(environment());
    return process;
}

bool TStagedLauncher::stop(QProcess &Process)
{
    Process.kill();
    return Process.state() == QProcess::NotRunning || Process.waitForFinished(ProcessBound);
}

TStagedLauncher::TEnding TStagedLauncher::finish(QProcess &Process,
                                                 const std::function<bool()> &Done, int TimeoutMs,
                                                 int GraceMs)
{
    (void)QTest::qWaitFor([&] { return Process.state() == QProcess::NotRunning || Done(); },
                          TimeoutMs);
    TEnding ending;
    if (Process.state() == QProcess::NotRunning) {
        ending.exited = Process.exitStatus() == QProcess::NormalExit;
        ending.exitCode = Process.exitCode();
    } else {
        if (GraceMs > 0)
            QTest::qWait(GraceMs);
        stop(Process);
    }
    return ending;
}

QByteArray TStagedLauncher::readLog() const
{
    QFile file(logFilePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}
