#include "LogCategories.h"

Q_LOGGING_CATEGORY(lcApp, "corvane.app")
Q_LOGGING_CATEGORY(lcConfiguration, "corvane.configuration")
Q_LOGGING_CATEGORY(lcPackages, "corvane.packages")
Q_LOGGING_CATEGORY(lcInstallation, "corvane.installation")
Q_LOGGING_CATEGORY(lcDownload, "corvane.download")
Q_LOGGING_CATEGORY(lcUi, "corvane.ui")
Q_LOGGING_CATEGORY(lcShared, "corvane.shared")
Q_LOGGING_CATEGORY(lcSurvey, "corvane.survey")
