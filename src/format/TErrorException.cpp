#include "TErrorException.h"

#include <utility>

namespace shared {

TErrorException::TErrorException(TError Error) : TTextError(Error.text()), m_error(std::move(Error))
{
}

TErrorException::TErrorException(EErrorCode Code, const QString &Path, const QString &Detail)
    : TErrorException(TError{Code, Path, Detail})
{
}

TErrorException::TErrorException(TError Error, const QString &Text)
    : TTextError(Text), m_error(std::move(Error))
{
}

} // namespace shared
