// PromiseStore: one line a promise, every field one escaped word, so that no path or
// parameter can run into the next field and the file stays the same bytes on every system.
#include "supervision/promise_store.h"

#include <charconv>

#include "core/steps.h"
#include "core/text.h"

namespace varnix {
namespace {

constexpr std::string_view kHeading = "varnix-promises 1";

std::string Escaped(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string word;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%') {
      word += {'%', kHex[byte >> 4], kHex[byte & 15]};
    } else {
      word += c;
    }
  }
  return word.empty() ? "%" : word;  // a lone % is the empty field
}

std::optional<std::string> Unescaped(std::string_view word) {
  if (word == "%") return std::string();
  std::string text;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      text += word[i];
      continue;
    }
    unsigned value = 0;
    if (i + 2 >= word.size()) return std::nullopt;
    const auto [end, error] = std::from_chars(word.data() + i + 1, word.data() + i + 3, value, 16);
    if (error != std::errc() || end != word.data() + i + 3) return std::nullopt;
    text += static_cast<char>(value);
    i += 2;
  }
  return text;
}

// How a run ended, in one word: "exit:3", "SIGSEGV", or "-" for not known.
std::string EndWord(const std::optional<ExitStatus>& end) {
  if (!end) return "-";
  if (!end->signal.empty()) return Escaped(end->signal);
  return end->code ? "exit:" + std::to_string(*end->code) : "-";
}

std::optional<ExitStatus> EndFromWord(std::string_view word) {
  if (word == "-") return std::nullopt;
  ExitStatus end;
  if (word.starts_with("exit:")) {
    int code = 0;
    const auto [last, error] = std::from_chars(word.data() + 5, word.data() + word.size(), code);
    if (error != std::errc() || last != word.data() + word.size()) return std::nullopt;
    end.code = code;
  } else {
    end.signal = Unescaped(word).value_or("");
    if (end.signal.empty()) return std::nullopt;
  }
  return end;
}

template <typename Number>
bool NumberOf(std::string_view word, Number& value) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size();
}

}  // namespace

std::string PromiseStore::Line(const Promise& promise) {
  const StartRequest& r = promise.request;
  std::string line = "keep " + RestartPolicyText(promise.policy) + " " +
                     std::to_string(promise.pid) + " " + std::to_string(promise.started_at) + " " +
                     (promise.gave_up ? "gave-up"
                      : promise.done  ? "done"
                                      : "kept");
  for (const std::string* field :
       {&r.path, &r.parameter, &r.window, &r.priority, &r.title, &r.source, &r.name, &r.folder}) {
    line += " " + Escaped(*field);
  }
  return line + " " + EndWord(promise.last_end);
}

bool PromiseStore::FromLine(std::string_view line, Promise& promise) {
  std::vector<std::string> words = Split(std::string(line), ' ');
  // An earlier version wrote no last end.
  if ((words.size() != 13 && words.size() != 14) || words[0] != "keep") return false;
  const std::optional<RestartPolicy> policy = RestartPolicyFromText(words[1]);
  if (!policy || !NumberOf(words[2], promise.pid) || !NumberOf(words[3], promise.started_at) ||
      (words[4] != "kept" && words[4] != "gave-up" && words[4] != "done")) {
    return false;
  }
  promise.policy = *policy;
  promise.gave_up = words[4] == "gave-up";
  promise.done = words[4] == "done";
  if (words.size() == 14) promise.last_end = EndFromWord(words[13]);
  StartRequest& r = promise.request;
  std::string* const fields[] = {&r.path,  &r.parameter, &r.window, &r.priority,
                                 &r.title, &r.source,    &r.name,   &r.folder};
  for (size_t i = 0; i < std::size(fields); ++i) {
    const std::optional<std::string> text = Unescaped(words[5 + i]);
    if (!text) return false;
    *fields[i] = *text;
  }
  return !r.path.empty();
}

Promises PromiseStore::Load() {
  Promises promises;
  std::string text;
  bool there = false;
  bool too_large = false;
  const bool read = Quietly([&] {
    there = files_.FileExists(path_);
    too_large = there && files_.FileSize(path_) > kMostBytes;
    if (there && !too_large) text = files_.ReadBytes(path_);
  });
  if (!there && read) return promises;
  const std::vector<std::string> lines = Split(text, '\n');
  if (!read || too_large || lines.empty() || TrimSpaces(lines[0]) != kHeading) {
    // Set aside, not read again at every start nor written over: somebody may want to see it.
    const std::string aside = path_ + ".unreadable";
    Quietly([&] { files_.Rename(path_, aside); });
    log_.WriteErrorLog(kLogType, "The kept promises in " + path_ + " cannot be read" +
                                     (too_large ? " (larger than any list of promises)" : "") +
                                     ": set aside as " + aside +
                                     "; no program started over the network before this start "
                                     "is kept, and declared programs that run are taken as "
                                     "they are");
    promises.set_aside = true;
    return promises;
  }
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string_view line = TrimSpaces(lines[i]);
    if (line.empty()) continue;
    if (line.starts_with("booted ")) {
      NumberOf(line.substr(7), promises.booted);
      continue;
    }
    if (line.starts_with("boot-id ")) {
      promises.boot_id = Unescaped(line.substr(8)).value_or("");
      continue;
    }
    if (line.starts_with("stopped ")) {
      if (const std::optional<std::string> name = Unescaped(line.substr(8))) {
        promises.stopped.push_back(*name);
      }
      continue;
    }
    Promise promise;
    if (FromLine(line, promise)) {
      promises.kept.push_back(std::move(promise));
    } else {
      log_.WriteErrorLog(kLogType, "A line of " + path_ + " cannot be read, and is left out: " +
                                       ShownSafely(line, 256));
    }
  }
  return promises;
}

void PromiseStore::Save(const Promises& promises) {
  std::string text = std::string(kHeading) + "\n";
  if (promises.booted != 0) text += "booted " + std::to_string(promises.booted) + "\n";
  if (!promises.boot_id.empty()) text += "boot-id " + Escaped(promises.boot_id) + "\n";
  for (const Promise& promise : promises.kept) text += Line(promise) + "\n";
  for (const std::string& name : promises.stopped) text += "stopped " + Escaped(name) + "\n";
  Steps([this](const Failure& failure) {
    if (failure_said_) return;
    failure_said_ = true;
    log_.WriteErrorLog(kLogType, "The promises cannot be kept in " + path_ + " (" +
                                     failure.description +
                                     "): a restart of the node will forget them");
  })(10, [&] {
    // The node's own: what it names is started as the node's user.
    files_.WritePrivate(path_, text);  // ASCII alone: the same bytes in any code page
    failure_said_ = false;
  });
}

}  // namespace varnix
