#pragma once

#include "systemsurvey/TLinuxSystemInformationReader.h"
#include "systemsurvey/TSystemSurveyValueRetriever.h"

namespace systemsurvey {

// Survey values of a Linux machine: CPUID on x86, the rest from /proc and /sys, the operating
// system from Qt with the kernel version as its release.
class TLinuxSystemSurveyValueRetriever final : public TSystemSurveyValueRetriever
{
public:
    explicit TLinuxSystemSurveyValueRetriever(QString RootDirectory = QStringLiteral("/"));

    TSystemSurveyCpu processor() const override;
    TSystemSurveyOperatingSystem operatingSystem() const override;
    quint64 mainMemorySize() const override;
    TProcessorTopologyCounts processorTopologyCounts() const override;
    double clockSpeed() const override;
    std::vector<TSystemSurveyGpu> graphicsAdapters() const override;

private:
    TLinuxSystemInformationReader m_reader;
};

} // namespace systemsurvey
