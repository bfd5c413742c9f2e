// The test program doubles as a helper child: `varnix_tests --helper MODE ...` behaves as MODE
// says.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace varnix {

// Modes: polite | stubborn | window TITLE [stubborn|tray] | windows TITLE... | threads N |
// spin | hold MIB | argv FILE [ARGS...] | exit CODE | tree FILE (two stubborn children).
// Every mode ends by itself after 30 s at the latest.
int RunHelper(int argc, char** argv);

// Starts this program as one window helper per (caption, mode) pair, in that order, and waits
// up to 5 s for each window to show. Returns the helpers' ids.
std::vector<ProcessId> StartWindowHelpers(
    Platform& platform, const std::vector<std::pair<std::string, std::string>>& windows);
// A top-level window with exactly this caption is on the desktop.
bool WindowShows(Platform& platform, const std::string& caption);
// The top-level window with exactly this caption, once it shows within `limit`; 0 if it did not.
WindowHandle WaitForWindow(Platform& platform, const std::string& caption,
                           std::chrono::milliseconds limit);

// The build hands us a path in this system's own form, except under Wine, where the build's
// Unix path is reached through drive Z:.
std::string NativePath(std::string path, char separator);

}  // namespace varnix
