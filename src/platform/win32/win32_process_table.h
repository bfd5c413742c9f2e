// Programs on Windows: toolhelp look-up, CreateProcess, priority classes, psapi and ntdll figures.
#pragma once

#include <functional>
#include <map>

#include "platform/process_table.h"
#include "platform/win32/win32_handles.h"

namespace varnix {

class Win32ProcessTable : public ProcessTable {
 public:
  std::unique_ptr<ProcessHandle> Hold(ProcessId pid) override;
  std::vector<bool> HaveEnded(const std::vector<const ProcessHandle*>& handles) override;
  std::optional<ExitStatus> HowEnded(const ProcessHandle& handle) override;
  bool Terminate(const ProcessHandle& handle) override;
  ProcessId FindByName(const std::string& image_name) override;
  ProcessId FindByPath(const std::string& path, const std::string& image_name) override;
  ProcessId FindByFileName(const std::string& file_name) override;
  ProcessId Start(const std::string& path, const std::string& parameter, ShowState show,
                  const LaunchSettings& launch) override;
  bool RelayLost(ProcessId program) override;
  std::string LookUpProgram(const std::string& name) override;
  std::string ProgramPath(ProcessId pid) override;
  uint64_t StartedAt(ProcessId pid) override;
  bool IsAlive(ProcessId pid) override;
  std::optional<PriorityClass> GetPriority(ProcessId pid) override;
  bool SetPriority(ProcessId pid, PriorityClass priority) override;
  bool Terminate(ProcessId pid) override;
  std::string ImageName(ProcessId pid) override;
  void RequestClose(ProcessId pid, EndSignal signal) override;
  WaitResult WaitForExit(ProcessId pid, int milliseconds) override;
  uint64_t WorkingSetBytes(ProcessId pid) override;
  std::optional<ProcessTimes> Times(ProcessId pid) override;

 private:
  // The first process of image name `image_name`, in the snapshot's order, for which `also`
  // holds when there is one.
  ProcessId FindFirst(const std::string& image_name, const std::function<bool(ProcessId)>& also);
  // A program this table started, held with the job its descendants join.
  struct Started {
    ScopedHandle process;
    ScopedHandle job;
    ScopedHandle relay;  // invalid where it has none
  };
  // The job of `pid` when this table started it and it still runs (the id is then its own).
  HANDLE JobOf(ProcessId pid);

  std::map<ProcessId, Started> started_;
};

}  // namespace varnix
