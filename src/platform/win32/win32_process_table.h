// Programs on Windows: toolhelp look-up, CreateProcess, priority classes, psapi and ntdll figures.
#pragma once

#include "platform/process_table.h"

namespace varnix {

class Win32ProcessTable : public ProcessTable {
 public:
  ProcessId FindByName(const std::string& image_name) override;
  ProcessId Start(const std::string& path, const std::string& parameter, ShowState show) override;
  bool IsAlive(ProcessId pid) override;
  std::optional<PriorityClass> GetPriority(ProcessId pid) override;
  bool SetPriority(ProcessId pid, PriorityClass priority) override;
  bool Terminate(ProcessId pid) override;
  std::string ImageName(ProcessId pid) override;
  void RequestClose(ProcessId pid) override;
  WaitResult WaitForExit(ProcessId pid, int milliseconds) override;
  uint64_t WorkingSetBytes(ProcessId pid) override;
  std::optional<ProcessTimes> Times(ProcessId pid) override;
};

}  // namespace varnix
