// Child processes on POSIX: posix_spawn without a shell, waitpid, signals.
#include <errno.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/child_process.h"
#include "platform/error.h"
#include "platform/posix/spawn.h"

namespace varnix {
namespace {

class PosixChildProcess : public ChildProcess {
 public:
  // A `group` leader is ended with all it started.
  PosixChildProcess(pid_t pid, bool group) : pid_(pid), group_(group) {}
  ~PosixChildProcess() override {
    if (!exit_code_) {
      Kill();
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }

  unsigned long Pid() const override { return static_cast<unsigned long>(pid_); }

  std::optional<int> WaitForExit(std::chrono::milliseconds limit) override {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!exit_code_) {
      int status = 0;
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      } else if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
        break;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    }
    return exit_code_;
  }

  void RequestEnd() override {
    if (!exit_code_) ::kill(pid_, SIGTERM);
  }
  void Kill() override {
    if (!exit_code_) ::kill(group_ ? -pid_ : pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  bool group_;
  std::optional<int> exit_code_;
};

// Starts `path` with `arguments` as `options` say: its id; throws Error when it cannot start.
pid_t SpawnOrThrow(const std::string& path, const std::vector<std::string>& arguments,
                   const SpawnOptions& options) {
  std::vector<std::string> argv{path};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const SpawnResult started = Spawn(std::move(argv), options);
  if (started.error != 0) {
    throw Error(started.error, "Cannot start " + path + ": " + std::strerror(started.error));
  }
  return started.pid;
}

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path,
                                                const std::vector<std::string>& arguments,
                                                const std::string& working_folder,
                                                const std::vector<std::string>& environment,
                                                const std::string& output_file) {
  SpawnOptions options;
  options.working_folder = working_folder;
  options.environment = environment;
  options.output_file = output_file;
  return std::make_unique<PosixChildProcess>(SpawnOrThrow(path, arguments, options), false);
}

std::unique_ptr<ChildProcess> StartCommand(const std::string& path,
                                           const std::vector<std::string>& arguments,
                                           const std::string& output_file, uint64_t most_bytes) {
  SpawnOptions options;
  options.own_session = true;  // its own group, which Kill ends whole
  options.clean_signals = true;
  options.output_file = output_file;
  options.no_input = true;
  const pid_t pid = SpawnOrThrow(path, arguments, options);
#ifdef __linux__
  // Set from outside, as posix_spawn sets no limit: what it wrote in the moment before is
  // little, and a write past the bound ends it with SIGXFSZ.
  const struct rlimit most { most_bytes, most_bytes };
  ::prlimit(pid, RLIMIT_FSIZE, &most, nullptr);
#else
  (void)most_bytes;
#endif
  return std::make_unique<PosixChildProcess>(pid, true);
}

}  // namespace varnix
