#pragma once

#include <QString>

namespace vorna::launcher {

// Sends every Qt message into the log file next to the executable, "<executable>.log", which is
// recreated on each call. Failures are logged as warnings and leave Qt's default output in place.
void setupLogging();

// The log file path for an executable path: "<directory>/<file name>.log", cleaned.
QString logFilePathForExecutable(const QString &ApplicationDirectory,
                                 const QString &ExecutableName);

// One log line without its line end: "<time> (<file>:<line>) <level text>".
QString formatLogLine(QtMsgType Type, const QMessageLogContext &Context, const QString &Message);

} // namespace vorna::launcher
