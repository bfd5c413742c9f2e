// posix_spawn with its attribute objects held for exactly the call.
#include "platform/posix/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
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

}  // namespace

SpawnResult Spawn(std::vector<std::string> argv, const SpawnOptions& options) {
  SpawnAttributes attributes;
  short flags = 0;
  if (options.own_session) flags |= POSIX_SPAWN_SETSID;
  if (options.clean_signals) {
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD}) sigaddset(&defaults, signal);
    ::posix_spawnattr_setsigmask(attributes.get(), &none);
    ::posix_spawnattr_setsigdefault(attributes.get(), &defaults);
    flags |= POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  }
  ::posix_spawnattr_setflags(attributes.get(), flags);
  SpawnFileActions actions;
  if (!options.working_folder.empty()) {
    ::posix_spawn_file_actions_addchdir_np(actions.get(), options.working_folder.c_str());
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
