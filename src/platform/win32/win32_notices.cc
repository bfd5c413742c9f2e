// A notice on a Windows desktop: a message box in the console session through WTSSendMessage,
// which a service may show, waited for on a thread of its own.
#include <memory>

#include "platform/error.h"
#include "platform/win32/win32_handles.h"
#include "platform/win32/win32_machine.h"

namespace varnix {
namespace {

// The answers a message box offers, in the order of its buttons, and the answer each of its
// results stands for.
struct Buttons {
  UINT style;
  std::vector<std::string> answers;
};

const Buttons kButtonSets[] = {
    {MB_OK, {"OK"}},
    {MB_OKCANCEL, {"OK", "Cancel"}},
    {MB_YESNO, {"Yes", "No"}},
    {MB_YESNOCANCEL, {"Yes", "No", "Cancel"}},
    {MB_RETRYCANCEL, {"Retry", "Cancel"}},
    {MB_ABORTRETRYIGNORE, {"Abort", "Retry", "Ignore"}},
};

std::string AnswerOf(DWORD response) {
  switch (response) {
    case IDOK:
      return "OK";
    case IDCANCEL:
      return "Cancel";
    case IDABORT:
      return "Abort";
    case IDRETRY:
      return "Retry";
    case IDIGNORE:
      return "Ignore";
    case IDYES:
      return "Yes";
    case IDNO:
      return "No";
    default:
      return "";
  }
}

bool SameWord(const std::string& a, const std::string& b) {
  return a.size() == b.size() &&
         CompareStringOrdinal(WideFromText(a).c_str(), -1, WideFromText(b).c_str(), -1, TRUE) == 2;
}

// What the thread shows and what it was answered; the thread holds it too, since a notice
// whose time is up goes while its box may still be on the screen.
struct Box {
  DWORD session = 0;
  std::wstring title;
  std::wstring text;
  UINT style = MB_OK;
  DWORD timeout_seconds = 0;
  BOOL shown = FALSE;
  DWORD response = 0;
  DWORD error = 0;
};

DWORD WINAPI ShowBox(void* parameter) {
  const std::unique_ptr<std::shared_ptr<Box>> held(static_cast<std::shared_ptr<Box>*>(parameter));
  Box& box = **held;
  box.shown = WTSSendMessageW(
      WTS_CURRENT_SERVER_HANDLE, box.session, box.title.data(),
      static_cast<DWORD>(box.title.size() * sizeof(wchar_t)), box.text.data(),
      static_cast<DWORD>(box.text.size() * sizeof(wchar_t)),
      box.style | MB_SETFOREGROUND | MB_TOPMOST, box.timeout_seconds, &box.response, TRUE);
  if (!box.shown) box.error = GetLastError();
  return 0;
}

class MessageBoxNotice : public ShownNotice {
 public:
  MessageBoxNotice(EventLoop& loop, const Notice& notice,
                   std::function<void(const NoticeAnswer&)> answered)
      : answered_(std::move(answered)), box_(std::make_shared<Box>()) {
    box_->session = WTSGetActiveConsoleSessionId();
    if (box_->session == 0xFFFFFFFF) {
      throw Error(ERROR_NO_SUCH_LOGON_SESSION, "nobody is at the computer (no console session)");
    }
    // A notice that only tells has the box's one button, whose press puts it away.
    const Buttons* buttons = notice.actions.empty() ? &kButtonSets[0] : nullptr;
    for (const Buttons& set : kButtonSets) {
      if (buttons != nullptr) break;
      if (set.answers.size() != notice.actions.size()) continue;
      bool same = true;
      for (size_t i = 0; i < notice.actions.size(); ++i) {
        same = same && SameWord(set.answers[i], notice.actions[i]);
      }
      if (same) buttons = &set;
    }
    if (buttons == nullptr) {
      throw Error(ERROR_INVALID_PARAMETER,
                  "a Windows message box offers only OK, OK;Cancel, Yes;No, Yes;No;Cancel, "
                  "Retry;Cancel or Abort;Retry;Ignore");
    }
    actions_ = notice.actions;
    box_->style = buttons->style;
    box_->title = WideFromText(notice.title);
    box_->text = WideFromText(notice.text);
    box_->timeout_seconds = static_cast<DWORD>(notice.timeout.count());
    auto* held = new std::shared_ptr<Box>(box_);
    thread_ = ScopedHandle(CreateThread(nullptr, 0, ShowBox, held, 0, nullptr));
    if (!thread_.valid()) {
      const DWORD error = GetLastError();
      delete held;
      throw Error(static_cast<long>(error), "no thread to show the notice on");
    }
    watch_ = loop.WatchEnd(reinterpret_cast<intptr_t>(thread_.get()), [this] { Ended(); });
  }
  ~MessageBoxNotice() override {
    // A box still shown stays until its own time is up: Windows takes none away.
    watch_.reset();
  }
  MessageBoxNotice(const MessageBoxNotice&) = delete;
  MessageBoxNotice& operator=(const MessageBoxNotice&) = delete;

 private:
  void Ended() {
    NoticeAnswer answer;
    if (!box_->shown) {
      answer.problem =
          "Windows did not show it (WTSSendMessage: " +
          (box_->error == 0 ? std::string("not available here") : SystemErrorText(box_->error)) +
          ")";
    } else if (box_->response == IDTIMEOUT) {
      return;  // nobody answered: the caller's time tells it
    } else if (!actions_.empty()) {
      // Told as the asker spelled it.
      const std::string chosen = AnswerOf(box_->response);
      for (const std::string& action : actions_) {
        if (SameWord(action, chosen)) answer.action = action;
      }
    }
    const auto answered = std::exchange(answered_, nullptr);
    if (answered) answered(answer);
  }

  std::function<void(const NoticeAnswer&)> answered_;
  std::vector<std::string> actions_;
  std::shared_ptr<Box> box_;
  ScopedHandle thread_;
  std::unique_ptr<EndWatch> watch_;
};

}  // namespace

std::unique_ptr<ShownNotice> Win32Machine::ShowNotice(
    EventLoop& loop, const Notice& notice, std::function<void(const NoticeAnswer&)> answered) {
  return std::make_unique<MessageBoxNotice>(loop, notice, std::move(answered));
}

}  // namespace varnix
