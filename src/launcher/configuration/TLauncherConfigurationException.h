#pragma once

#include <QString>

#include <stdexcept>

namespace vorna::launcher {

// The launcher metadata document could not be parsed.
class TLauncherConfigurationException final : public std::runtime_error
{
public:
    explicit TLauncherConfigurationException(const QString &Message)
        : std::runtime_error(Message.toStdString())
    {
    }
};

} // namespace vorna::launcher
