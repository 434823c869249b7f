#pragma once

#include <QString>

#include <stdexcept>

namespace vorna::publisher {

// A publishing run that cannot go on: bad input, an unreadable file, a store that cannot be
// written. The text is shown to the studio as it is.
class TPublishError final : public std::runtime_error
{
public:
    explicit TPublishError(const QString &Message) : std::runtime_error(Message.toStdString()) {}
};

} // namespace vorna::publisher
