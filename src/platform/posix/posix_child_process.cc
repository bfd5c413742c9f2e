// Child processes on POSIX: posix_spawn without a shell, waitpid, signals.
#include <errno.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "platform/child_process.h"
#include "platform/error.h"

extern char** environ;

namespace varnix {
namespace {

class PosixChildProcess : public ChildProcess {
 public:
  explicit PosixChildProcess(pid_t pid) : pid_(pid) {}
  ~PosixChildProcess() override {
    if (!exit_code_) {
      ::kill(pid_, SIGKILL);
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
    if (!exit_code_) ::kill(pid_, SIGKILL);
  }

 private:
  pid_t pid_;
  std::optional<int> exit_code_;
};

}  // namespace

std::unique_ptr<ChildProcess> StartChildProcess(const std::string& path,
                                                const std::vector<std::string>& arguments,
                                                const std::string& working_folder,
                                                const std::vector<std::string>& environment) {
  std::vector<std::string> texts{path};
  texts.insert(texts.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& text : texts) argv.push_back(text.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  ::posix_spawn_file_actions_init(&actions);
  if (!working_folder.empty()) {
    ::posix_spawn_file_actions_addchdir_np(&actions, working_folder.c_str());
  }
  // This program's environment, less the names that `environment` sets anew.
  std::vector<std::string> entries = environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const std::string& set : environment) replaced = replaced || set.rfind(name, 0) == 0;
    if (!replaced) entries.push_back(text);
  }
  std::vector<char*> envp;
  for (std::string& text : entries) envp.push_back(text.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  const int result = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), envp.data());
  ::posix_spawn_file_actions_destroy(&actions);
  if (result != 0) throw Error(result, "Cannot start " + path + ": " + std::strerror(result));
  return std::make_unique<PosixChildProcess>(pid);
}

}  // namespace varnix
