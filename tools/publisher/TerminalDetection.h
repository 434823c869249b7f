#pragma once

namespace vorna::publisher {

// Whether the standard error stream is an interactive terminal: progress lines that redraw
// themselves are only written there, never into logs of build machines.
bool standardErrorIsTerminal();

} // namespace vorna::publisher
