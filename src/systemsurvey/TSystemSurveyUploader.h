#pragma once

#include "shared/TJsonDocumentUploaderBase.h"

#include <QUrl>

#include <memory>

namespace shared {
class TJsonDocumentHttpPostSender;
}

namespace systemsurvey {

class TSystemSurveyAsJsonDocumentCreator;

// Posts this machine's survey document to the survey service. The outcome is only recorded
// (lastErrorCode, lastErrorMessage, finished); nothing retries.
class TSystemSurveyUploader : public ::shared::TJsonDocumentUploaderBase
{
    Q_OBJECT
    Q_DISABLE_COPY(TSystemSurveyUploader)

public:
    TSystemSurveyUploader(QUrl SurveyUrl,
                          std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> DocumentCreator,
                          std::shared_ptr<::shared::TJsonDocumentHttpPostSender> Sender);
    ~TSystemSurveyUploader() override;

    // Builds the document now and sends it; blocks while the platform is queried.
    virtual void upload();

    const QUrl &surveyUrl() const { return m_surveyUrl; }

private:
    QUrl m_surveyUrl;
    std::shared_ptr<TSystemSurveyAsJsonDocumentCreator> m_documentCreator;
};

} // namespace systemsurvey
