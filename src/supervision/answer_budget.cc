// AnswerBudget: counts in fixed windows, a minute for each source and a second for all.
#include "supervision/answer_budget.h"

#include "core/text.h"

namespace varnix {

bool AnswerBudget::Take(std::string_view source, size_t lines, size_t messages, int64_t now_ms) {
  // A window starts anew when it is over, or when the clock went back.
  const auto over = [&](const std::optional<int64_t>& started, int64_t length) {
    return !started || now_ms - *started >= length || now_ms < *started;
  };
  if (over(minute_started_, 60000)) {
    sources_.clear();
    minute_started_ = now_ms;
  }
  if (over(second_started_, 1000)) {
    messages_ = 0;
    second_started_ = now_ms;
  }
  auto found = sources_.find(source);
  if (found == sources_.end() && sources_.size() < kSources) {
    found = sources_.emplace(std::string(source), Spent{}).first;
  }
  // Past the bound of names, the made-up ones share one budget.
  Spent& spent = found != sources_.end() ? found->second : sources_[""];
  if (spent.requests + 1 > requests_per_minute_ || spent.lines + lines > kLinesPerMinute ||
      messages_ + messages > messages_per_second_) {
    ++refused_;
    last_refused_ = ShownSafely(source, 256);  // a name anyone may write
    return false;
  }
  ++spent.requests;
  spent.lines += lines;
  messages_ += messages;
  return true;
}

std::string AnswerBudget::Refusals(int64_t now_ms) {
  if (refused_ == 0 || (said_at_ && now_ms - *said_at_ < 60000 && now_ms >= *said_at_)) return "";
  said_at_ = now_ms;
  const std::string said =
      "Not answered: " + std::to_string(refused_) + " " + what_ +
      " past what one source may ask in a minute, or all in a second; the last from " +
      last_refused_;
  refused_ = 0;
  return said;
}

}  // namespace varnix
