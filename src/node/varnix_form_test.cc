// Tests of start-up, the drain, the reports and the path rules, on fake system services.
#include "node/varnix_form.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"
#include "fakes/fake_machine.h"
#include "fakes/fake_processes.h"
#include "fakes/recording_error_log.h"
#include "node/init_xap.h"
#include "xap/xap_message.h"

namespace varnix {
namespace {

class RecordingSupervisor : public Supervisor {
 public:
  void Readmessage(const std::string& text) override {
    texts.push_back(text);
    if (on_message) on_message(text);
  }
  void SupervisionPass() override {}

  std::vector<std::string> texts;
  std::function<void(const std::string&)> on_message;
};

class VarnixFormTest : public ::testing::Test {
 protected:
  VarnixFormTest() {
    files_.folders = {"/opt", "/opt/varnix"};
    files_.files["/opt/varnix/Config/qelXap.ini"] = "[Interface]\r\nBroadcastAddress=127.0.0.1\r\n";
  }

  std::unique_ptr<VarnixForm> MakeForm() {
    return std::make_unique<VarnixForm>(
        NodeServices{loop_, machine_, files_, sockets_, table_, desktop_}, [this](NodeContext&) {
          auto supervisor = std::make_unique<RecordingSupervisor>();
          supervisor_ = supervisor.get();
          return supervisor;
        });
  }

  // Section name and Data item of an Event.Log message, or the first line otherwise.
  std::string Describe(const std::string& text) {
    RecordingErrorLog log;
    XapMessage message(log);
    message.FromXap(text);
    if (!message.CompareClass("Homeseer.Event")) return text.substr(0, text.find('\n'));
    return "event: " + std::string(message.GetItem("Event.Log", "Data"));
  }

  FakeEventLoop loop_;
  FakeMachine machine_;
  FakeFileSystem files_;
  FakeSocketsLayer sockets_;
  FakeProcessTable table_;
  FakeDesktop desktop_{loop_, table_};
  RecordingSupervisor* supervisor_ = nullptr;
};

TEST_F(VarnixFormTest, StartsUpInOrderAndFlushesHeldEventsBeforeThePortNotice) {
  files_.failing_folders = {"/opt/varnix/Data"};
  auto form = MakeForm();
  ASSERT_EQ(form->Form_Load(), VarnixForm::LoadResult::kRunning);
  EXPECT_EQ(form->OSLabel(), "Linux");
  std::vector<std::string> seen;
  for (const auto& sent : loop_.sent) {
    EXPECT_EQ(sent.host, "127.0.0.1");
    EXPECT_EQ(sent.port, 3639);
    seen.push_back(Describe(sent.text));
  }
  EXPECT_EQ(seen,
            (std::vector<std::string>{
                "xap-hbeat", "event:  CreateFolders /opt/varnix/Data Line 30 Permission denied",
                "event: Using xAP port 32768"}));
}

TEST_F(VarnixFormTest, DrainsInArrivalOrderAndNeverNests) {
  auto form = MakeForm();
  form->Form_Load();
  FakeEventLoop::FakeSocket& winsock1 = loop_.socket(0);
  bool nested = false;
  supervisor_->on_message = [&](const std::string& text) {
    if (text != "xap-header 1" || nested) return;
    nested = true;
    // While this message is handled, another arrives and the receive timer fires again.
    winsock1.Receive("xap-header 3");
    loop_.DispatchPending(std::chrono::milliseconds(200));
  };
  winsock1.Receive("xap-header 1");
  winsock1.Receive("xap-header 2");
  loop_.Advance(50);
  EXPECT_EQ(supervisor_->texts,
            (std::vector<std::string>{"xap-header 1", "xap-header 2", "xap-header 3"}));
  // The busy mark is cleared: the next batch is drained too.
  winsock1.Receive("xap-header 4");
  loop_.Advance(50);
  EXPECT_EQ(supervisor_->texts.back(), "xap-header 4");
}

class InitXapTest : public ::testing::Test {
 protected:
  void Init() {
    XapGlobal global(machine_, files_, log_, events_, values_);
    global.InitXap();
    EXPECT_EQ(global.GetMachineName(), machine_.computer_name);
    EXPECT_EQ(machine_.name_calls, 1) << "the name is asked once";
  }

