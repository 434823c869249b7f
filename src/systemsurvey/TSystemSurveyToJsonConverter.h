#pragma once

#include "TSystemSurvey.h"

#include <QJsonDocument>

namespace systemsurvey {

// Turns a survey record into the document the survey service expects, tagged with this
// machine's identifier.
class TSystemSurveyToJsonConverter
{
public:
    TSystemSurveyToJsonConverter() = default;
    virtual ~TSystemSurveyToJsonConverter();
    TSystemSurveyToJsonConverter(const TSystemSurveyToJsonConverter &) = delete;
    TSystemSurveyToJsonConverter &operator=(const TSystemSurveyToJsonConverter &) = delete;

    virtual QJsonDocument toJsonDocument(const TSystemSurvey &Survey) const;
};

} // namespace systemsurvey
