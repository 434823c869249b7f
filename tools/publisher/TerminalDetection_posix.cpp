#include "TerminalDetection.h"

#include <cstdio>
#include <unistd.h>

namespace vorna::publisher {

bool standardErrorIsTerminal()
{
    return isatty(fileno(stderr)) != 0;
}

} // namespace vorna::publisher
