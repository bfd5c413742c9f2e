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

std::optional<char32_t> CharacterOutsideCodePage(std::string_view text) {
  const UINT code_page = GetACP();
  // The UTF-8 code page holds everything, and takes no default-character question.
  if (code_page == CP_UTF8) return std::nullopt;
  const auto lost = [code_page](std::wstring_view wide) {
    BOOL used_default = FALSE;
    WideCharToMultiByte(code_page, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                        nullptr, 0, nullptr, &used_default);
    return used_default != FALSE;
  };
  const std::wstring wide = WideFromText(text);
  if (!lost(wide)) return std::nullopt;
  for (size_t i = 0; i < wide.size(); ++i) {
    const bool pair =
        IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() && IS_LOW_SURROGATE(wide[i + 1]);
    const std::wstring_view one(wide.data() + i, pair ? 2 : 1);
    if (lost(one)) {
      return pair
                 ? 0x10000 + ((char32_t(wide[i]) - 0xD800) << 10) + (char32_t(wide[i + 1]) - 0xDC00)
                 : char32_t(wide[i]);
    }
    if (pair) ++i;
  }
  return std::nullopt;
}

std::string CodePageName() { return "code page " + std::to_string(GetACP()); }

namespace {

// One of the system's path-form functions (GetShortPathNameW, GetLongPathNameW) on `path`;
// "" when it fails.
std::string PathForm(DWORD (*form)(LPCWSTR, LPWSTR, DWORD), const std::string& path) {
  const std::wstring wide = WideFromText(path);
  const DWORD size = form(wide.c_str(), nullptr, 0);
  if (size == 0) return {};
  std::wstring result(size, L'\0');
  const DWORD got = form(wide.c_str(), result.data(), size);
  if (got == 0 || got >= size) return {};
  result.resize(got);
  return TextFromWide(result);
}

}  // namespace

std::string PathTheWireCarries(const std::string& path) {
  if (!CharacterOutsideCodePage(path)) return path;
  const std::string shorter = PathForm(GetShortPathNameW, path);
  return shorter.empty() || CharacterOutsideCodePage(shorter) ? std::string() : shorter;
}

std::string LongPathOf(const std::string& path) {
  // Only a short name has a tilde; a long path is kept exactly as given.
  if (path.find('~') == std::string::npos) return path;
  const std::string longer = PathForm(GetLongPathNameW, path);
  return longer.empty() ? path : longer;
}

std::filesystem::path PathFromText(const std::string& text) {
  return std::filesystem::path(WideFromText(text));
}

std::string TextFromPath(const std::filesystem::path& path) { return TextFromWide(path.native()); }

}  // namespace varnix
