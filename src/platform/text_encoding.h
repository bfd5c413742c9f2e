// Text inside the program is UTF-8 on every system; the 8-bit code page is kept at the edges.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace varnix {

// The wire and the contents of files use the system's 8-bit code page, as peers and stored
// files expect. These convert at those two edges; on POSIX both hand the bytes back as they
// are, without a copy, since every datagram passes through them.
std::string TextFromCodePage(std::string bytes);
// Characters the code page cannot hold come out in its best form, as the system shows them.
std::string TextToCodePage(std::string text);

// The first character of `text` that the code page has no byte for, where there is one; on
// POSIX, where the bytes go out as they are, none. For refusing what would go out as "?".
std::optional<char32_t> CharacterOutsideCodePage(std::string_view text);
// The code page's name as the system's users know it: "code page 1252".
std::string CodePageName();

// A path as the wire can carry it: `path` itself where the code page holds all of it; else the
// short form the system keeps for it (Windows' 8.3 names), where that is held; else "".
std::string PathTheWireCarries(const std::string& path);
// The long form of a path given by its short names; `path` itself where there is none.
std::string LongPathOf(const std::string& path);

// A path as the system's file functions take it, so that any folder name can be used.
std::filesystem::path PathFromText(const std::string& text);
std::string TextFromPath(const std::filesystem::path& path);

}  // namespace varnix
