// On Windows text is UTF-8 inside, the ANSI code page on the wire and in files, UTF-16 at the
// system's file and process functions.
#include "platform/text_encoding.h"
#include "platform/win32/windows_headers.h"

namespace varnix {

std::string TextFromCodePage(std::string bytes) {
  return TextFromWide(WideFromText(bytes, CP_ACP));
}

std::string TextToCodePage(std::string text) {
  // Without WC_NO_BEST_FIT_CHARS: the best form, as the system itself would show it.
  return TextFromWide(WideFromText(text), CP_ACP);
}

std::filesystem::path PathFromText(const std::string& text) {
  return std::filesystem::path(WideFromText(text));
}

std::string TextFromPath(const std::filesystem::path& path) { return TextFromWide(path.native()); }

}  // namespace varnix
