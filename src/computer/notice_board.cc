// NoticeBoard: one notice at a time, each answered, put away, or timed out.
#include "computer/notice_board.h"

#include "core/text.h"
#include "platform/error.h"

namespace varnix {

NoticeBoard::NoticeBoard(Machine& machine, EventLoop& loop, ErrorLog& log, Tell tell)
    : machine_(machine),
      loop_(loop),
      log_(log),
      tell_(std::move(tell)),
      timer_(loop.CreateTimer([this] { Tick(); })) {}

NoticeBoard::~NoticeBoard() = default;

Notice NoticeBoard::Read(const NoticeRequest& request) {
  Notice notice;
  notice.text = std::string(CutAtCharacter(request.text, kMostTextBytes));
  const std::string_view title = TrimSpaces(request.title);
  notice.title =
      title.empty() ? kDefaultTitle : std::string(CutAtCharacter(title, kMostTitleBytes));
  for (const std::string& action : Split(request.actions, ';')) {
    const std::string_view word = TrimSpaces(action);
    if (word.empty()) continue;
    if (notice.actions.size() == kMostActions) break;
    notice.actions.push_back(std::string(CutAtCharacter(word, kMostActionBytes)));
  }
  const std::optional<uint64_t> seconds = WholeNumber(TrimSpaces(request.timeout));
  notice.timeout = std::chrono::seconds(
      seconds && *seconds > 0
          ? static_cast<int64_t>(std::min<uint64_t>(*seconds, kMostTimeoutSeconds))
          : kDefaultTimeoutSeconds);
  return notice;
}

void NoticeBoard::Show(const NoticeRequest& request) {
  if (Showing()) {
    if (!refusal_said_) {
      refusal_said_ = true;
      log_.WriteErrorLog(kLogType, "A notice from " + ShownSafely(request.source, 256) +
                                       " is not shown: one is on the screen (further ones are "
                                       "not said until it goes)");
    }
    return;
  }
  const Notice notice = Read(request);
  heading_ = {{"Title", notice.title}};
  if (!request.request.empty()) heading_.emplace_back("Request", request.request);
  refusal_said_ = false;
  try {
    shown_ = machine_.ShowNotice(loop_, notice,
                                 [this](const NoticeAnswer& answer) { Answered(answer); });
  } catch (const Error& e) {
    Finish({{"Outcome", "not shown"}, {"Problem", e.description()}});
    return;
  }
  timer_->SetInterval(static_cast<int>(notice.timeout.count() * 1000));
  timer_->SetEnabled(true);
}

void NoticeBoard::Answered(const NoticeAnswer& answer) {
  if (!answer.problem.empty()) {
    Finish({{"Outcome", "not shown"}, {"Problem", answer.problem}});
  } else if (!answer.action.empty()) {
    Finish({{"Outcome", "answered"}, {"Action", answer.action}});
  } else {
    Finish({{"Outcome", "dismissed"}});
  }
  // The notice's own call is under way: it goes at the next tick, not from within it.
  ending_ = true;
  timer_->SetInterval(1);
  timer_->SetEnabled(true);
}

void NoticeBoard::Tick() {
  timer_->SetEnabled(false);
  if (ending_) {
    ending_ = false;
    shown_.reset();
    return;
  }
  if (shown_ == nullptr) return;
  shown_.reset();  // taken away: nobody answered in time
  Finish({{"Outcome", "no answer"}});
}

void NoticeBoard::Finish(StatusItems outcome) {
  StatusItems items = heading_;
  items.insert(items.end(), outcome.begin(), outcome.end());
  if (outcome.front().second == "not shown") {
    log_.WriteErrorLog(kLogType, "A notice was not shown: " + outcome.back().second);
  }
  tell_(std::move(items));
}

}  // namespace varnix
