// What the fuzz targets share: splitting one input into the several texts a parser takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace varnix::fuzz {

// The input as text, cut at NUL bytes into at most `parts` pieces (the last takes the rest).
inline std::vector<std::string> Parts(const uint8_t* data, size_t size, size_t parts) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> out;
  size_t start = 0;
  while (out.size() + 1 < parts) {
    const size_t nul = text.find('\0', start);
    if (nul == std::string_view::npos) break;
    out.emplace_back(text.substr(start, nul - start));
    start = nul + 1;
  }
  out.emplace_back(text.substr(std::min(start, text.size())));
  while (out.size() < parts) out.emplace_back();
  return out;
}

}  // namespace varnix::fuzz
