// How much the node sends in answers: a log or list is many datagrams for one request, a
// status one that costs readings, and all are broadcast, so a stranger must not be able to
// make the node an amplifier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace varnix {

class AnswerBudget {
 public:
  // One source in a minute: a page with sixteen logs open asks 480 times for 50 lines each.
  static constexpr size_t kRequestsPerMinute = 600;
  static constexpr size_t kLinesPerMinute = 30000;
  // All sources in a second: the sender's name is whatever a datagram says it is.
  static constexpr size_t kMessagesPerSecond = 100;
  // Sources counted at once; a flood of made-up names shares what is left.
  static constexpr size_t kSources = 256;

  // `what` names the answers in the line that says how many were refused.
  explicit AnswerBudget(
      std::string what = "requests (for logs, lists, sensors or the computer's status)",
      size_t requests_per_minute = kRequestsPerMinute,
      size_t messages_per_second = kMessagesPerSecond)
      : what_(std::move(what)),
        requests_per_minute_(requests_per_minute),
        messages_per_second_(messages_per_second) {}

  // Whether `source` may be sent an answer of `lines` lines in `messages` messages now; taken
  // from its budget when it may, and counted as refused when not.
  bool Take(std::string_view source, size_t lines, size_t messages, int64_t now_ms);
  // What was refused since it was last said, once a minute at most: "" when nothing is due.
  std::string Refusals(int64_t now_ms);

 private:
  struct Spent {
    size_t requests = 0;
    size_t lines = 0;
  };
  std::string what_;
  size_t requests_per_minute_;
  size_t messages_per_second_;
  std::map<std::string, Spent, std::less<>> sources_;
  std::optional<int64_t> minute_started_;  // on the loop's clock
  std::optional<int64_t> second_started_;
  size_t messages_ = 0;
  size_t refused_ = 0;
  std::string last_refused_;
  std::optional<int64_t> said_at_;
};

}  // namespace varnix
