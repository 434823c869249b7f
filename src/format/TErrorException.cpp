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

} // namespace shared
