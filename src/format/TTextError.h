#pragma once

#include <QString>

#include <exception>
#include <stdexcept>

namespace shared {

// A failure whose text goes to a dialog or the log. The text travels as the QString it was made
// from, so that a path with non-ASCII characters ("C:\Users\Zoë\Corvane") arrives intact on every
// platform; what() gives it in UTF-8 for code that only knows std::exception. Throw it wherever a
// std::runtime_error with a composed text would be thrown, and read texts back with errorText().
class TTextError : public std::runtime_error
{
public:
    explicit TTextError(const QString &Text);

    const QString &text() const noexcept { return m_text; }

private:
    QString m_text;
};

// The text of any exception: a TTextError's own text, else what() read as UTF-8 (never as the
// local 8-bit encoding, which is not UTF-8 on Windows).
QString errorText(const std::exception &Error);

} // namespace shared
