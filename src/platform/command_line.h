// Splits a parameter text into arguments by the Windows command-line rules, so that one request
// means the same program arguments on every system.
#pragma once

#include <string>
#include <vector>

namespace varnix {

// White space separates; double quotes group; 2n backslashes before a quote give n and the
// quote groups, 2n+1 give n and a literal quote; "" inside quotes is a literal quote.
std::vector<std::string> SplitCommandLine(const std::string& text);

// The parameter text that SplitCommandLine splits into exactly `arguments`.
std::string JoinCommandLine(const std::vector<std::string>& arguments);

}  // namespace varnix
