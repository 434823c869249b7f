#include "FormatLogging.h"

Q_LOGGING_CATEGORY(lcFormat, "corvane.format")
