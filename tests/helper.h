// The test program doubles as a helper child: `varnix_tests --helper MODE ...` behaves as MODE
// says.
#pragma once

namespace varnix {

// Modes: polite | stubborn | window TITLE [stubborn|tray] | windows TITLE... | threads N |
// spin | hold MIB | argv FILE [ARGS...].
// Every mode ends by itself after 30 s at the latest.
int RunHelper(int argc, char** argv);

}  // namespace varnix
