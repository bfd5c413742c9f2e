// A real node program, copied into a folder of its own and started beside a test hub.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "dispatch_until.h"
#include "helper.h"
#include "hostile_traffic.h"
#include "platform/child_process.h"
#include "platform/platform.h"
#include "process_figures.h"
#include "system/test_hub.h"
#include "temp_folder.h"

namespace varnix {

#ifndef _WIN32
// A stand-in logind on a bus of the test's own (tests/dbus/logind_standin.py): a node started
// with `environment()` asks it who is at the computer.
class StandInLogind {
 public:
  explicit StandInLogind(EventLoop& loop);
  ~StandInLogind();
  StandInLogind(const StandInLogind&) = delete;
  StandInLogind& operator=(const StandInLogind&) = delete;

  bool ready() const { return ready_; }
  std::string environment() const { return "DBUS_SYSTEM_BUS_ADDRESS=" + address_; }
  // Calls the stand-in's own org.varnix.Test method, in dbus-send's words.
  void Tell(const std::vector<std::string>& words);
  // Ends the stand-in, leaving the bus.
  void End() { logind_.reset(); }
  // Each notice the stand-in notification service was given, and each close, a line each.
  std::string Notices() const;

 private:
  // A socket's path has room for about 100 bytes: not the test's folder.
  std::string runtime_;  // the session user's, with the bus in it
  std::string socket_;
  std::string address_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> logind_;
  bool ready_ = false;
};
#endif

class NodeFixture : public ::testing::Test {
 protected:
  // Without the test hub, a test brings its own (the real one, say).
  explicit NodeFixture(bool with_test_hub = true);
  ~NodeFixture() override;

  // Writes Config/qelXap.ini beside the node; every test config keeps traffic on loopback.
  void WriteSettings(const std::string& text = "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n");
  // Puts the node in the folder `name` inside the test's folder, instead of the test's folder.
  void UseAppFolder(const std::string& name);
  // `environment` holds "NAME=value" entries set for the node on top of this program's own.
  void StartNode(const std::vector<std::string>& environment = {});
  // Asks the node to end and returns its exit code, or -1 when it did not end in time.
  int EndNode();
  // Ends the node without a word, as a crash would, and waits for it to be gone.
  void KillNode();
  // Another computer's node: a copy of the node in a folder of its own, run under the host
  // name `host` in a namespace of its own (Linux only).
  std::unique_ptr<ChildProcess> StartNodeNamed(const std::string& host);

  // Starts the node with recording stand-ins for `commands` first on its PATH, never the real
  // ones, and a second for windows to close. Each writes "command arguments" to calls_, takes
  // 3 s while Path("slow") exists and refuses while Path("refuse") does.
  void StartNodeWithStandIns(const std::vector<std::string>& commands, int close_wait_seconds = 1);
  // Whether the stand-ins' calls come to be exactly `lines` within `limit`.
  bool Called(const std::string& lines, milliseconds limit = milliseconds(30000));

  struct Ran {
    int code;  // -1 when it ran on past the limit
    std::string output;
  };
  // Runs `program` to its end, its output into a file of its own: its exit code and output.
  Ran RunToEnd(const std::string& program, const std::vector<std::string>& words,
               milliseconds limit = milliseconds(30000));
  // Waits up to `limit` for `child` to end, dispatching meanwhile so that no socket of the
  // test's fills up: its exit code, or none.
  std::optional<int> ExitOf(ChildProcess& child, milliseconds limit);

  // A copy of this test program, which doubles as the helper, beside the node under a name of
  // its own: a program found by its name is then this test's and no other's.
  std::string CopyOfThisProgram(const std::string& name);
  // A copy loses the execute bit on POSIX systems.
  static void MakeExecutable(const std::string& path);
  // The relay program, beside the node as an install has it.
  void CopyRelayBeside(const std::string& node);

  // Serves the test's sockets until `done` holds, for at most `limit`: whether it held.
  template <typename Done>
  bool Within(milliseconds limit, Done done) {
    return DispatchUntil(*platform_.loop, limit, done);
  }
  // Lets the programs work for `time`, the test's sockets served meanwhile.
  void Pause(milliseconds time) {
    DispatchUntil(*platform_.loop, time, [] { return false; });
  }

  std::string Path(const std::string& relative) const;
  // The text of the file beside the node, or "" while there is none.
  std::string ReadFile(const std::string& relative) const;
  bool FileExists(const std::string& relative) const;
  // The bytes of the file at `path`, or "" while it is missing or, being rotated on Windows,
  // cannot be opened.
  std::string ReadIfAny(const std::string& path) const;
  // Whether the file at `path` comes to hold `text` within `limit`.
  bool FileHolds(const std::string& path, const std::string& text,
                 milliseconds limit = milliseconds(30000));
  // The node's own address, which requests to it name.
  std::string Target() const { return "qel.Process." + platform_.machine->ComputerName(); }
  // A peer's request that the node echo `text`.
  std::string Echo(const std::string& text) const {
    return EchoRequest(platform_.machine->ComputerName(), text);
  }
  // The value of the item `name` in a message's `text`, or "<none>".
  static std::string Item(const std::string& text, const std::string& name) {
    const auto at = text.find("\n" + name + "=");
    if (at == std::string::npos) return "<none>";
    const auto start = at + name.size() + 2;
    return text.substr(start, text.find('\n', start) - start);
  }
  // The PID a report gives, or 0.
  static ProcessId PidOf(const std::string& report) {
    const std::string pid = Item(report, "PID");
    return pid == "<none>" ? 0 : static_cast<ProcessId>(std::stoul(pid));
  }
  // The heartbeat text that the node in this folder sends for `port`.
  std::string ExpectedHeartbeat(int port) const;

  Platform platform_ = MakePlatform();
  char separator_ = platform_.machine->Paths().separator();
  TempFolder folder_;
  std::string app_folder_ = folder_.path();
  std::string node_path_;
  std::unique_ptr<TestHub> hub_;  // none when the test brings its own hub
  std::unique_ptr<ChildProcess> node_;
  std::vector<std::string> node_environment_;  // set for every node started
  const std::string calls_ = Path("calls");
  int runs_ = 0;
};

}  // namespace varnix
