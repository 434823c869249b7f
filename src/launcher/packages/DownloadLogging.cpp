#include "DownloadLogging.h"

namespace vorna::launcher {

Q_LOGGING_CATEGORY(downloadDetail, "corvane.download.detail", QtInfoMsg)

} // namespace vorna::launcher
