// NodeFixture: copies the node program, writes its settings, starts and ends it.
#include "system/node_fixture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "dispatch_until.h"

namespace varnix {

NodeFixture::NodeFixture(bool with_test_hub) {
  const std::string built = NativePath(VARNIX_NODE_BINARY, separator_);
  const std::string name = built.substr(built.find_last_of("/\\") + 1);
  node_path_ = folder_.path(name);
  platform_.files->Copy(built, node_path_);
  CopyRelayBeside(node_path_);
  if (with_test_hub) hub_ = std::make_unique<TestHub>(*platform_.loop);
}

NodeFixture::~NodeFixture() {
  if (node_) EndNode();
}

void NodeFixture::UseAppFolder(const std::string& name) {
  const std::string old = node_path_;
  app_folder_ = folder_.path(name);
  platform_.files->CreateFolder(app_folder_);
  node_path_ = app_folder_ + separator_ + old.substr(old.find_last_of("/\\") + 1);
  platform_.files->Copy(old, node_path_);
  CopyRelayBeside(node_path_);
}

void NodeFixture::CopyRelayBeside(const std::string& node) {
  const std::string built = NativePath(VARNIX_RELAY_BINARY, separator_);
  const std::string relay =
      node.substr(0, node.find_last_of("/\\") + 1) + built.substr(built.find_last_of("/\\") + 1);
  platform_.files->Copy(built, relay);
  MakeExecutable(relay);
}

void NodeFixture::WriteSettings(const std::string& text) {
  platform_.files->CreateFolder(Path("Config"));
  platform_.files->WriteAll(Path("Config") + separator_ + "qelXap.ini", text);
}

void NodeFixture::StartNode(const std::vector<std::string>& environment) {
  MakeExecutable(node_path_);
  std::vector<std::string> all = node_environment_;
  all.insert(all.end(), environment.begin(), environment.end());
  node_ = StartChildProcess(node_path_, {}, app_folder_, all);
}

#ifndef _WIN32
namespace {

// Made fresh, not named by the pid: two runs side by side, each in a process namespace of its
// own, have the same pids and share /tmp.
std::string FreshRuntimeFolder() {
  std::string folder = "/tmp/varnix-test-run-XXXXXX";
  if (::mkdtemp(folder.data()) == nullptr) throw std::runtime_error("mkdtemp: " + folder);
  return folder;
}

}  // namespace

StandInLogind::StandInLogind(EventLoop& loop)
    : runtime_(FreshRuntimeFolder()), socket_(runtime_ + "/bus"), address_("unix:path=" + socket_) {
  const std::string ready = socket_ + ".ready";
  bus_ =
      StartChildProcess("/usr/bin/dbus-daemon", {"--session", "--nofork", "--address=" + address_});
  ready_ =
      DispatchUntil(loop, milliseconds(10000), [&] { return std::filesystem::exists(socket_); });
  if (!ready_) return;
  logind_ = StartChildProcess("/usr/bin/python3", {VARNIX_LOGIND_STANDIN, address_, ready});
  ready_ = DispatchUntil(loop, milliseconds(10000), [&] { return std::filesystem::exists(ready); });
}

StandInLogind::~StandInLogind() {
  logind_.reset();
  bus_.reset();
  std::filesystem::remove_all(runtime_);
}

std::string StandInLogind::Notices() const {
  std::ifstream file(runtime_ + "/notices");
  return std::string(std::istreambuf_iterator<char>(file), {});
}

void StandInLogind::Tell(const std::vector<std::string>& words) {
  std::vector<std::string> call{"--bus=" + address_, "--print-reply",
                                "--dest=org.freedesktop.login1", "/test"};
  call.insert(call.end(), words.begin(), words.end());
  EXPECT_EQ(StartChildProcess("/usr/bin/dbus-send", call, "", {}, "/dev/null")
                ->WaitForExit(milliseconds(10000)),
            0);
}
#endif

std::unique_ptr<ChildProcess> NodeFixture::StartNodeNamed(const std::string& host) {
  const std::string folder = folder_.path("node-" + host);
  platform_.files->CreateFolder(folder);
  platform_.files->CreateFolder(folder + "/Config");
  platform_.files->WriteAll(folder + "/Config/qelXap.ini",
                            "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n");
  platform_.files->Copy(node_path_, folder + "/varnix");
  MakeExecutable(folder + "/varnix");
  // hostname(1) refuses "_", which the system takes.
  return StartChildProcess(
      "/usr/bin/unshare",
      {"-u", "/usr/bin/python3", "-c",
       "import os, socket; socket.sethostname('" + host + "'); os.execv('./varnix', ['varnix'])"},
      folder);
}

std::string NodeFixture::CopyOfThisProgram(const std::string& name) {
  const std::string copy = Path(separator_ == '\\' ? name + ".exe" : name);
  platform_.files->Copy(
      platform_.machine->ProgramFolder() + separator_ + platform_.machine->ProgramFileName(), copy);
  MakeExecutable(copy);
  return copy;
}

void NodeFixture::MakeExecutable([[maybe_unused]] const std::string& path) {
#ifndef _WIN32
  std::filesystem::permissions(path, std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
#endif
}

int NodeFixture::EndNode() {
  node_->RequestEnd();
  const std::optional<int> code = ExitOf(*node_, milliseconds(10000));
  node_.reset();
  return code.value_or(-1);
}

void NodeFixture::KillNode() {
  node_->Kill();
  EXPECT_NE(ExitOf(*node_, milliseconds(10000)), std::nullopt) << "the node outlived its kill";
}

void NodeFixture::StartNodeWithStandIns(const std::vector<std::string>& commands,
                                        int close_wait_seconds) {
  // Added to what a test wrote there before.
  platform_.files->Append(
      Path("Config/settings.ini"),
      "\r\n[Computer]\r\nCloseWaitSeconds=" + std::to_string(close_wait_seconds) + "\r\n");
  platform_.files->CreateFolder(Path("bin"));
  for (const std::string& command : commands) {
    platform_.files->WriteAll(Path("bin/" + command),
                              "#!/bin/sh\necho " + command + " \"$@\" >> '" + calls_ + "'\n[ -e '" +
                                  Path("slow") + "' ] && sleep 3\n[ -e '" + Path("refuse") +
                                  "' ] && exit 1\nexit 0\n");
    MakeExecutable(Path("bin/" + command));
  }
  const char* path = std::getenv("PATH");
  StartNode({"PATH=" + Path("bin") + ":" + (path ? path : "/usr/bin:/bin")});
}

bool NodeFixture::Called(const std::string& lines, milliseconds limit) {
  return DispatchUntil(*platform_.loop, limit, [&] {
    return platform_.files->FileExists(calls_) && platform_.files->ReadAll(calls_) == lines;
  });
}

std::optional<int> NodeFixture::ExitOf(ChildProcess& child, milliseconds limit) {
  std::optional<int> code;
  DispatchUntil(*platform_.loop, limit,
                [&] { return (code = child.WaitForExit(milliseconds(0))).has_value(); });
  return code;
}

NodeFixture::Ran NodeFixture::RunToEnd(const std::string& program,
                                       const std::vector<std::string>& words, milliseconds limit) {
  const std::string output = folder_.path("run-" + std::to_string(++runs_) + ".txt");
  // What a program keeps for its user stays in the test's folder, not the user's.
  const std::string state = folder_.path("state");
  auto child = StartChildProcess(
      program, words, "",
      {separator_ == '\\' ? "LOCALAPPDATA=" + state : "XDG_STATE_HOME=" + state}, output);
  const int code = ExitOf(*child, limit).value_or(-1);
  return {code, platform_.files->ReadAll(output)};
}

std::string NodeFixture::Path(const std::string& relative) const {
  std::string path = relative;
  std::replace(path.begin(), path.end(), '/', separator_);
  return app_folder_ + separator_ + path;
}

std::string NodeFixture::ReadFile(const std::string& relative) const {
  return FileExists(relative) ? platform_.files->ReadAll(Path(relative)) : "";
}

std::string NodeFixture::ReadIfAny(const std::string& path) const {
  try {
    return platform_.files->FileExists(path) ? platform_.files->ReadBytes(path) : "";
  } catch (const Error&) {
    return "";
  }
}

bool NodeFixture::FileHolds(const std::string& path, const std::string& text, milliseconds limit) {
  return Within(limit, [&] { return ReadIfAny(path).find(text) != std::string::npos; });
}

bool NodeFixture::FileExists(const std::string& relative) const {
  return platform_.files->FileExists(Path(relative));
}

std::string NodeFixture::ExpectedHeartbeat(int port) const {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=FF000800\nclass=xap-hbeat.alive\nsource=qel.Process." +
         platform_.machine->ComputerName() + "\ninterval=600\nport=" + std::to_string(port) +
         "\n}\n";
}

}  // namespace varnix
