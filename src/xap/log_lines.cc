// Process.Log lines, carried in clear or sealed for the holders of the access key.
#include "xap/log_lines.h"

#include <algorithm>

#include "core/text.h"
#include "xap/sealed_items.h"

namespace varnix {
namespace {

constexpr std::string_view kPurpose = "Varnix Process.Log lines";

std::string Associated(std::string_view request, std::string_view part) {
  return "Process.Log\n" + std::string(request) + "\n" + std::string(part);
}

}  // namespace

std::string SealLines(std::string_view key, std::string_view request, std::string_view part,
                      const std::vector<std::string>& lines) {
  std::string plain;
  for (const std::string& line : lines) plain += (plain.empty() ? "" : "\n") + line;
  return SealText(key, kPurpose, Associated(request, part), plain);
}

CarriedLines LinesCarried(const Heard& part, std::string_view key, size_t most) {
  CarriedLines carried;
  const std::optional<uint64_t> said = WholeNumber(part.Item("Lines"));
  const size_t count = static_cast<size_t>(std::min<uint64_t>(said.value_or(0), most));
  const std::string sealed_hex = part.Item("Sealed", "\n");
  if (sealed_hex == "\n") {
    for (size_t line = 1; line <= count; ++line) {
      const std::string text = part.Item("Line" + std::to_string(line), "\n");
      if (text == "\n") break;
      carried.lines.push_back(text);
    }
    return carried;
  }
  const std::optional<std::string> plain = OpenSealedText(
      key, kPurpose, Associated(part.Item("Request"), part.Item("Part")), sealed_hex);
  if (!plain) {
    carried.unopened = true;
    return carried;
  }
  for (const std::string_view line : Split(*plain, '\n')) {
    if (carried.lines.size() >= count) break;
    carried.lines.emplace_back(line);
  }
  return carried;
}

}  // namespace varnix
