// ProcessRegistry: the record states across passes, and the Process.Notification report.
#include "supervision/registry.h"

#include "core/steps.h"
#include "xap/fast_string.h"
#include "xap/packed_items.h"

namespace varnix {

bool ProcessRegistry::ProcessAlive(int32_t PID) {
  bool alive = false;
  Quietly([&] { alive = PID > 0 && operations_.table().IsAlive(static_cast<ProcessId>(PID)); });
  return alive;
}

void ProcessRegistry::SupervisionPass() {
  // By index: a report may dispatch nothing, but nothing here keeps a position across a wait.
  for (size_t i = 0; i < ProcessList_.size(); ++i) {
    Status& record = *ProcessList_[i];
    if (record.PID() == 0) {
      if (record.Running()) {
        SendNotification(record);
        record.Running(false);
      }
    } else if (ProcessAlive(record.PID())) {
      record.Running(true);
      if (record.AutoNotify()) {
        operations_.QueryProcess(record);
        SendNotification(record);
      }
    } else {
      record.PID(0);
      if (record.Running()) {
        SendNotification(record);
        record.Running(false);
      }
    }
  }
}

void ProcessRegistry::UpdateStartedProcess(const std::string& Path, int32_t PID,
                                           const std::string& Title) {
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
      operations_.QueryProcess(*known);
      SendNotification(*known);
    });
    return;
  }
  step(30, [&] {
    auto record = NewStatus();
    record->PID(PID);
    record->Path(Path);
    record->Title(Title);
    // A program started again after its earlier run ended takes over that run's record, in
    // its place: a record per start would grow without end and answer a stop twice. Only
    // a record no end report is owed for: never seen running by a pass, or already reported.
    for (auto& old : ProcessList_) {
      if (!old->Running() && old->Path() == Path && old->Title() == Title &&
          (old->PID() == 0 || !ProcessAlive(old->PID()))) {
        old = std::move(record);
        return;
      }
    }
    ProcessList_.push_back(std::move(record));
  });
  step(40, [&] {
    if (Status* added = find()) {
      operations_.QueryProcess(*added);
      SendNotification(*added);
    }
  });
}

void ProcessRegistry::SendNotification(Status& record) {
  Steps step([this](const Failure& failure) {
    events_.SendErrorEvent(kLogType, "SendNotification", failure);
  });
  FastString text;
  const auto item = [&](std::string_view name, const std::string& value) {
    text.Add(std::string(1, kItemSeparator));
    text.Add(name);
    text.Add(std::string(1, kNameValueSeparator));
    text.Add(value);
  };
  step(10, [&] {
    // Without a Path the text starts with an empty item, which the transport leaves out.
    if (record.Path() != "Unknown") {
      text.Add("Path");
      text.Add(std::string(1, kNameValueSeparator));
      text.Add(record.Path());
    }
    if (record.Title() != "Unknown") item("Title", record.Title());
    item("PID", std::to_string(record.PID()));
    item("Priority", record.Priority());
    const bool running = record.PID() != 0;
    item("CPU", running ? std::to_string(record.CPU()) : "");
    item("RAM", running ? std::to_string(record.RAM()) : "");
    item("Elapsed", running ? std::to_string(record.Elapsed()) : "");
  });
  step(20, [&] { queue_.SendXap("", "Computer.Process", "Process.Notification", text.Value()); });
}

}  // namespace varnix
