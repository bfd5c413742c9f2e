// A program started as a child of this one, owned until it has ended.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace varnix {

class ChildProcess {
 public:
  // Dropping a child that still runs kills it and waits for it.
  virtual ~ChildProcess() = default;

  virtual unsigned long Pid() const = 0;
  // The exit code once the child has ended within `limit`, else nothing.
  virtual std::optional<int> WaitForExit(std::chrono::milliseconds limit) = 0;
  // Asks the child to end: SIGTERM, or WM_CLOSE to its top-level windows.
  virtual void RequestEnd() = 0;
  virtual void Kill() = 0;
};

// Starts `path` with `arguments`, without a shell, in `working_folder` ("" for this one's).
// `environment` holds "NAME=value" entries that are set for the child on top of this
// program's own. With an `output_file`, the child's standard output and standard error go
// there, to a file made anew. Throws Error when the program cannot be started.
std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path,
                                                const std::vector<std::string>& arguments,
                                                const std::string& working_folder = "",
                                                const std::vector<std::string>& environment = {},
                                                const std::string& output_file = "");

// Starts `path` with `arguments` for a reading the node takes of its own accord: without a
// shell, with no window and nothing to read, its standard output and standard error in
// `output_file`, and everything it starts in one group with it, which Kill ends whole, so that
// a command that hangs leaves nothing behind. Where the system bounds a process's files (Linux),
// a write past `most_bytes` ends it. Throws Error when it cannot be started.
std::unique_ptr<ChildProcess> StartCommand(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           const std::string& output_file, uint64_t most_bytes);

}  // namespace varnix
