#include "TSystemSurveyCreator.h"

#include "TSystemSurveyValueRetriever.h"

#include <algorithm>

namespace systemsurvey {

TSystemSurveyCreator::TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> Retriever)
    : m_retriever(std::move(Retriever))
{
}

TSystemSurveyCreator::~TSystemSurveyCreator() = default;

TSystemSurvey TSystemSurveyCreator::createSurvey() const
{
    TSystemSurvey survey;
    if (!m_retriever)
        return survey;

    survey.monitors = m_retriever->monitors();
    // A disconnected screen may still be listed with an empty geometry; it is no monitor.
    survey.monitors.erase(std::remove_if(survey.monitors.begin(), survey.monitors.end(),
                                         [](const TSystemSurveyMonitor &Monitor) {
                                             return Monitor.width == 0 || Monitor.height == 0;
                                         }),
                          survey.monitors.end());
    survey.operatingSystem = m_retriever->operatingSystem();
    survey.mainMemorySize = m_retriever->mainMemorySize();
    survey.cpu = m_retriever->processor();
    survey.gpus = m_retriever->graphicsAdapters();
    return survey;
}

} // namespace systemsurvey
