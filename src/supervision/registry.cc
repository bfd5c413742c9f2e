// ProcessRegistry: the record states across passes, and the Process.Notification report.
#include "supervision/registry.h"

#include <algorithm>
#include <chrono>

#include "core/steps.h"
#include "core/text.h"
#include "platform/text_encoding.h"
#include "supervision/program_log.h"
#include "xap/packed_items.h"

namespace varnix {

bool ProcessRegistry::ProcessAlive(Status& record) {
  bool alive = false;
  Quietly([&] { alive = record.Alive(); });
  return alive;
}

std::vector<bool> ProcessRegistry::AllAlive() {
  // The held processes in one question to the system; the rest by their ids.
  std::vector<const ProcessHandle*> handles;
  for (const auto& record : ProcessList_) {
    if (record->PID() != 0 && record->handle() != nullptr) handles.push_back(record->handle());
  }
  std::vector<bool> ended;
  Quietly([&] { ended = operations_.table().HaveEnded(handles); });
  std::vector<bool> alive;
  alive.reserve(ProcessList_.size());
  size_t next = 0;
  for (const auto& record : ProcessList_) {
    if (record->PID() == 0) {
      alive.push_back(false);
    } else if (record->handle() != nullptr) {
      alive.push_back(next < ended.size() && !ended[next]);
      ++next;
    } else {
      alive.push_back(ProcessAlive(*record));
    }
  }
  return alive;
}

void ProcessRegistry::SupervisionPass() {
  const std::vector<bool> alive = AllAlive();
  // Whatever it ends or follows anew is watched from now on.
  const Rewatch rewatch{*this};
  // By index: a report may dispatch nothing, but nothing here keeps a position across a wait.
  for (size_t i = 0; i < ProcessList_.size(); ++i) {
    Status& record = *ProcessList_[i];
    if (record.PID() == 0 && record.Awaited()) {
      operations_.QueryProcess(record);
      if (record.PID() == 0) continue;
      record.Awaited(false);
      record.Running(true);
      SendNotification(record);
    } else if (record.PID() == 0) {
      if (record.Running()) {
        SendNotification(record);
        record.Running(false);
      }
    } else if (i < alive.size() && alive[i]) {
      record.Running(true);
      if (RelayGone(record) || record.AutoNotify()) {
        operations_.QueryProcess(record);
        SendNotification(record);
      }
    } else {
      const auto pid = static_cast<ProcessId>(record.PID());
      record.Ended();
      if (record.Running()) {
        if (on_end_) on_end_(record, pid);
        SendNotification(record);
        record.Running(false);
      }
    }
  }
}

bool ProcessRegistry::RelayGone(Status& record) {
  if (!record.OutputLost().empty()) return false;  // told once
  if (!operations_.table().RelayLost(static_cast<ProcessId>(record.PID()))) return false;
  // At the minute, in the computer's own time, as the log's lines are stamped.
  record.OutputLost("not kept: its relay ended at " +
                    LogStamp(std::chrono::system_clock::now()).substr(11, 5));
  if (on_relay_gone_) on_relay_gone_(record);
  return true;
}

void ProcessRegistry::WatchEnds() {
  std::map<const Status*, EndWatched> watched;
  for (const auto& record : ProcessList_) {
    const ProcessHandle* handle = record->PID() != 0 ? record->handle() : nullptr;
    if (handle == nullptr || handle->Waitable() < 0) continue;
    if (const auto found = ends_.find(record.get());
        found != ends_.end() && found->second.handle == handle) {
      watched.insert(ends_.extract(found));
      continue;
    }
    const Status* which = record.get();
    watched[which] = {
        handle, operations_.loop().WatchEnd(handle->Waitable(),
                                            [this, which, handle] { EndCame(which, handle); })};
  }
  // What is left watched records that are gone, or processes they no longer follow.
  ends_ = std::move(watched);
}

void ProcessRegistry::EndCame(const Status* which, const ProcessHandle* handle) {
  const auto found = std::find_if(ProcessList_.begin(), ProcessList_.end(),
                                  [&](const auto& record) { return record.get() == which; });
  if (found == ProcessList_.end() || (*found)->PID() == 0 || (*found)->handle() != handle ||
      handle == stopping_) {
    return;
  }
  Status& record = **found;
  const auto pid = static_cast<ProcessId>(record.PID());
  record.Ended();  // collects a child of ours, keeping how it ended
  if (on_end_) on_end_(record, pid);
  SendNotification(record);
  // Told: the pass has nothing left to tell of it.
  record.Running(false);
  ends_.erase(which);
}

Status* ProcessRegistry::Add(std::unique_ptr<Status>& record, std::string_view action,
                             std::string_view source, bool always) {
  if (ProcessList_.size() >= max_records_) {
    const auto idle = std::find_if(ProcessList_.begin(), ProcessList_.end(), [](const auto& old) {
      return !old->AutoNotify() && !old->Running() && old->PID() == 0;
    });
    const int64_t now = operations_.loop().NowMilliseconds();
    if (!full_said_at_ || now - *full_said_at_ >= kFullSaidEveryMs) {
      full_said_at_ = now;
      const std::string notice = "Registry full (" + std::to_string(max_records_) +
                                 " records): " + std::string(action) + " of " + record->Path() +
                                 " from " + std::string(source);
      log_.WriteErrorLog(kLogType, notice);
      events_.SendErrorEvent(kLogType, notice);
    }
    if (idle != ProcessList_.end()) {
      ProcessList_.erase(idle);
    } else if (!always) {
      return nullptr;
    }
  }
  ProcessList_.push_back(std::move(record));
  return ProcessList_.back().get();
}

void ProcessRegistry::UpdateStartedProcess(const std::string& Path, int32_t PID,
                                           const std::string& Title, std::string_view source,
                                           const std::string& found_running,
                                           const std::string& name) {
  if (PID == 0) return;
  Steps step([this](const Failure& failure) {
    events_.SendErrorEvent(kLogType, "UpdateStartedProcess", failure);
  });
  const auto find = [&]() -> Status* {
    for (const auto& record : ProcessList_) {
      if (record->PID() == PID) return record.get();
    }
    return nullptr;
  };
  if (Status* known = find()) {
    step(20, [&] {
      if (!name.empty()) known->Name(name);
      operations_.QueryProcess(*known);
      if (!found_running.empty()) known->Tell("AlreadyRunning", found_running);
      SendNotification(*known);
    });
    return;
  }
  // Reported from even when the registry had no room for it.
  std::unique_ptr<Status> record;
  step(30, [&] {
    record = NewStatus();
    record->PID(PID);
    record->Path(Path);
    record->Title(Title);
    record->Name(name);  // before its end is told: the name is part of the program's key
    // A program started again after its earlier run ended takes over that run's record, in
    // its place: a record per start would grow without end and answer a stop twice. Only
    // a record no end report is owed for: never seen running by a pass, or already reported.
    for (auto& old : ProcessList_) {
      if (!old->Running() && old->PathKey() == record->PathKey() && old->Title() == Title &&
          EqualsIgnoringCase(old->Name(), name) && (old->PID() == 0 || !ProcessAlive(*old))) {
        old = std::move(record);
        return;
      }
    }
    Add(record, "start", source, /*always=*/true);
  });
  step(40, [&] {
    Status* added = record ? record.get() : find();
    if (added == nullptr) return;
    if (!name.empty()) added->Name(name);
    // A program that ended before this report is told as ended, with how, not looked up by
    // name: another program of that name is not the one just started.
    const ProcessHandle* held = added->handle();
    if (held != nullptr && operations_.table().HasEnded(*held)) {
      added->Ended();
      if (on_end_) on_end_(*added, static_cast<ProcessId>(PID));
    } else {
      operations_.QueryProcess(*added);
    }
    if (!name.empty()) added->Name(name);
    if (!found_running.empty()) added->Tell("AlreadyRunning", found_running);
    SendNotification(*added);
  });
}

void ProcessRegistry::SendNotification(Status& record) {
  Steps step([this](const Failure& failure) {
    events_.SendErrorEvent(kLogType, "SendNotification", failure);
  });
  std::string text;
  const auto item = [&](std::string_view name, const std::string& value) {
    AppendItem(text, name, value);
  };
  // A folder named in letters the code page lacks goes by the short name the system keeps.
  const auto path_item = [&](std::string_view name, const std::string& path) {
    const std::string carried = PathTheWireCarries(path);
    item(name, carried.empty() ? path : carried);
  };
  step(10, [&] {
    if (record.Path() != "Unknown") path_item("Path", record.Path());
    if (record.Title() != "Unknown") item("Title", record.Title());
    item("PID", std::to_string(record.PID()));
    item("Priority", record.Priority());
    const bool running = record.PID() != 0;
    item("CPU", running ? std::to_string(record.CPU()) : "");
    item("RAM", running ? std::to_string(record.RAM()) : "");
    item("Elapsed", running ? std::to_string(record.Elapsed()) : "");
    // How the program ended, after the usual items, for the controllers that look for it.
    if (!running && record.exit()) {
      if (record.exit()->code) item("ExitCode", std::to_string(*record.exit()->code));
      if (!record.exit()->signal.empty()) item("Signal", record.exit()->signal);
    }
    if (!running && record.forced()) item("Forced", "yes");
    if (running && !record.OutputLost().empty()) item("Output", record.OutputLost());
    if (!record.Name().empty()) item("Name", record.Name());
    for (const auto& [name, value] : record.Told()) {
      if (name == "AlreadyRunning") {
        path_item(name, value);
      } else {
        item(name, value);
      }
    }
  });
  record.Told({});
  step(20, [&] { queue_.SendXap("", "Computer.Process", "Process.Notification", text); });
}

}  // namespace varnix
