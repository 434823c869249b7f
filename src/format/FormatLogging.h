#pragma once

#include <QLoggingCategory>

// The format library's logging category (the document verifier's findings).
Q_DECLARE_LOGGING_CATEGORY(lcFormat)
