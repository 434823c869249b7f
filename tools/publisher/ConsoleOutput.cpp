#include "ConsoleOutput.h"

#include <cstdio>

namespace vorna::publisher {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

QString sizeText(double Bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (Bytes < 1024.0)
        return qint64(Bytes) == 1 ? QStringLiteral("1 byte")
                                  : QStringLiteral("%1 bytes").arg(qint64(Bytes));
    int unit = 0;
    Bytes /= 1024.0;
    while (Bytes >= 1024.0 && unit < 3) {
        Bytes /= 1024.0;
        ++unit;
    }
    return QString::number(Bytes, 'f', Bytes < 10.0 ? 2 : 1) + QLatin1Char(' ') +
           QLatin1String(units[unit]);
}

QString durationText(qint64 Milliseconds)
{
    if (Milliseconds < 1000)
        return QStringLiteral("%1 ms").arg(Milliseconds);
    if (Milliseconds < 60000)
        return QString::number(double(Milliseconds) / 1000.0, 'f', 1) + QStringLiteral(" s");
    const qint64 seconds = Milliseconds / 1000;
    return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}

QString rateText(qint64 Bytes, qint64 Milliseconds)
{
    if (Milliseconds < 50)
        return {};
    return sizeText(double(Bytes) * 1000.0 / double(Milliseconds)) + QStringLiteral("/s");
}

} // namespace vorna::publisher
