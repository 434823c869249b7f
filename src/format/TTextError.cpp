#include "TTextError.h"

namespace shared {

TTextError::TTextError(const QString &Text) : std::runtime_error(Text.toStdString()), m_text(Text)
{
}

QString errorText(const std::exception &Error)
{
    if (const auto *withText = dynamic_cast<const TTextError *>(&Error))
        return withText->text();
    return QString::fromUtf8(Error.what());
}

} // namespace shared
