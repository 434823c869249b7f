#pragma once

#include "TSystemSurvey.h"

#include <vector>

namespace systemsurvey {

// Reads the raw values of a survey from the platform. Every query degrades to empty or zero
// values instead of failing: a partial survey is still worth sending.
class TSystemSurveyValueRetriever
{
public:
    TSystemSurveyValueRetriever() = default;
    virtual ~TSystemSurveyValueRetriever();
    TSystemSurveyValueRetriever(const TSystemSurveyValueRetriever &) = delete;
    TSystemSurveyValueRetriever &operator=(const TSystemSurveyValueRetriever &) = delete;

    // The screens Qt knows of; empty when no QGuiApplication runs. Platform neutral.
    virtual std::vector<TSystemSurveyMonitor> monitors() const;
    // The processor, with its topology counts and clock speed.
    virtual TSystemSurveyCpu processor() const = 0;
    virtual TSystemSurveyOperatingSystem operatingSystem() const = 0;
    virtual quint64 mainMemorySize() const = 0;
    virtual TProcessorTopologyCounts processorTopologyCounts() const = 0;
    virtual double clockSpeed() const = 0;
    virtual std::vector<TSystemSurveyGpu> graphicsAdapters() const = 0;

protected:
    // Adds the topology counts and the clock speed to a processor read from CPUID or the kernel.
    TSystemSurveyCpu withTopologyAndClock(TSystemSurveyCpu Cpu) const;
};

} // namespace systemsurvey
