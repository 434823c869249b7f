#pragma once

#include "TSystemSurvey.h"

#include <memory>

namespace systemsurvey {

class TSystemSurveyValueRetriever;

// Builds a survey record from the values of a retriever.
class TSystemSurveyCreator
{
public:
    explicit TSystemSurveyCreator(std::shared_ptr<TSystemSurveyValueRetriever> Retriever);
    virtual ~TSystemSurveyCreator();
    TSystemSurveyCreator(const TSystemSurveyCreator &) = delete;
    TSystemSurveyCreator &operator=(const TSystemSurveyCreator &) = delete;

    virtual TSystemSurvey createSurvey() const;

private:
    std::shared_ptr<TSystemSurveyValueRetriever> m_retriever;
};

} // namespace systemsurvey
