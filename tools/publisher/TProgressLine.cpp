#include "TProgressLine.h"

#include "ConsoleOutput.h"

namespace vorna::publisher {

void TProgressLine::show(const QString &Stage, qint64 Done, qint64 Total)
{
    if (Stage != m_stage) {
        m_stage = Stage;
        m_clock.start();
    }
    const qint64 elapsed = m_clock.elapsed();
    const int percent = Total > 0 ? int(Done * 100 / Total) : 100;
    QString line = QStringLiteral("%1 %2% (%3 of %4")
                       .arg(Stage)
                       .arg(percent, 3)
                       .arg(sizeText(double(Done)), sizeText(double(Total)));
    const QString rate = rateText(Done, elapsed);
    if (!rate.isEmpty())
        line += QStringLiteral(", ") + rate;
    if (Done > 0 && Done < Total && elapsed >= 1000) {
        const qint64 left = qint64(double(elapsed) * double(Total - Done) / double(Done));
        line += QStringLiteral(", %1 left").arg(durationText(left));
    }
    line += QLatin1Char(')');
    // Pads over the rest of a longer line shown before.
    err() << '\r' << line.leftJustified(m_width);
    m_width = line.size();
    if (Done >= Total) {
        err() << '\n';
        m_width = 0;
    }
    err().flush();
}

} // namespace vorna::publisher
