// NodeLogs: requests with tokens of their own, answers gathered part by part.
#include "gateway/node_logs.h"

#include <algorithm>
#include <random>

#include "core/text.h"
#include "xap/log_lines.h"

namespace varnix {
namespace {

// A count as a node writes it; 0 for anything else.
size_t Count(const std::string& text) {
  return static_cast<size_t>(std::min<uint64_t>(WholeNumber(text).value_or(0), SIZE_MAX));
}

// The text of a log line, without its stamp and mark.
std::string TextOf(const std::string& line) {
  const size_t mark = line.find(' ');
  const size_t text = mark == std::string::npos ? mark : line.find(' ', mark + 1);
  return text == std::string::npos ? line : line.substr(text + 1);
}

}  // namespace

std::vector<std::string> NodeLogs::Answer::Lines() const {
  std::vector<std::string> lines;
  for (const auto& [part, its] : got) lines.insert(lines.end(), its.begin(), its.end());
  return lines;
}

NodeLogs::NodeLogs(EventLoop& loop, Ask ask, Tell tell, std::string key)
    : loop_(loop),
      ask_(std::move(ask)),
      tell_(std::move(tell)),
      key_(std::move(key)),
      run_(std::random_device{}()) {
  timer_ = loop_.CreateTimer([this] { Due(); });
  timer_->SetInterval(100);
}

std::string NodeLogs::Request(const std::string& node_key, const std::string& path,
                              const std::string& name, size_t lines, int follow_seconds) {
  const std::string token = "gateway-" + std::to_string(run_) + "-" + std::to_string(++requests_);
  Items items{{"Action", "log"}, {"Path", path}};
  if (!name.empty()) items.emplace_back("Name", name);
  items.emplace_back("Lines", std::to_string(lines));
  items.emplace_back("Request", token);
  if (follow_seconds > 0) items.emplace_back("Follow", std::to_string(follow_seconds));
  ask_(node_key, items);
  return token;
}

const NodeLogs::View* NodeLogs::Open(const std::string& node_key, const std::string& path,
                                     const std::string& name) {
  const int64_t now = loop_.NowMilliseconds();
  std::erase_if(views_,
                [&](const auto& entry) { return now - entry.second.wanted_ms > kOpenForMs; });
  const auto key = std::make_pair(node_key, LowerCase(path));
  auto found = views_.find(key);
  if (found == views_.end()) {
    if (views_.size() >= kMaxOpen) return nullptr;
    found = views_.emplace(key, OpenView{}).first;
  }
  OpenView& open = found->second;
  open.wanted_ms = now;
  if (open.answer.token.empty() ||
      now - open.asked_ms >= (open.following ? kRenewFollowMs : kAskAgainMs)) {
    open.answer = Answer{};
    open.answer.token = Request(node_key, path, name, kViewLines, kFollowSeconds);
    open.asked_ms = now;
  }
  return &open.view;
}

void NodeLogs::Ended(const std::string& node_key, const std::string& path, const std::string& name,
                     const std::string& shown, const std::string& how) {
  End end{node_key, path, name, shown, how, {}, loop_.NowMilliseconds(), false};
  if (ends_.size() >= kMaxEnds) {
    TellEnd(end, {});
    return;
  }
  ends_.push_back(std::move(end));
  timer_->SetEnabled(true);
}

void NodeLogs::Due() {
  const int64_t now = loop_.NowMilliseconds();
  for (auto end = ends_.begin(); end != ends_.end();) {
    if (!end->asked && now - end->ended_ms >= kEndSettleMs) {
      end->asked = true;
      end->answer.token = Request(end->node_key, end->path, end->name, kEndLines);
    }
    if (end->answer.Whole() || now - end->ended_ms >= kEndWaitMs) {
      TellEnd(*end, end->answer.Lines());
      end = ends_.erase(end);
    } else {
      ++end;
    }
  }
  if (ends_.empty()) timer_->SetEnabled(false);
}

void NodeLogs::TellEnd(const End& end, const std::vector<std::string>& lines) {
  std::string text = end.shown + " ended (" + end.how + ")";
  if (!lines.empty()) text += ":";
  for (const std::string& line : lines) text += " ... " + TextOf(line);
  tell_(end.node_key, text);
}

void NodeLogs::HearPushed(OpenView& open, const Heard& heard) {
  const CarriedLines carried = LinesCarried(heard, key_, kViewLines);
  std::vector<std::string>& lines = open.view.lines;
  for (const std::string& text : carried.lines) lines.push_back(ShownSafely(text, kMaxLineBytes));
  if (lines.size() > kViewLines) {
    lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(kViewLines));
  }
}

void NodeLogs::Hear(const std::string& node_key, const Heard& heard) {
  const std::string token = heard.Item("Request");
  Answer* answer = nullptr;
  for (auto& [key, open] : views_) {
    if (key.first != node_key || open.answer.token != token || token.empty()) continue;
    // Told after the answer, which it follows: taken once the answer is.
    if (!heard.Item("Push").empty()) {
      if (open.view.answered && open.answer.Whole()) HearPushed(open, heard);
      return;
    }
    if (!heard.Item("Following").empty()) open.following = true;
    answer = &open.answer;
  }
  for (End& end : ends_) {
    if (end.node_key == node_key && end.answer.token == token) answer = &end.answer;
  }
  if (answer == nullptr || token.empty()) return;
  const size_t part = Count(heard.Item("Part"));
  const size_t parts = Count(heard.Item("Parts"));
  // Parts beyond what any answer of ours can take are nobody's.
  if (part == 0 || part > parts || parts > kViewLines ||
      (answer->parts != 0 && parts != answer->parts)) {
    return;
  }
  answer->parts = parts;
  // No more lines in all than a view shows, whatever the parts claim.
  size_t others = 0;
  for (const auto& [number, its] : answer->got) others += number == part ? 0 : its.size();
  std::vector<std::string>& lines = answer->got[part];
  lines.clear();
  const CarriedLines carried = LinesCarried(heard, key_, kViewLines - std::min(others, kViewLines));
  if (carried.unopened) {
    lines.push_back("- ! the node seals its programs' output with a key this gateway lacks");
  }
  // Shown safely, as a node shows them, whoever wrote them: a forged line's ESC, BEL, C1 or
  // direction control is shown, never obeyed.
  for (const std::string& text : carried.lines) lines.push_back(ShownSafely(text, kMaxLineBytes));
  for (auto& [key, open] : views_) {
    if (&open.answer == answer && answer->Whole()) {
      open.view.lines = answer->Lines();
      open.view.answered = true;
    }
  }
  if (!ends_.empty()) Due();
}

void NodeLogs::Forget(const std::string& node_key) {
  std::erase_if(views_, [&](const auto& entry) { return entry.first.first == node_key; });
  std::erase_if(ends_, [&](const End& end) { return end.node_key == node_key; });
}

}  // namespace varnix
