// Notices for the person at the computer, one at a time: each is shown, waited for within its
// time, and what became of it is told.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "computer/computer_figures.h"
#include "core/failure.h"
#include "platform/event_loop.h"
#include "platform/machine.h"

namespace varnix {

// A request for a notice as it came: each value as the request gave it, "" where it gave none.
struct NoticeRequest {
  std::string text;
  std::string title;
  std::string actions;  // "Yes;No"
  std::string timeout;  // seconds
  std::string request;  // the asker's token, given back
  std::string source;   // who asked, for the log
};

class NoticeBoard {
 public:
  static constexpr size_t kMostTextBytes = 1024;
  static constexpr size_t kMostTitleBytes = 128;
  static constexpr size_t kMostActions = 4;
  static constexpr size_t kMostActionBytes = 32;
  static constexpr int64_t kDefaultTimeoutSeconds = 60;
  static constexpr int64_t kMostTimeoutSeconds = 3600;
  static constexpr char kDefaultTitle[] = "Varnix";

  // `tell` sends what became of each notice, as the items of a Computer.Notice: its Title (and
  // Request), then Outcome=answered with Action, dismissed, no answer, or not shown with Problem.
  using Tell = std::function<void(StatusItems)>;
  NoticeBoard(Machine& machine, EventLoop& loop, ErrorLog& log, Tell tell);
  ~NoticeBoard();
  NoticeBoard(const NoticeBoard&) = delete;
  NoticeBoard& operator=(const NoticeBoard&) = delete;

  // Shows the notice unless one is shown: a flood costs nothing beyond its first, and is said in
  // the log once for each notice shown.
  void Show(const NoticeRequest& request);
  bool Showing() const { return shown_ != nullptr || ending_; }

  // The notice a request asks for, cut to the bounds above.
  static Notice Read(const NoticeRequest& request);

 private:
  void Answered(const NoticeAnswer& answer);
  void Tick();
  void Finish(StatusItems outcome);

  Machine& machine_;
  EventLoop& loop_;
  ErrorLog& log_;
  Tell tell_;
  std::unique_ptr<Timer> timer_;
  std::unique_ptr<ShownNotice> shown_;
  StatusItems heading_;  // Title and Request of the notice shown
  bool ending_ = false;  // answered: taken away at the next tick, outside the system's call
  bool refusal_said_ = false;
};

}  // namespace varnix
