#pragma once

#include "format/TTextError.h"

#include <QString>

#include <stdexcept>

namespace vorna::launcher {

// The launcher metadata document could not be parsed.
class TLauncherConfigurationException final : public ::shared::TTextError
{
public:
    explicit TLauncherConfigurationException(const QString &Message) : ::shared::TTextError(Message)
    {
    }
};

} // namespace vorna::launcher
