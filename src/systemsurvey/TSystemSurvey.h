#pragma once

#include <QString>
#include <QtGlobal>

#include <vector>

namespace systemsurvey {

// The plain records of one survey, filled by the creator from a retriever and turned into the
// uploaded JSON document by the converter.

struct TSystemSurveyMonitor
{
    qint64 width = 0;
    qint64 height = 0;
    bool primary = false;
    quint64 refreshRate = 0; // hertz
};

struct TSystemSurveyOperatingSystem
{
    QString baseSystem;
    QString name;
    QString release; // left out of the document when empty
};

struct TProcessorTopologyCounts
{
    quint64 numaNodeCount = 0;
    quint64 physicalProcessorCount = 0;
    quint64 coreCount = 0;
    quint64 logicalProcessorCount = 0;
};

struct TSystemSurveyCpu
{
    QString manufacturer;
    QString brandName;
    bool is64Bit = false;
    bool sse = false;
    bool sse2 = false;
    quint64 numaNodeCount = 0;
    quint64 physicalProcessorCount = 0;
    quint64 coreCount = 0;
    quint64 logicalProcessorCount = 0;
    double clockSpeed = 0.0; // megahertz
};

struct TSystemSurveyGpu
{
    QString deviceString;
    qint64 videoMemorySize = 0; // bytes
    qint32 vendorId = 0;
    qint32 deviceId = 0;
    QString driverVersion;
};

struct TSystemSurvey
{
    std::vector<TSystemSurveyMonitor> monitors;
    TSystemSurveyOperatingSystem operatingSystem;
    quint64 mainMemorySize = 0; // bytes
    TSystemSurveyCpu cpu;
    std::vector<TSystemSurveyGpu> gpus;
};

} // namespace systemsurvey
