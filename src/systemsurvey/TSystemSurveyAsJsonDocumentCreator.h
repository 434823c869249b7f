#pragma once

#include <QJsonDocument>

#include <memory>

namespace systemsurvey {

class TSystemSurveyCreator;
class TSystemSurveyToJsonConverter;

// The survey document of this moment: a freshly built record, converted.
class TSystemSurveyAsJsonDocumentCreator
{
public:
    TSystemSurveyAsJsonDocumentCreator(std::shared_ptr<TSystemSurveyCreator> Creator,
                                       std::shared_ptr<TSystemSurveyToJsonConverter> Converter);
    virtual ~TSystemSurveyAsJsonDocumentCreator();
    TSystemSurveyAsJsonDocumentCreator(const TSystemSurveyAsJsonDocumentCreator &) = delete;
    TSystemSurveyAsJsonDocumentCreator &
    operator=(const TSystemSurveyAsJsonDocumentCreator &) = delete;

    virtual QJsonDocument createDocument() const;

private:
    std::shared_ptr<TSystemSurveyCreator> m_creator;
    std::shared_ptr<TSystemSurveyToJsonConverter> m_converter;
};

} // namespace systemsurvey
