// posix_spawn with its attribute objects held for exactly the call.
#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace varnix {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// This program's environment, less the names that `changes` sets anew, after `changes`.
std::vector<std::string> Environment(const std::vector<std::string>& changes) {
  std::vector<std::string> entries = changes;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text = *entry;
    const std::string_view name = text.substr(0, text.find('=') + 1);
    bool replaced = false;
    for (const std::string& set : changes) replaced = replaced || set.starts_with(name);
    if (!replaced) entries.emplace_back(text);
  }
  return entries;
}

class SpawnAttributes {
 public:
  SpawnAttributes() { ::posix_spawnattr_init(&value_); }
  ~SpawnAttributes() { ::posix_spawnattr_destroy(&value_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  posix_spawnattr_t* get() { return &value_; }

 private:
  posix_spawnattr_t value_;
};

class SpawnFileActions {
 public:
  SpawnFileActions() { ::posix_spawn_file_actions_init(&value_); }
  ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&value_); }
  SpawnFileActions(const SpawnFileActions&) = delete;
  SpawnFileActions& operator=(const SpawnFileActions&) = delete;
  posix_spawn_file_actions_t* get() { return &value_; }

 private:
  posix_spawn_file_actions_t value_;
};

// fork and exec, for what posix_spawn cannot do. Between the two only calls that are safe in
// the child of a process with threads: everything is prepared before the fork. A failure in
// the child comes back through a pipe that its exec closes.
SpawnResult ForkAndExec(std::vector<char*>& args, char** envp, const SpawnOptions& options) {
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return {0, errno};
  const char* const folder =
      options.working_folder.empty() ? nullptr : options.working_folder.c_str();
  const char* const output = options.output_file.empty() ? nullptr : options.output_file.c_str();
  const Credentials& as = *options.as;
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    ::close(report[0]);
    ::close(report[1]);
    return {0, error};
  }
  if (pid == 0) {
    const auto fail = [&] {
      const int error = errno;
      [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
      ::_exit(127);
    };
    if (options.own_session && ::setsid() < 0) fail();
    if (options.clean_signals) {
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      struct sigaction fresh {};
      fresh.sa_handler = SIG_DFL;
      for (const int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGHUP}) {
        ::sigaction(signal, &fresh, nullptr);
      }
    }
    if (options.no_input) {
      const int fd = ::open("/dev/null", O_RDONLY);
      if (fd < 0 || ::dup2(fd, STDIN_FILENO) < 0) fail();
    }
    if (output != nullptr) {
      const int fd = ::open(output, O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0 || ::dup2(fd, STDERR_FILENO) < 0) fail();
    }
    for (const auto& [held, number] : options.descriptors) {
      if (::dup2(held, number) < 0) fail();
    }
    // Groups first, then the group, then the user: each later step drops the right to the
    // earlier ones.
    if (::setgroups(as.groups.size(), as.groups.data()) != 0 || ::setgid(as.gid) != 0 ||
        ::setuid(as.uid) != 0) {
      fail();
    }
    if (folder != nullptr && ::chdir(folder) != 0) fail();
    if (options.search_path) {
      ::execvpe(args[0], args.data(), envp);
    } else {
      ::execve(args[0], args.data(), envp);
    }
    fail();
  }
  ::close(report[1]);
  int error = 0;
  ssize_t got = 0;
  do {
    got = ::read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof error)) {
    // It never ran: collected here, as nobody else will.
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return {0, error};
  }
  return {pid, 0};
}

}  // namespace

SpawnResult Spawn(std::vector<std::string> argv, const SpawnOptions& options) {
  if (options.as) {
    std::vector<std::string> environment = Environment(options.environment);
    std::vector<char*> envp = Pointers(environment);
    std::vector<char*> args = Pointers(argv);
    return ForkAndExec(args, envp.data(), options);
  }
  SpawnAttributes attributes;
  short flags = 0;
  if (options.own_session) flags |= POSIX_SPAWN_SETSID;
  if (options.clean_signals) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD, SIGHUP}) {
      sigaddset(&defaults, signal);
    }
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  }
  ::posix_spawnattr_setflags(attributes.get(), flags);
  SpawnFileActions actions;
  if (!options.working_folder.empty()) {
    ::posix_spawn_file_actions_addchdir_np(actions.get(), options.working_folder.c_str());
  }
  if (options.no_input) {
    ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (!options.output_file.empty()) {
    ::posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, options.output_file.c_str(),
                                       O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO);
  }
  for (const auto& [held, as] : options.descriptors) {
    ::posix_spawn_file_actions_adddup2(actions.get(), held, as);
  }
  std::vector<std::string> environment;
  if (!options.environment.empty()) environment = Environment(options.environment);
  std::vector<char*> envp = Pointers(environment);
  std::vector<char*> args = Pointers(argv);
  const auto spawn = options.search_path ? ::posix_spawnp : ::posix_spawn;
  SpawnResult result;
  result.error = spawn(&result.pid, args[0], actions.get(), attributes.get(), args.data(),
                       options.environment.empty() ? environ : envp.data());
  return result;
}

}  // namespace varnix
