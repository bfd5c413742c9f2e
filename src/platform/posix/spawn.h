// Starting a program with posix_spawn: its argument and environment vectors and its attributes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace varnix {

// An account to become before the program runs: its ids and every group it is in.
struct Credentials {
  uid_t uid = 0;
  gid_t gid = 0;
  std::vector<gid_t> groups;
};

struct SpawnOptions {
  bool search_path = false;  // find argv[0] on PATH
  // In a session of its own, so that it outlives the node and no signal meant for the node,
  // or for the node's terminal, reaches it.
  bool own_session = false;
  // Nothing blocked and the signals this program handles back at their defaults, as a program
  // started from a shell would have them.
  bool clean_signals = false;
  std::string working_folder;  // empty: this program's own
  // NAME=value entries that replace or add to this program's environment.
  std::vector<std::string> environment;
  std::string output_file;  // takes standard output and standard error; empty: this program's
  bool no_input = false;    // standard input reads nothing, not this program's
  // Descriptors of this program given to the new one under other numbers: {held, as}. Held
  // ones must not be numbered below 10, or one could be overwritten before it is given.
  std::vector<std::pair<int, int>> descriptors;
  // Taken on after the descriptors are given and before the working folder is entered, so
  // that the folder is entered with the account's rights. Needs fork and exec: posix_spawn
  // cannot change ids.
  std::optional<Credentials> as;
};

struct SpawnResult {
  pid_t pid = 0;
  int error = 0;  // errno when it could not be started
};

SpawnResult Spawn(std::vector<std::string> argv, const SpawnOptions& options);

}  // namespace varnix
