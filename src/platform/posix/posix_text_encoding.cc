// On POSIX text is bytes, UTF-8 in practice, everywhere: nothing to convert.
#include "platform/text_encoding.h"

namespace varnix {

std::string TextFromCodePage(std::string bytes) { return bytes; }

std::string TextToCodePage(std::string text) { return text; }

std::optional<char32_t> CharacterOutsideCodePage(std::string_view) { return std::nullopt; }

std::string CodePageName() { return "UTF-8"; }

std::string PathTheWireCarries(const std::string& path) { return path; }

std::string LongPathOf(const std::string& path) { return path; }

std::filesystem::path PathFromText(const std::string& text) { return std::filesystem::path(text); }

std::string TextFromPath(const std::filesystem::path& path) { return path.string(); }

}  // namespace varnix
