#pragma once

#include <QString>
#include <QtGlobal>

namespace vorna::launcher {

// Range of the tile's progress bar while an installation reports bytes.
constexpr int ProgressBarMaximum = 10000;

// Done/Total on 0..ProgressBarMaximum, computed in single precision and rounded half up. A zero
// or negative total, or Done beyond Total, still gives a value inside the bar's range.
int progressBarValue(qint64 Done, qint64 Total);

// "%1/%2 MB" with one digit after the point, in decimal megabytes.
QString megabytesText(qint64 Done, qint64 Total);

// The transfer rate in the largest unit whose binary threshold it exceeds, divided by the
// matching decimal power: 1048576 B/s reads "1048.6 KB/s", 1048577 B/s reads "1.0 MB/s".
QString speedText(quint64 BytesPerSecond);

// Bytes per second from the downloader's statistics of 100 ms ticks; 0 before the first tick.
quint64 bytesPerSecond(quint64 TickCount, double MeanBytesPerTick);

// A size as a person reads it, in decimal units with one digit after the point: "12.4 GB",
// "3.1 MB", "512.0 KB"; below a kilobyte "%1 bytes".
QString sizeText(qint64 Bytes);

// "0:42 left", "12:05 left", "1:02:33 left"; empty for an unknown (negative) time.
QString timeLeftText(qint64 Seconds);

} // namespace vorna::launcher
