#include "TSystemSurveyAsJsonDocumentCreator.h"

#include "TSystemSurveyCreator.h"
#include "TSystemSurveyToJsonConverter.h"

namespace systemsurvey {

TSystemSurveyAsJsonDocumentCreator::TSystemSurveyAsJsonDocumentCreator(
    std::shared_ptr<TSystemSurveyCreator> Creator,
    std::shared_ptr<TSystemSurveyToJsonConverter> Converter)
    : m_creator(std::move(Creator)), m_converter(std::move(Converter))
{
}

TSystemSurveyAsJsonDocumentCreator::~TSystemSurveyAsJsonDocumentCreator() = default;

QJsonDocument TSystemSurveyAsJsonDocumentCreator::createDocument() const
{
    if (!m_creator || !m_converter)
        return {};
    return m_converter->toJsonDocument(m_creator->createSurvey());
}

} // namespace systemsurvey
