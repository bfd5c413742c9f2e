// The record of one supervised program, and the samplers of its processor use and memory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/path_rules.h"
#include "platform/process_table.h"

namespace varnix {

// Processor use and running time of one process, sampled by its id.
class clsCpuUsage {
 public:
  explicit clsCpuUsage(ProcessTable& table) : table_(table) {}

  // Percent of one processor since the previous read of the same process, 0 to 100. The
  // first read of a process has no previous one: it gives the average over the process's life.
  int Usage(ProcessId pid);
  // Whole seconds since the process started; 0 when it cannot be read.
  int64_t Elapsed(ProcessId pid);
  void ReleaseCounters() { last_.reset(); }

 private:
  struct Sample {
    ProcessId pid;
    ProcessTimes times;
  };
  ProcessTable& table_;
  std::optional<Sample> last_;
};

// Working-set bytes of a process; 0 when it cannot be read.
inline uint64_t GetProcessRAM(ProcessTable& table, ProcessId pid) {
  return table.WorkingSetBytes(pid);
}

// `path` with "." and doubled separators gone and ".." taken back, by its text alone; lower
// case where the system ignores the case of names. Never lower-cased where it does not: there
// /x/MyTail and /x/MYTAIL are two programs.
std::string PathKeyOf(const std::string& path, PathRules paths);

class Status {
 public:
  // The file a path names, through every link ("/proc/self/root/bin/tail" is "/usr/bin/tail").
  using Resolve = std::function<std::string(const std::string& path)>;
  // `paths` are the rules for the names taken from Path; `resolve`, where given, tells the file
  // that records are keyed by.
  Status(ProcessTable& table, PathRules paths, Resolve resolve = nullptr)
      : table_(table), paths_(paths), resolve_(std::move(resolve)), usage_(table) {}

  const std::string& Path() const { return path_; }
  void Path(const std::string& s);
  // The path as records are told apart: spellings of one file, through links too, are one
  // record.
  const std::string& PathKey() const { return key_; }
  const std::string& Title() const { return title_; }
  void Title(const std::string& s);
  int32_t PID() const { return pid_; }
  // Setting an id also takes a hold on that process, so that the record follows it and not
  // whatever program the system later gives the id to.
  void PID(int32_t value);
  // The hold on process PID; nullptr when there is none (no PID, or the system gives none).
  const ProcessHandle* handle() const { return handle_.get(); }
  // Whether process PID still runs: by the hold where there is one, else by the id.
  bool Alive();
  // The program has ended: keeps how, where the system tells, and sets PID to 0.
  void Ended();
  // How the last program this record followed ended; nothing while it runs or when unknown.
  const std::optional<ExitStatus>& exit() const { return exit_; }
  // Whether the node itself ended that program by force (work in it may be lost).
  bool forced() const { return forced_; }
  void Forced() { forced_ = true; }
  // Why the running program's output is no longer kept ("not kept: its relay ended at 20:06");
  // "" while it is, or where it never was.
  const std::string& OutputLost() const { return output_lost_; }
  void OutputLost(std::string why) { output_lost_ = std::move(why); }
  // The declared program's name, told in every report of it; "" for a program named by path.
  const std::string& Name() const { return name_; }
  void Name(std::string name) { name_ = std::move(name); }
  // Items for the next report alone, after all others: what a start found running instead
  // (AlreadyRunning), that a plan gave up with this end (GaveUp).
  using Items = std::vector<std::pair<std::string, std::string>>;
  const Items& Told() const { return told_; }
  void Tell(std::string name, std::string value) {
    told_.emplace_back(std::move(name), std::move(value));
  }
  void Told(Items items) { told_ = std::move(items); }
  // An announced program not found yet: each pass looks for it, until it is found once.
  bool Awaited() const { return awaited_; }
  void Awaited(bool value) { awaited_ = value; }
  bool AutoNotify() const { return autoNotify_; }
  void AutoNotify(bool value) { autoNotify_ = value; }
  const std::string& process() const { return process_; }
  const std::string& Priority() const { return priority_; }
  void Priority(std::string value) { priority_ = std::move(value); }
  bool Running() const { return running_; }
  void Running(bool value) { running_ = value; }

  // Live figures of process PID, each a fresh reading.
  int CPU() { return usage_.Usage(static_cast<ProcessId>(pid_)); }
  uint64_t RAM() { return GetProcessRAM(table_, static_cast<ProcessId>(pid_)); }
  int64_t Elapsed() { return usage_.Elapsed(static_cast<ProcessId>(pid_)); }
  int32_t CPUCum() const { return cpuCum_; }
  void CollectStatistics();

 private:
  ProcessTable& table_;
  PathRules paths_;
  Resolve resolve_;
  std::string path_ = "Unknown";
  std::string key_ = "Unknown";
  std::string title_ = "Unknown";
  int32_t pid_ = 0;
  std::unique_ptr<ProcessHandle> handle_;
  std::optional<ExitStatus> exit_;
  bool forced_ = false;
  std::string output_lost_;
  std::string name_;
  Items told_;
  bool awaited_ = false;
  bool autoNotify_ = false;
  std::string process_;
  std::string priority_ = "Unknown";
  bool running_ = false;
  int32_t cpuCum_ = 0;
  clsCpuUsage usage_;
};

}  // namespace varnix
