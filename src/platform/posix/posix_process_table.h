// Programs on Linux: /proc, posix_spawn without a shell, signals and nice values.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <set>

#include "platform/process_table.h"

namespace varnix {

class PosixProcessTable : public ProcessTable {
 public:
  // Lets this process hold as many descriptors as the system allows it: one per supervised
  // program is held.
  PosixProcessTable();
  // Children still running are left running: they are programs the node was asked to start.
  ~PosixProcessTable() override;

  std::unique_ptr<ProcessHandle> Hold(ProcessId pid) override;
  std::vector<bool> HaveEnded(const std::vector<const ProcessHandle*>& handles) override;
  std::optional<ExitStatus> HowEnded(const ProcessHandle& handle) override;
  bool Terminate(const ProcessHandle& handle) override;
  ProcessId FindByName(const std::string& image_name) override;
  ProcessId FindByPath(const std::string& path, const std::string& image_name) override;
  ProcessId FindByFileName(const std::string& file_name) override;
  ProcessId Start(const std::string& path, const std::string& parameter, ShowState show,
                  const LaunchSettings& launch) override;
  bool StartsAsAnotherUser() const override { return true; }
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
  bool SendSignal(ProcessId pid, EndSignal signal) override;
  WaitResult WaitForExit(ProcessId pid, int milliseconds) override;
  uint64_t WorkingSetBytes(ProcessId pid) override;
  std::optional<ProcessTimes> Times(ProcessId pid) override;

 private:
  // The first live process of image name `image_name`, by id, for which `also` (given
  // /proc's descriptor and the id) holds when there is one.
  ProcessId FindFirst(const std::string& image_name,
                      const std::function<bool(int, ProcessId)>& also);
  // Collects every child that has ended, so none lingers as a zombie.
  void ReapChildren();
  // Collects child `pid` if it has ended, keeping how it ended; true when it has.
  bool Reap(ProcessId pid);
  // Kills a child's whole session (its process group: the node made it a session leader),
  // then waits briefly for the child to go.
  bool KillChildTree(ProcessId pid);

  std::set<ProcessId> children_;
  std::set<ProcessId> relays_;  // collected as they end, and never reported
  // Each running child's relay, and once it has ended, whether at its streams' end.
  struct Relay {
    ProcessId pid = 0;
    std::optional<bool> clean;
  };
  std::map<ProcessId, Relay> relay_of_;
  // Collects relay `pid` when it has ended, noting how; false while it runs.
  bool CollectRelay(ProcessId pid);
  // How collected children ended, until a new child takes the same id; the latest few only,
  // so that a node that runs short jobs for years does not grow.
  static constexpr size_t kEndedKept = 256;
  std::map<ProcessId, ExitStatus> ended_children_;
  std::deque<ProcessId> ended_order_;
};

}  // namespace varnix
