#pragma once

#include <QString>
#include <QTextStream>

namespace vorna::publisher {

// The program's standard output and standard error.
QTextStream &out();
QTextStream &err();

// A byte count in the unit that fits it: "512 bytes", "3.4 KiB", "12.0 MiB", "1.25 GiB".
QString sizeText(double Bytes);
// "850 ms", "12.5 s", "3 min 20 s".
QString durationText(qint64 Milliseconds);
// Bytes per second over a duration; empty when the duration is too short to tell.
QString rateText(qint64 Bytes, qint64 Milliseconds);

} // namespace vorna::publisher
