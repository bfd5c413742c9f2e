// Text inside the program is UTF-8 on every system; the 8-bit code page is kept at the edges.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace varnix {

// The wire and the contents of files use the system's 8-bit code page, as peers and stored
// files expect. These convert at those two edges; on POSIX both hand the bytes back as they
// are, without a copy, since every datagram passes through them.
std::string TextFromCodePage(std::string bytes);
// Characters the code page cannot hold come out in its best form, as the system shows them.
std::string TextToCodePage(std::string text);

// A path as the system's file functions take it, so that any folder name can be used.
std::filesystem::path PathFromText(const std::string& text);
std::string TextFromPath(const std::filesystem::path& path);

}  // namespace varnix
