#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

// A copy of the built CorvaneLauncher in a temporary directory of its own, so its settings file,
// log file and packages directory never touch the build tree, started with a temporary HOME.
class TStagedLauncher final
{
public:
    // Stages the built executable of that name (a launcher built with other trusted keys, say).
    explicit TStagedLauncher(const QString &BuiltExecutable = QStringLiteral("CorvaneLauncher"));
    TStagedLauncher(const TStagedLauncher &) = delete;
    TStagedLauncher &operator=(const TStagedLauncher &) = delete;

    bool isValid() const { return m_valid; }
    QString directory() const { return m_directory.path(); }
    QString executablePath() const;
    QString logFilePath() const;
    QString home() const { return m_home.path(); }

    // Writes "launchersettings.ini" next to the staged executable.
    void writeSettings(const QByteArray &Contents) const;
    // Settings that point every address at the given loopback URL, with short time-outs.
    static QByteArray loopbackSettings(const QString &MetadataUrl, int DownloadErrorTimeout = 2000,
                                       int ClientStartTimeout = 5000);

    // A new process for the staged launcher (not started), environment prepared.
    std::unique_ptr<QProcess> createProcess(const QStringList &Arguments = {}) const;
    QProcessEnvironment environment() const;

    QByteArray readLog() const;

    // Kills the process and waits until it has ended; false if it outlived the bound. A loaded
    // machine may take seconds to reap a process, and the next start must not meet it.
    static bool stop(QProcess &Process);
    static constexpr int ProcessBound = 60000;

    // How a run ended: by the launcher's own exit, or stopped by the test.
    struct TEnding
    {
        bool exited = false; // the launcher exited by itself, normally
        int exitCode = -1;
    };
    // Waits until the process ends or Done() holds, asking Done on every poll. A process still
    // running then only waits for a click: it gets Grace milliseconds more and is stopped.
    static TEnding finish(QProcess &Process, const std::function<bool()> &Done, int TimeoutMs,
                          int GraceMs = 0);

private:
    QTemporaryDir m_directory;
    QTemporaryDir m_home;
    bool m_valid = false;
};
