#pragma once

#include <QLoggingCategory>

namespace vorna::launcher {

// Per-chunk detail of updates (every request, stage and write, every chunk reused or staged as a
// delta base). Off by default, so that the log of an update of thousands of files stays small:
// one line per file goes to Info. Switched on with
// QT_LOGGING_RULES="corvane.download.detail.debug=true". Declared with the package plan, below
// the downloader, because the scan logs the chunks it reuses and stages into it as well.
Q_DECLARE_LOGGING_CATEGORY(downloadDetail)

} // namespace vorna::launcher
