#include "TerminalDetection.h"

#include <cstdio>
#include <io.h>

namespace vorna::publisher {

bool standardErrorIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

} // namespace vorna::publisher
