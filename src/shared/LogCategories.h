#pragma once

#include <QLoggingCategory>

// One logging category per module, so that a module's lines can be switched on or off on their
// own, e.g. QT_LOGGING_RULES="corvane.download.info=false". The log file's line format does not
// show the category; every line carries its thread (see the launcher's log handler).
Q_DECLARE_LOGGING_CATEGORY(lcApp)
Q_DECLARE_LOGGING_CATEGORY(lcConfiguration)
Q_DECLARE_LOGGING_CATEGORY(lcPackages)
Q_DECLARE_LOGGING_CATEGORY(lcInstallation)
Q_DECLARE_LOGGING_CATEGORY(lcDownload)
Q_DECLARE_LOGGING_CATEGORY(lcUi)
Q_DECLARE_LOGGING_CATEGORY(lcShared)
Q_DECLARE_LOGGING_CATEGORY(lcSurvey)
