// KnownComputers: one line a computer, "name mac address [signed]", rewritten whole on each
// change.
#include "ctl/known_computers.h"

#include "core/create_folders.h"
#include "core/failure.h"
#include "core/network_address.h"
#include "core/text.h"
#include "core/wake_on_lan.h"
#include "platform/error.h"

namespace varnix {

KnownComputers::KnownComputers(FileSystem& files, PathRules paths, std::string path)
    : files_(files), paths_(paths), path_(std::move(path)) {}

std::map<std::string, KnownComputers::Card> KnownComputers::Read() {
  std::map<std::string, Card> cards;
  if (path_.empty() || !files_.FileExists(path_)) return cards;
  std::string text;
  try {
    // What 1,024 cards can take: a file grown beyond it by anyone is not read further.
    text = files_.ReadStart(path_, kMaxComputers * kMaxLineBytes);
  } catch (const Error&) {
    return cards;
  }
  for (const std::string& line : SplitLines(text)) {
    const std::vector<std::string> fields = Split(line, ' ');
    // A line edited by hand into anything else is passed over, not believed.
    if (fields.size() < 3 || fields.size() > 4 || (fields.size() == 4 && fields[3] != "signed") ||
        fields[0].empty() || NormalMac(fields[1]) != fields[1] ||
        (fields[2] != "-" && !ParseAddress(fields[2])) || cards.size() >= kMaxComputers) {
      continue;
    }
    cards[fields[0]] = {fields[1], fields[2] == "-" ? "" : fields[2], fields.size() == 4};
  }
  return cards;
}

std::optional<KnownComputers::Card> KnownComputers::Find(const std::string& computer) {
  const std::map<std::string, Card> cards = Read();
  const auto found = cards.find(LowerCase(computer));
  if (found == cards.end()) return std::nullopt;
  return found->second;
}

void KnownComputers::Remember(const std::string& computer, const Card& card) {
  const std::string key = LowerCase(computer);
  if (path_.empty() || key.empty() || key.find_first_of(" \r\n") != std::string::npos) return;
  std::map<std::string, Card> cards = Read();
  const auto kept = cards.find(key);
  Card changed = card;
  changed.signs = card.signs || (kept != cards.end() && kept->second.signs);
  if (kept != cards.end() && kept->second.mac == changed.mac &&
      kept->second.address == changed.address && kept->second.signs == changed.signs) {
    return;
  }
  if (kept == cards.end() && cards.size() >= kMaxComputers) cards.erase(cards.begin());
  cards[key] = changed;
  std::string text;
  for (const auto& [name, kept_card] : cards) {
    text += name + " " + kept_card.mac + " " +
            (kept_card.address.empty() ? "-" : kept_card.address) +
            (kept_card.signs ? " signed" : "") + "\n";
  }
  // A folder that cannot be made shows as the write's own failure, which is thrown.
  QuietReports quiet;
  CreateFolders(path_, paths_, files_, quiet);
  // Written aside and moved over: a varnixctl stopped half-way leaves the old file whole.
  files_.WriteAll(path_ + ".new", text);
  files_.Rename(path_ + ".new", path_);
}

}  // namespace varnix
