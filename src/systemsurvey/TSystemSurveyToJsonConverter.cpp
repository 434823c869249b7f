#include "TSystemSurveyToJsonConverter.h"

#include "TMachineIdentifier.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>

namespace systemsurvey {
namespace {

// JSON numbers are doubles; counts beyond 64 bits signed do not occur in practice.
QJsonValue number(quint64 Value)
{
    return QJsonValue(static_cast<qint64>(Value));
}

QJsonArray monitorsToJson(const std::vector<TSystemSurveyMonitor> &Monitors)
{
    QJsonArray result;
    for (const TSystemSurveyMonitor &monitor : Monitors) {
        QJsonObject object;
        object.insert(QStringLiteral("width"), monitor.width);
        object.insert(QStringLiteral("height"), monitor.height);
        object.insert(QStringLiteral("primary"), monitor.primary);
        object.insert(QStringLiteral("refreshRate"), number(monitor.refreshRate));
        result.append(object);
    }
    return result;
}

QJsonObject operatingSystemToJson(const TSystemSurveyOperatingSystem &OperatingSystem)
{
    QJsonObject object;
    object.insert(QStringLiteral("baseSystem"), OperatingSystem.baseSystem);
    object.insert(QStringLiteral("name"), OperatingSystem.name);
    if (!OperatingSystem.release.isEmpty())
        object.insert(QStringLiteral("release"), OperatingSystem.release);
    return object;
}

QJsonObject cpuToJson(const TSystemSurveyCpu &Cpu)
{
    QJsonObject object;
    object.insert(QStringLiteral("manufacturer"), Cpu.manufacturer);
    object.insert(QStringLiteral("brandName"), Cpu.brandName);
    object.insert(QStringLiteral("64Bit"), Cpu.is64Bit);
    object.insert(QStringLiteral("sse"), Cpu.sse);
    object.insert(QStringLiteral("sse2"), Cpu.sse2);
    object.insert(QStringLiteral("NUMANumber"), static_cast<qint32>(Cpu.numaNodeCount));
    object.insert(QStringLiteral("physicalNumber"),
                  static_cast<qint32>(Cpu.physicalProcessorCount));
    object.insert(QStringLiteral("coreNumber"), static_cast<qint32>(Cpu.coreCount));
    object.insert(QStringLiteral("logicalCoreNumber"),
                  static_cast<qint32>(Cpu.logicalProcessorCount));
    object.insert(QStringLiteral("clockSpeed"), Cpu.clockSpeed);
    return object;
}

QJsonArray gpusToJson(const std::vector<TSystemSurveyGpu> &Gpus)
{
    QJsonArray result;
    for (const TSystemSurveyGpu &gpu : Gpus) {
        QJsonObject object;
        object.insert(QStringLiteral("deviceString"), gpu.deviceString);
        object.insert(QStringLiteral("videoMemorySize"), gpu.videoMemorySize);
        if (gpu.vendorId != 0)
            object.insert(QStringLiteral("vendorId"), gpu.vendorId);
        // The device id is only trusted together with a driver version: both come from the
        // same adapter identifier query, WMI-only adapters carry neither.
        if (!gpu.driverVersion.isEmpty()) {
            object.insert(QStringLiteral("deviceId"), gpu.deviceId);
            object.insert(QStringLiteral("driverVersion"), gpu.driverVersion);
        }
        result.append(object);
    }
    return result;
}

} // namespace

TSystemSurveyToJsonConverter::~TSystemSurveyToJsonConverter() = default;

QJsonDocument TSystemSurveyToJsonConverter::toJsonDocument(const TSystemSurvey &Survey) const
{
    QJsonObject document;
    document.insert(QStringLiteral("dataType"), 0);
    document.insert(QStringLiteral("clientID"), TMachineIdentifier::clientId());
    document.insert(QStringLiteral("monitors"), monitorsToJson(Survey.monitors));
    document.insert(QStringLiteral("operatingSystem"),
                    operatingSystemToJson(Survey.operatingSystem));
    document.insert(QStringLiteral("mainMemorySize"), number(Survey.mainMemorySize));
    document.insert(QStringLiteral("cpu"), cpuToJson(Survey.cpu));
    document.insert(QStringLiteral("gpu"), gpusToJson(Survey.gpus));
    return QJsonDocument(document);
}

} // namespace systemsurvey
