// Tests of the system's process table and desktop, and of the process operations on them, with
// real helper children.
#include "platform/process_table.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "core/text.h"
#include "dispatch_until.h"
#include "fakes/recording_error_log.h"
#include "platform/platform.h"
#include "platform/text_encoding.h"
#include "process_figures.h"
#include "supervision/process_operations.h"
#include "supervision/status.h"
#include "temp_folder.h"

namespace varnix {
namespace {

class ProcessTableTest : public ::testing::Test {
 protected:
  ProcessTableTest() {
    static int counter = 0;
    Machine& machine = *platform_.machine;
    const std::string self =
        machine.ProgramFolder() + machine.Paths().separator() + machine.ProgramFileName();
    // A name of its own, so that a look-up by name finds this helper and nothing else.
    name_ = "vxh" + std::to_string(machine.CurrentProcessId() % 10000) + "_" +
            std::to_string(counter++) + (separator_ == '\\' ? ".exe" : "");
    helper_ = folder_.path(name_);
    std::filesystem::copy_file(self, helper_);
    std::filesystem::permissions(helper_, std::filesystem::perms::owner_exec,
                                 std::filesystem::perm_options::add);
  }
  ~ProcessTableTest() override {
    for (const ProcessId pid : started_) table().Terminate(pid);
  }

  ProcessTable& table() { return *platform_.processes; }

  ProcessId StartHelper(const std::string& arguments) {
    const ProcessId pid = table().Start(helper_, "--helper " + arguments, ShowState::kNormal);
    started_.push_back(pid);
    return pid;
  }

  template <typename Done>
  bool Within(milliseconds limit, Done done) {
    return DispatchUntil(*platform_.loop, limit, done);
  }

  ProcessOperations Operations() {
    return ProcessOperations(table(), *platform_.desktop, *platform_.files, events_,
                             *platform_.loop, "XP", paths_);
  }

