#include "ProgressFormatting.h"

namespace vorna::launcher {

int progressBarValue(qint64 Done, qint64 Total)
{
    if (Total <= 0 || Done <= 0)
        return 0;
    if (Done >= Total)
        return ProgressBarMaximum;
    const float fraction = static_cast<float>(Done) / static_cast<float>(Total);
    const int value = static_cast<int>(fraction * static_cast<float>(ProgressBarMaximum) + 0.5f);
    return qBound(0, value, ProgressBarMaximum);
}

QString megabytesText(qint64 Done, qint64 Total)
{
    return QStringLiteral("%1/%2 MB")
        .arg(QString::number(static_cast<double>(Done) / 1000000.0, 'f', 1),
             QString::number(static_cast<double>(Total) / 1000000.0, 'f', 1));
}

QString speedText(quint64 BytesPerSecond)
{
    const double speed = static_cast<double>(BytesPerSecond);
    if (BytesPerSecond > 1073741824ULL)
        return QStringLiteral("%1 GB/s").arg(QString::number(speed / 1000000000.0, 'f', 1));
    if (BytesPerSecond > 1048576ULL)
        return QStringLiteral("%1 MB/s").arg(QString::number(speed / 1000000.0, 'f', 1));
    if (BytesPerSecond > 1024ULL)
        return QStringLiteral("%1 KB/s").arg(QString::number(speed / 1000.0, 'f', 1));
    return QStringLiteral("%1 B/s").arg(BytesPerSecond);
}

QString sizeText(qint64 Bytes)
{
    const double size = static_cast<double>(Bytes);
    if (Bytes >= 1000000000LL)
        return QStringLiteral("%1 GB").arg(QString::number(size / 1000000000.0, 'f', 1));
    if (Bytes >= 1000000LL)
        return QStringLiteral("%1 MB").arg(QString::number(size / 1000000.0, 'f', 1));
    if (Bytes >= 1000LL)
        return QStringLiteral("%1 KB").arg(QString::number(size / 1000.0, 'f', 1));
    return QStringLiteral("%1 bytes").arg(Bytes);
}

QString timeLeftText(qint64 Seconds)
{
    if (Seconds < 0)
        return QString();
    const qint64 hours = Seconds / 3600;
    const qint64 minutes = Seconds / 60 % 60;
    const QString secondsText = QStringLiteral("%1").arg(Seconds % 60, 2, 10, QLatin1Char('0'));
    if (hours > 0)
        return QStringLiteral("%1:%2:%3 left")
            .arg(hours)
            .arg(minutes, 2, 10, QLatin1Char('0'))
            .arg(secondsText);
    return QStringLiteral("%1:%2 left").arg(minutes).arg(secondsText);
}

quint64 bytesPerSecond(quint64 TickCount, double MeanBytesPerTick)
{
    if (TickCount == 0 || !(MeanBytesPerTick > 0.0))
        return 0;
    return static_cast<quint64>(MeanBytesPerTick) * 10;
}

} // namespace vorna::launcher
