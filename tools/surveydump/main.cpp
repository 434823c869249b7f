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
#include <cstring>
#include <memory>

namespace {

const char *const usage =
    "Usage: corvane-surveydump [--compact]\n"
    "\n"
    "Prints the system survey document the launcher would send from this machine. Nothing is\n"
    "sent.\n"
    "\n"
    "Options:\n"
    "  --compact   print it byte for byte as the launcher posts it (default: indented)\n"
    "  -h, --help  print this help and exit\n";

} // namespace

int main(int argc, char *argv[])
{
    // Help comes before the platform plugin is loaded, which may warn about the display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(usage, stdout);
            return 0;
        }
    }
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
            std::fprintf(stderr, "corvane-surveydump: unknown argument '%s'\n\n%s",
                         qPrintable(argument), usage);
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