  Platform platform_ = MakePlatform();
  PathRules paths_ = platform_.machine->Paths();
  char separator_ = paths_.separator();
  TempFolder folder_;
  std::string name_;
  std::string helper_;
  std::vector<ProcessId> started_;
  RecordingEventReport events_;
};

TEST_F(ProcessTableTest, FindsPrioritisesAndEndsAProgram) {
  // The node looks a program up by name right after starting it.
  const ProcessId pid = StartHelper("polite");
  EXPECT_EQ(table().FindByName(name_), pid);
  EXPECT_TRUE(table().IsAlive(pid));
  EXPECT_EQ(table().GetPriority(pid), PriorityClass::kNormal);
  for (const PriorityClass priority : {PriorityClass::kBelowNormal, PriorityClass::kIdle,
                                       PriorityClass::kHigh, PriorityClass::kAboveNormal}) {
    EXPECT_TRUE(table().SetPriority(pid, priority));
    EXPECT_EQ(table().GetPriority(pid), priority);
  }
  EXPECT_TRUE(table().Terminate(pid));
  EXPECT_TRUE(Within(milliseconds(3000), [&] { return !table().IsAlive(pid); }));
  EXPECT_EQ(table().FindByName(name_), 0u);
  EXPECT_FALSE(table().Terminate(pid));
  EXPECT_EQ(table().GetPriority(pid), std::nullopt);
}

TEST_F(ProcessTableTest, StartsAndFindsAProgramNamedInAnyScript) {
  // A folder and a file outside a Western code page; short enough for Linux's 15-byte names.
  Machine& machine = *platform_.machine;
  const std::string self =
      machine.ProgramFolder() + machine.Paths().separator() + machine.ProgramFileName();
  const std::string folder = folder_.path("Программы");
  platform_.files->CreateFolder(folder);
  const std::string name = std::string("прог") + (separator_ == '\\' ? ".exe" : "");
  const std::string program = folder + separator_ + name;
  platform_.files->Copy(self, program);
  std::filesystem::permissions(PathFromText(program), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  const ProcessId pid = table().Start(program, "--helper polite", ShowState::kNormal);
  started_.push_back(pid);
  ASSERT_TRUE(Within(milliseconds(3000), [&] { return table().FindByName(name) == pid; }));
  EXPECT_EQ(table().ImageName(pid), name);
  EXPECT_EQ(LowerCase(table().ProgramPath(pid)), LowerCase(program));
#ifndef _WIN32
  // A script is the file it runs, not its interpreter.
  const std::string script = folder + "/сценарий.sh";
  platform_.files->WriteAll(script, "#!/bin/sh\nsleep 30\n");
  std::filesystem::permissions(PathFromText(script), std::filesystem::perms::owner_exec,
                               std::filesystem::perm_options::add);
  const ProcessId shell = table().Start(script, "", ShowState::kNormal);
  started_.push_back(shell);
  EXPECT_TRUE(Within(milliseconds(3000), [&] { return table().ProgramPath(shell) == script; }))
      << table().ProgramPath(shell);
#endif
}

// The figures against the system's own: the test's clock for running time, the kernel's
// resident set for memory, and the kernel's count of processor time over the same seconds,
// for a program that computes and for one that spends its time in system calls. Compared with
// what the kernel counted, not with a fixed share: a busy machine gives each less.
TEST_F(ProcessTableTest, FiguresMatchTheSystemsOwn) {
  const auto started = Clock::now();
  Status spinner(table(), paths_);
  spinner.PID(static_cast<int32_t>(StartHelper("spin")));
  Status holder(table(), paths_);
  holder.PID(static_cast<int32_t>(StartHelper("hold 64")));
  const auto kernel_percent = [&](Status& record, milliseconds over) {
    const auto pid = static_cast<ProcessId>(record.PID());
    record.CPU();
    const double before = CpuSeconds(pid);
    const auto from = Clock::now();
    std::this_thread::sleep_for(over);
    const double used = CpuSeconds(pid) - before;
    const double wall = std::chrono::duration<double>(Clock::now() - from).count();
    return std::make_pair(record.CPU(), 100.0 * used / wall);
  };
  const auto [spinner_cpu, spinner_truth] = kernel_percent(spinner, milliseconds(2000));
  const double truth = std::chrono::duration<double>(Clock::now() - started).count();
  EXPECT_NEAR(static_cast<double>(spinner.Elapsed()), truth, 1.0);
  if (separator_ == '/') {
    EXPECT_NEAR(spinner_cpu, spinner_truth, 10.0);
  } else {
    EXPECT_GT(spinner_cpu, 0);  // Windows keeps its counts from the test's reach
  }
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return holder.RAM() >= (64u << 20); }))
      << holder.RAM();
  if (separator_ == '/') {
    const uint64_t rss_kib = ResidentKiB(static_cast<unsigned long>(holder.PID()));
    EXPECT_NEAR(static_cast<double>(holder.RAM()), rss_kib * 1024.0, rss_kib * 1024.0 / 4);

    Status kernel_side(table(), paths_);
    const ProcessId dd =
        table().Start("/bin/dd", "if=/dev/zero of=/dev/null bs=1", ShowState::kNormal);
    started_.push_back(dd);
    kernel_side.PID(static_cast<int32_t>(dd));
    const auto [dd_cpu, dd_truth] = kernel_percent(kernel_side, milliseconds(1500));
    EXPECT_NEAR(dd_cpu, dd_truth, 10.0) << "dd spends its time in system calls";
    EXPECT_GT(dd_cpu, 0);
  }
  holder.PID(0);
  EXPECT_EQ(holder.RAM(), 0u);
}

TEST_F(ProcessTableTest, APriorityReachesEveryThread) {
  if (separator_ != '/') GTEST_SKIP() << "a Windows priority class belongs to the process";
  const ProcessId pid = StartHelper("threads 3");
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  const auto count = [&] {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(tasks)) ++n;
    return n;
  };
  ASSERT_TRUE(Within(milliseconds(3000), [&] { return count() == 4; }));
  ASSERT_TRUE(table().SetPriority(pid, PriorityClass::kBelowNormal));
  for (const auto& entry : std::filesystem::directory_iterator(tasks)) {
    std::ifstream in(entry.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::vector<std::string> after_comm{std::istream_iterator<std::string>(fields), {}};
    ASSERT_GT(after_comm.size(), 16u);
    EXPECT_EQ(after_comm[16], "5") << "nice of thread " << entry.path().filename();
  }
  EXPECT_EQ(table().GetPriority(pid), PriorityClass::kBelowNormal);
}