  FakeMachine machine_;
  FakeFileSystem files_;
  RecordingErrorLog log_;
  RecordingEventReport events_;
  AppValues values_;
};

TEST_F(InitXapTest, WindowsDevelopmentTreeUsesTheInstallFolder) {
  machine_.paths = PathRules::Windows();
  machine_.folder = "E:\\src\\vb\\Varnix";
  machine_.file_name = "Varnix.EXE";
  machine_.computer_name = "qel6";
  Init();
  EXPECT_EQ(values_.AppPath, "d:\\Program Files\\xap\\Korvane");
  EXPECT_EQ(values_.ExePath, "d:\\Program Files\\xap\\Korvane\\Varnix.exe");
  EXPECT_EQ(files_.created, (std::vector<std::string>{"d:\\Program Files", "d:\\Program Files\\xap",
                                                      "d:\\Program Files\\xap\\Korvane",
                                                      "d:\\Program Files\\xap\\Korvane\\Config",
                                                      "d:\\Program Files\\xap\\Korvane\\Data"}));

  machine_.computer_name = "OTHER";
  machine_.name_calls = 0;
  Init();
  EXPECT_EQ(values_.AppPath, "c:\\Program Files\\xap\\Korvane");
}

TEST_F(InitXapTest, NetworkPathsAreRewrittenToTheShareForm) {
  machine_.paths = PathRules::Windows();
  machine_.folder = "\\\\server\\d\\apps";
  machine_.file_name = "varnix.exe";
  Init();
  EXPECT_EQ(values_.AppPath, "\\\\server\\d\\apps");
  EXPECT_EQ(values_.ExePath, "d:\\apps\\varnix.exe");
  EXPECT_EQ(files_.created,
            (std::vector<std::string>{"\\\\server\\d\\apps", "\\\\server\\d\\apps\\Config",
                                      "\\\\server\\d\\apps\\Data"}));

  machine_.folder = "\\\\server";
  machine_.name_calls = 0;
  files_.created.clear();
  Init();
  EXPECT_EQ(values_.ExePath, "\\\\server\\varnix.exe");
  EXPECT_TRUE(files_.created.empty()) << "a server without a share has no root";
}

TEST_F(InitXapTest, FolderFailuresAreReportedOneByOne) {
  files_.failing_folders = {"/opt", "/opt/varnix/Config"};
  Init();
  EXPECT_EQ(events_.events,
            (std::vector<std::string>{" CreateFolders /opt 30 Permission denied",
                                      " CreateFolders /opt/varnix/Config 30 Permission denied",
                                      " CreateFolders /opt 30 Permission denied"}));
  EXPECT_TRUE(files_.FolderExists("/opt/varnix/Data"));
  EXPECT_TRUE(log_.lines.empty());
}

TEST(ReportsTest, ALogThatCannotBeWrittenSaysSoOnceOnStandardError) {
  FakeFileSystem files;
  AppValues values;
  values.AppPath = "/opt/varnix";
  files.read_only_files.insert(values.LogFile());
  FileErrorLog log(files, values);
  testing::internal::CaptureStderr();
  log.WriteErrorLog(kLogType, "First");
  log.WriteErrorLog(kLogType, "Second");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "varnix: cannot write the log /opt/varnix/Data/Korvane.txt (Permission denied); log "
            "lines are lost\n");
}

TEST(ReportsTest, TheLogHoldsRepeatsBackAndStartsAnewPastItsSize) {
  FakeFileSystem files;
  AppValues values;
  values.AppPath = "/opt/varnix";
  int64_t now = 0;
  {
    FileErrorLog log(files, values, false, [&] { return now; });
    for (int i = 0; i < 5; ++i) log.WriteErrorLog("From XAP", "", Failure{457, "Duplicate", 100});
    log.WriteErrorLog(kLogType, "Other");
    now += FileErrorLog::kRepeatWindowMs;
    log.WriteErrorLog(kLogType, "Other");
    log.WriteErrorLog(kLogType, "Other");
  }
  EXPECT_EQ(files.files[values.LogFile()],
            "From XAP  100 Duplicate\r\nFrom XAP  100 Duplicate (4 more times)\r\n"
            "Korvane Other 0 \r\nKorvane Other 0 \r\nKorvane Other 0  (1 more times)\r\n");

  FileErrorLog log(files, values, false, [&] { return now; });
  const std::string line(999, 'x');
  for (int i = 0; i < 1100; ++i) log.WriteErrorLog(kLogType, line + std::to_string(i));
  EXPECT_LE(files.files["/opt/varnix/Data/Korvane.old.txt"].size(), FileErrorLog::kMaxBytes);
  EXPECT_GT(files.files["/opt/varnix/Data/Korvane.old.txt"].size(), FileErrorLog::kMaxBytes / 2);
  EXPECT_LT(files.files[values.LogFile()].size(), FileErrorLog::kMaxBytes / 2);
  EXPECT_NE(files.files[values.LogFile()].find(line + "1099"), std::string::npos);

  // Marked for Windows' Notepad: each new file once, at its start.
  FakeFileSystem marked_files;
  FileErrorLog marked(marked_files, values, true, [&] { return now; });
  marked.WriteErrorLog(kLogType, "Überwachung");
  marked.WriteErrorLog(kLogType, "Again");
  EXPECT_EQ(marked_files.files[values.LogFile()],
            "\xEF\xBB\xBFKorvane Überwachung 0 \r\nKorvane Again 0 \r\n");
}

// Every Windows is named as what it is; Windows 10 and 11 are no Windows 2000.
TEST(OSLabelTest, NamesEachSystem) {
  using F = OSVersion::Family;
  EXPECT_EQ(GetOSLabel(std::nullopt), "Linux");
  EXPECT_EQ(GetOSLabel(OSVersion{F::kWindowsNT, 5, 0}), "W2K");
  EXPECT_EQ(GetOSLabel(OSVersion{F::kWindowsNT, 5, 1}), "XP");
  EXPECT_EQ(GetOSLabel(OSVersion{F::kWindowsNT, 6, 1}), "W7");
  EXPECT_EQ(GetOSLabel(OSVersion{F::kWindowsNT, 10, 0}), "W10");
  EXPECT_EQ(GetOSLabel(OSVersion{F::kWindows9x, 4, 10}), "W98");
}

}  // namespace
}  // namespace varnix
