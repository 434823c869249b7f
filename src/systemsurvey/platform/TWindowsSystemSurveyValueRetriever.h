#pragma once

#include "systemsurvey/TSystemSurveyValueRetriever.h"

namespace systemsurvey {

// Survey values of a Windows machine: CPUID, the kernel's processor and memory queries, the
// processors' "~MHz" registry values, and graphics adapters from WMI completed by Direct3D 9.
class TWindowsSystemSurveyValueRetriever final : public TSystemSurveyValueRetriever
{
public:
    TSystemSurveyCpu processor() const override;
    TSystemSurveyOperatingSystem operatingSystem() const override;
    quint64 mainMemorySize() const override;
    TProcessorTopologyCounts processorTopologyCounts() const override;
    double clockSpeed() const override;
    std::vector<TSystemSurveyGpu> graphicsAdapters() const override;
};

} // namespace systemsurvey
