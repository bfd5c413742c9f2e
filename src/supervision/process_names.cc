// filename and ProcessName for both path styles.
#include "supervision/process_names.h"

#include "platform/error.h"

namespace varnix {
namespace {

// Where the file name starts: after the last separator (or, on Windows, the last ":").
std::string::size_type NameStart(const std::string& path, char separator) {
  auto at = path.rfind(separator);
  if (at == std::string::npos && separator == '\\') at = path.rfind(':');
  return at;
}

}  // namespace

std::string filename(const std::string& path, char separator) {
  const auto at = NameStart(path, separator);
  return at == std::string::npos ? path : path.substr(at + 1);
}

std::string ProcessName(const std::string& path, char separator) {
  if (separator != '\\') {
    const std::string name = filename(path, separator);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
  }
  const auto dot = path.rfind('.');
  if (dot == std::string::npos) return path;
  const auto start = NameStart(path, separator);
  if (start == std::string::npos) return path;
  if (dot < start) throw Error(errors::kInvalidCall, "Invalid procedure call or argument");
  return path.substr(start + 1, dot - start - 1);
}

}  // namespace varnix
