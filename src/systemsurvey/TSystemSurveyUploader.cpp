#include "TSystemSurveyUploader.h"

#include "TSystemSurveyAsJsonDocumentCreator.h"
#include "shared/TJsonDocumentHttpPostSender.h"

namespace systemsurvey {

TSystemSurveyUploader::TSystemSurveyUploader(
    QUrl SurveyUrl, std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator,
    std::shared_ptr<::shared::TJsonDocumentHttpPostSender> Sender)
    : TJsonDocumentUploaderBase(std::move(Sender)), m_surveyUrl(std::move(SurveyUrl)),
      m_documentCreator(std::move(DocumentCreator))
{
}

TSystemSurveyUploader::~TSystemSurveyUploader() = default;

void TSystemSurveyUploader::upload()
{
    if (!m_documentCreator)
        return;
    uploadDocument(m_surveyUrl, m_documentCreator->createDocument());
}

} // namespace systemsurvey
