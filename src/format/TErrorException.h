#pragma once

#include "TError.h"
#include "TTextError.h"

namespace shared {

// A failure with its code. It is a TTextError whose text is the error's text(), so every handler
// that catches std::runtime_error or reads errorText() sees the same message as before; code
// that decides by the reason reads error().code instead of matching the text.
class TErrorException : public TTextError
{
public:
    explicit TErrorException(TError Error);
    TErrorException(EErrorCode Code, const QString &Path, const QString &Detail);
    // A failure that its thrower words itself (the publisher's messages to the studio): Text is
    // what() and errorText() give, the error keeps the code and the path.
    TErrorException(TError Error, const QString &Text);

    const TError &error() const noexcept { return m_error; }
    EErrorCode code() const noexcept { return m_error.code; }

private:
    TError m_error;
};

} // namespace shared
