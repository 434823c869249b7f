// corvane-surveydump [--compact]: prints the system survey document of this machine, indented
// for reading or, with --compact, byte for byte as the launcher posts it. Nothing is sent.

#include "systemsurvey/TSystemSurveyAsJsonDocumentCreator.h"
#include "systemsurvey/TSystemSurveyCreator.h"
#include "systemsurvey/TSystemSurveyToJsonConverter.h"
#include "systemsurvey/platform/SystemSurveyPlatform.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QStringList>
#include <QtGlobal>

#include <cstdio>
#include <memory>

int main(int argc, char *argv[])
{
    // Screens need a platform plugin; on a machine without a display the offscreen one still
    // lets the rest of the survey be seen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        qputenv("QT_QPA_PLATFORM", QByteArrayLiteral("offscreen"));
    QGuiApplication application(argc, argv);

    const QStringList arguments = QGuiApplication::arguments().mid(1);
    const bool compact = arguments.contains(QStringLiteral("--compact"));
    for (const QString &argument : arguments) {
        if (argument != QLatin1String("--compact")) {
            std::fprintf(stderr, "usage: corvane-surveydump [--compact]\n");
            return 2;
        }
    }

    const auto creator = std::make_shared<systemsurvey::TSystemSurveyCreator>(
        systemsurvey::createSystemSurveyValueRetriever());
    const systemsurvey::TSystemSurveyAsJsonDocumentCreator documentCreator(
        creator, std::make_shared<systemsurvey::TSystemSurveyToJsonConverter>());
    const QByteArray text = documentCreator.createDocument().toJson(
        compact ? QJsonDocument::Compact : QJsonDocument::Indented);
    std::fwrite(text.constData(), 1, static_cast<size_t>(text.size()), stdout);
    if (compact)
        std::fputc('\n', stdout);
    return 0;
}
