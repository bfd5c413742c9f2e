// Whether this program writes to a person's terminal, which can be redrawn in place.
#pragma once

namespace varnix {

// True when standard output is a terminal that takes ANSI escape sequences; on systems where
// a console must be asked to take them, asks it.
bool PrepareTerminalOutput();

}  // namespace varnix
