#include "TTmpfsMount.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>

namespace testsupport {

TTmpfsMount::~TTmpfsMount()
{
    unmount();
}

bool TTmpfsMount::run(const QString &Program, const QStringList &Arguments)
{
    QProcess Process;
    Process.setProcessChannelMode(QProcess::MergedChannels);
    Process.start(Program, Arguments);
    if (!Process.waitForStarted(10000)) {
        m_errorText = Program + QStringLiteral(": ") + Process.errorString();
        return false;
    }
    Process.waitForFinished(30000);
    if (Process.exitStatus() != QProcess::NormalExit || Process.exitCode() != 0) {
        m_errorText = Program + QLatin1Char(' ') + Arguments.join(QLatin1Char(' ')) +
                      QStringLiteral(": ") + QString::fromLocal8Bit(Process.readAll()).trimmed();
        return false;
    }
    return true;
}

bool TTmpfsMount::mount(const QString &Directory, qint64 SizeBytes)
{
    unmount();
    if (!QDir().mkpath(Directory)) {
        m_errorText = QStringLiteral("cannot create ") + Directory;
        return false;
    }
    const QString Path = QDir(Directory).canonicalPath();
    if (!run(QStringLiteral("mount"),
             {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
              QStringLiteral("size=%1,mode=0755").arg(roundUpToPages(SizeBytes)),
              QStringLiteral("tmpfs"), Path}))
        return false;
    m_directory = Path;
    return true;
}

bool TTmpfsMount::resize(qint64 SizeBytes)
{
    return isMounted() &&
           run(QStringLiteral("mount"),
               {QStringLiteral("-o"),
                QStringLiteral("remount,size=%1").arg(roundUpToPages(SizeBytes)), m_directory});
}

bool TTmpfsMount::setReadOnly(bool ReadOnly)
{
    return isMounted() && run(QStringLiteral("mount"), {QStringLiteral("-o"),
                                                        ReadOnly ? QStringLiteral("remount,ro")
                                                                 : QStringLiteral("remount,rw"),
                                                        m_directory});
}

void TTmpfsMount::unmount()
{
    if (!isMounted())
        return;
    // A launcher killed a moment ago may still hold files open: detach lazily then.
    if (!run(QStringLiteral("umount"), {m_directory}))
        run(QStringLiteral("umount"), {QStringLiteral("-l"), m_directory});
    m_directory.clear();
}

qint64 TTmpfsMount::freeBytes() const
{
    QStorageInfo Storage(m_directory);
    Storage.refresh();
    return Storage.bytesAvailable();
}

bool TTmpfsMount::fillLeaving(qint64 FreeBytes)
{
    if (!isMounted() || FreeBytes % PageSize != 0)
        return false;
    QFile Filler(QDir(m_directory).filePath(QStringLiteral("filler.bin")));
    if (!Filler.open(QIODevice::ReadWrite | QIODevice::Append | QIODevice::Unbuffered))
        return false;
    // A short write takes the last pages that fit; the write after it fails.
    const QByteArray Block(1 << 20, 'x');
    while (Filler.write(Block) > 0) {
    }
    const qint64 Size = Filler.size();
    if (Size < FreeBytes || !Filler.resize(Size - FreeBytes))
        return false;
    Filler.close();
    return freeBytes() == FreeBytes;
}

} // namespace testsupport
