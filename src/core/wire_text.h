// What the wire's code page can carry, said in words where it cannot.
#pragma once

#include <string>
#include <string_view>

namespace varnix {

// Why the wire's code page cannot carry `text`, in words: "code page 1252 has no "Н"
// (U+041D)"; "" when it can. Sent anyway, the letter would arrive as "?".
std::string WhyNotCarried(std::string_view text);

}  // namespace varnix
