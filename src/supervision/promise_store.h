// What the node has promised to keep running, kept in Data/ so that a restart of the node
// keeps the promise: each plan with the process it runs (written as soon as that process
// exists), what the declared programs did in this boot, and the declared programs stopped.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/failure.h"
#include "platform/file_system.h"
#include "supervision/restart_plans.h"

namespace varnix {

struct Promise {
  StartRequest request;
  RestartPolicy policy = RestartPolicy::kNo;
  ProcessId pid = 0;        // 0 while a start was due
  uint64_t started_at = 0;  // ProcessTable::StartedAt of `pid`: the same process, not a namesake
  bool gave_up = false;
  bool done = false;  // ran, and ended for good, in this boot
  std::optional<ExitStatus> last_end;
};

struct Promises {
  std::vector<Promise> kept;
  std::vector<std::string> stopped;  // declared programs stopped by a request, by name
  int64_t booted = 0;      // when the computer started that made them, Unix seconds; 0 unknown
  std::string boot_id;     // the system's name for that boot; "" unknown
  bool set_aside = false;  // the file could not be read, and was set aside
};

class PromiseStore {
 public:
  // Far beyond the plans of a thousand programs; a file larger is not the node's.
  static constexpr uint64_t kMostBytes = 1 << 20;

  PromiseStore(FileSystem& files, ErrorLog& log, std::string path)
      : files_(files), log_(log), path_(std::move(path)) {}

  // What the last run kept; nothing when there is no file. A file that cannot be read is
  // named in the log and promises nothing.
  Promises Load();
  // Replaces the file whole (written aside, then renamed over it); a failure is logged once.
  void Save(const Promises& promises);

  // One line of the file, and back: words of printable ASCII, the rest as %XX.
  static std::string Line(const Promise& promise);
  static bool FromLine(std::string_view line, Promise& promise);

 private:
  FileSystem& files_;
  ErrorLog& log_;
  std::string path_;
  bool failure_said_ = false;
};

}  // namespace varnix