// Needs a desktop: an X display on Linux (run under Xvfb), any session on Windows.
TEST_F(ProcessTableTest, DesktopStopsAWindowByAFragmentOfItsTitle) {
  ProcessOperations ops = Operations();
  const ProcessId pid = StartHelper("window \"Varnix Helper Window\"");
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return ops.GetPIDFromTitle("helper WINDOW") != 0; }))
      << "no window appeared; is a display there?";
  EXPECT_EQ(ops.GetPIDFromTitle("helper window"), pid);
  const WindowHandle window = ops.FindWindowByTitle("Varnix Helper");
  EXPECT_EQ(ops.fGetCaption(window), "Varnix Helper Window");
  EXPECT_FALSE(ops.fGetClassName(window).empty());
  EXPECT_TRUE(platform_.desktop->IsVisible(window));
  EXPECT_EQ(ops.InstanceToWnd(pid), window);

  const auto start = Clock::now();
  EXPECT_TRUE(ops.StopProcess(helper_, "helper window"));
  EXPECT_LT(Clock::now() - start, milliseconds(3000));
  EXPECT_TRUE(Within(milliseconds(3000), [&] { return !table().IsAlive(pid); }));
}

TEST_F(ProcessTableTest, DesktopKillsAWindowThatWillNotClose) {
  ProcessOperations ops = Operations();
  const ProcessId pid = StartHelper("window \"Stubborn Helper\" stubborn");
  ASSERT_TRUE(
      Within(milliseconds(5000), [&] { return ops.GetPIDFromTitle("Stubborn Helper") != 0; }));
  const auto start = Clock::now();
  EXPECT_TRUE(ops.StopProcess(helper_, "stubborn helper"));
  EXPECT_GE(Clock::now() - start, milliseconds(4500));
  EXPECT_FALSE(table().IsAlive(pid));
}

TEST_F(ProcessTableTest, DesktopAProgramThatKeepsRunningInATrayIsStillEnded) {
  ProcessOperations ops = Operations();
  const ProcessId pid = StartHelper("window \"Tray Helper\" tray");
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return ops.GetPIDFromTitle("Tray Helper") != 0; }));
  EXPECT_TRUE(ops.StopProcess(helper_, "Tray Helper"));
  EXPECT_FALSE(table().IsAlive(pid)) << "its window went, but it ran on";
}

TEST_F(ProcessTableTest, AHandleTellsHowItsOwnProcessEndedLongAfterItsId) {
  const bool windows = separator_ == '\\';
  // Held only once it has ended, as a program that ends at once is on a busy machine: on
  // Linux while it waits to be collected, on Windows while the start's handle keeps it.
  const ProcessId quick = StartHelper("exit 3");
  ASSERT_TRUE(Within(milliseconds(5000), [&] {
    if (windows) return !table().IsAlive(quick);
    std::ifstream stat("/proc/" + std::to_string(quick) + "/stat");
    const std::string line(std::istreambuf_iterator<char>(stat), {});
    return line.find(") Z ") != std::string::npos;
  }));
  auto exited = table().Hold(quick);
  auto killed = table().Hold(StartHelper("stubborn"));
  ASSERT_TRUE(exited && killed);
  ASSERT_TRUE(Within(milliseconds(5000), [&] { return table().HasEnded(*exited); }));
  ASSERT_TRUE(table().HowEnded(*exited));
  EXPECT_FALSE(table().IsAlive(exited->pid())) << "collected: the id is free for others now";
  EXPECT_EQ(table().Times(exited->pid()), std::nullopt);
  EXPECT_EQ(table().HowEnded(*exited)->code, 3);
  EXPECT_EQ(table().HowEnded(*exited)->signal, "");
  EXPECT_FALSE(table().Terminate(*exited)) << "whoever holds the id now is left alone";

  EXPECT_EQ(table().HaveEnded({exited.get(), killed.get()}), (std::vector<bool>{true, false}));
  EXPECT_FALSE(table().HowEnded(*killed)) << "still running";
  EXPECT_TRUE(table().Terminate(*killed));
  ASSERT_TRUE(Within(milliseconds(2000), [&] { return table().HasEnded(*killed); }));
  ASSERT_TRUE(table().HowEnded(*killed));
  if (windows) {
    EXPECT_EQ(table().HowEnded(*killed)->code, 1);
  } else {
    EXPECT_EQ(table().HowEnded(*killed)->signal, "SIGKILL");
    EXPECT_FALSE(table().HowEnded(*killed)->code);
  }
}

}  // namespace
}  // namespace varnix
