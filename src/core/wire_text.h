// What the wire's code page can carry, said in words where it cannot.
#pragma once

#include <string>
#include <string_view>

namespace varnix {

// Why the wire's code page cannot carry `text`, in words: "code page 1252 has no "Н"
// (U+041D)"; "" when it can. Sent anyway, the letter would arrive as "?".
std::string WhyNotCarried(std::string_view text);

// `text` as the wire can carry it: each character the code page lacks written as "\u{421}"
// (its number in hex), so that a name in any script still goes out, and names one thing.
// `text` itself where the code page holds all of it (always on POSIX).
std::string CarriedForm(std::string_view text);
// The characters that CarriedForm wrote out, back; only those past ASCII, so that no
// character the text could have held itself is made.
std::string FromCarriedForm(std::string_view text);

}  // namespace varnix
