// Programs on Linux: /proc, posix_spawn without a shell, signals and nice values.
#pragma once

#include <set>

#include "platform/process_table.h"

namespace varnix {

class PosixProcessTable : public ProcessTable {
 public:
  PosixProcessTable() = default;
  // Children still running are left running: they are programs the node was asked to start.
  ~PosixProcessTable() override;

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

 private:
  // Collects every child that has ended, so none lingers as a zombie.
  void ReapChildren();

  std::set<ProcessId> children_;
};

}  // namespace varnix
