#pragma once

#include <memory>

namespace systemsurvey {

class TSystemSurveyValueRetriever;

// The retriever for the platform this program was built for; defined once per platform file.
std::shared_ptr<TSystemSurveyValueRetriever> createSystemSurveyValueRetriever();

} // namespace systemsurvey
