#include "LauncherLog.h"

#include "shared/LogCategories.h"
#include "format/TTextError.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QTextStream>
#include <QThread>

#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace vorna::launcher {

namespace {

std::shared_ptr<QFile> logFile;
QMutex logMutex;
// A message raised while a line is being written (Qt reporting a device problem, say) would come
// back into the handler with the mutex held; such messages are dropped.
thread_local bool writingLine = false;

QString levelText(QtMsgType Type, const QString &Message)
{
    switch (Type) {
    case QtDebugMsg:
        return QStringLiteral("Debug: %1").arg(Message);
    case QtWarningMsg:
        return QStringLiteral("Warning: %1").arg(Message);
    case QtCriticalMsg:
        return QStringLiteral("Critical: %1").arg(Message);
    case QtFatalMsg:
        return QStringLiteral("Fatal: %1").arg(Message);
    case QtInfoMsg:
        return QStringLiteral("Info: %1").arg(Message);
    }
    return {};
}

void messageHandler(QtMsgType Type, const QMessageLogContext &Context, const QString &Message)
{
    const std::shared_ptr<QFile> file = logFile;
    if (Type == QtFatalMsg)
        std::abort();
    if (!file || writingLine)
        return;
    // Every line names the thread it comes from, as the workers' lines interleave.
    const QString line = formatLogLine(
        Type, Context,
        Message + QStringLiteral(" Thread: 0x%1").arg(quintptr(QThread::currentThreadId()), 0, 16));
    QMutexLocker lock(&logMutex);
    if (!file->isOpen())
        return;
    writingLine = true;
    QTextStream stream(file.get());
    // UTF-8 whatever the system's code page: a path with letters outside it stays readable.
    stream.setCodec("UTF-8");
    stream << line << '\n';
    stream.flush();
    writingLine = false;
}

} // namespace

QString logFilePathForExecutable(const QString &ApplicationDirectory, const QString &ExecutableName)
{
    return QDir::cleanPath(ApplicationDirectory + QDir::separator() + ExecutableName +
                           QStringLiteral(".log"));
}

QString formatLogLine(QtMsgType Type, const QMessageLogContext &Context, const QString &Message)
{
    const QString time =
        QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    const QString location = QStringLiteral("(%1:%2)")
                                 .arg(QString::fromUtf8(Context.file ? Context.file : ""))
                                 .arg(Context.line);
    // The message goes in last so that place markers inside it stay as they are.
    return QStringLiteral("%1 %2 %3").arg(time, location, levelText(Type, Message));
}

void setupLogging()
{
    try {
        const QString directory = QCoreApplication::applicationDirPath();
        QDir dir(directory);
        if (!dir.exists() && !dir.mkpath(QStringLiteral(".")))
            throw std::runtime_error("Failed to create subdirectory.");
        const QString path = logFilePathForExecutable(
            directory, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
        auto file = std::make_shared<QFile>(path);
        // A log that cannot be opened is not installed at all, so Qt's default output keeps the
        // messages instead of a handler writing into a closed file.
        if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            throw ::shared::TTextError(
                QStringLiteral("cannot open %1: %2").arg(path, file->errorString()));
        {
            QMutexLocker lock(&logMutex);
            logFile = std::move(file);
        }
        qInstallMessageHandler(messageHandler);
    } catch (const std::exception &e) {
        qCWarning(lcApp) << "couldn't setup logging. exception: " << ::shared::errorText(e);
    } catch (...) {
        qCWarning(lcApp) << "couldn't setup logging";
    }
}

} // namespace vorna::launcher
