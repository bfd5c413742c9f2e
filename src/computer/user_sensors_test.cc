// Tests of the sensors of the user's own: what output reads as, one command at a time, its
// time and output bounds, and what is told.
#include "computer/user_sensors.h"

#include <gtest/gtest.h>

#include "fakes/fake_event_loop.h"
#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

TEST(SensorReadingTest, TheFirstLineReadsAsItsKindOrSaysWhyNot) {
  using K = SensorKind;
  EXPECT_EQ(ReadingFromOutput(K::kNumber, " 42.5 \r\nmore\n", 0), (SensorReading{"42.5", ""}));
  EXPECT_EQ(ReadingFromOutput(K::kNumber, "-3", 0), (SensorReading{"-3", ""}));
  EXPECT_EQ(ReadingFromOutput(K::kNumber, "12 rpm", 0),
            (SensorReading{"", "not a number: 12 rpm"}));
  EXPECT_EQ(ReadingFromOutput(K::kNumber, "nan", 0), (SensorReading{"", "not a number: nan"}));
  EXPECT_EQ(ReadingFromOutput(K::kNumber, "", 0), (SensorReading{"", "printed nothing"}));
  EXPECT_EQ(ReadingFromOutput(K::kNumber, "42", 2), (SensorReading{"", "exit 2"}));
  EXPECT_EQ(ReadingFromOutput(K::kOnOff, "TRUE", 0), (SensorReading{"on", ""}));
  EXPECT_EQ(ReadingFromOutput(K::kOnOff, "0\n", 0), (SensorReading{"off", ""}));
  EXPECT_EQ(ReadingFromOutput(K::kOnOff, "maybe", 0), (SensorReading{"", "not on or off: maybe"}));
  EXPECT_EQ(ReadingFromOutput(K::kText, "", 0), (SensorReading{"", ""}));
  // A terminal's controls are shown, not obeyed; a long line is cut whole characters short.
  EXPECT_EQ(ReadingFromOutput(K::kText, "a\x1b[2Jb", 0).value, "a\\x1b[2Jb");
  std::string letters = "x";
  for (int i = 0; i < 200; ++i) letters += "\xc3\xa9";
  const std::string cut = ReadingFromOutput(K::kText, letters, 0).value;
  EXPECT_EQ(cut, letters.substr(0, 255));  // "x" and 127 letters of two bytes
}

// A command of the fake system: it writes its output at once and ends `after_ms` later.
struct Script {
  std::string output;
  int exit_code = 0;
  int64_t after_ms = 50;
};

class ScriptedChild : public ChildProcess {
 public:
  ScriptedChild(FakeEventLoop& loop, Script script, int& running)
      : loop_(loop),
        script_(std::move(script)),
        end_ms_(loop.NowMilliseconds() + script_.after_ms),
        running_(running) {
    ++running_;
  }
  ~ScriptedChild() override { --running_; }
  unsigned long Pid() const override { return 1000; }
  std::optional<int> WaitForExit(std::chrono::milliseconds) override {
    if (killed_) return 137;
    if (loop_.NowMilliseconds() < end_ms_) return std::nullopt;
    return script_.exit_code;
  }
  void RequestEnd() override {}
  void Kill() override { killed_ = true; }

 private:
  FakeEventLoop& loop_;
  Script script_;
  int64_t end_ms_;
  int& running_;
  bool killed_ = false;
};

class UserSensorsTest : public ::testing::Test {
 protected:
  void Begin(std::vector<SensorDeclaration> sensors) {
    sensors_ = std::make_unique<UserSensors>(
        loop_, files_, std::move(sensors), "/data/sensor-output.txt",
        [this](const SensorDeclaration& sensor, const std::string& output_file) {
          started_.push_back(sensor.name);
          const Script script = scripts_[sensor.name];
          files_.files[output_file] = script.output;
          most_running_ = std::max(most_running_, running_ + 1);
          return std::make_unique<ScriptedChild>(loop_, script, running_);
        },
        [this](const SensorDeclaration& sensor, const SensorReading& now) {
          told_.push_back(sensor.name + " " + (now.problem.empty() ? now.value : now.problem));
        });
  }
  static SensorDeclaration Sensor(std::string name, SensorKind kind, int interval = 5,
                                  int timeout = 10) {
    SensorDeclaration sensor;
    sensor.name = std::move(name);
    sensor.command = "/bin/" + sensor.name;
    sensor.kind = kind;
    sensor.interval_seconds = interval;
    sensor.timeout_seconds = timeout;
    return sensor;
  }

  FakeEventLoop loop_;
  FakeFileSystem files_;
  std::map<std::string, Script> scripts_;
  std::unique_ptr<UserSensors> sensors_;
  std::vector<std::string> started_;
  std::vector<std::string> told_;
  int running_ = 0;
  int most_running_ = 0;
};

TEST_F(UserSensorsTest, CommandsRunOneAtATimeAndAHangingOneIsEndedAtItsTimeout) {
  scripts_["hang"] = {"", 0, 1000000};
  scripts_["temp"] = {"41\n"};
  scripts_["door"] = {"yes\n"};
  Begin({Sensor("hang", SensorKind::kText, 5, 2), Sensor("temp", SensorKind::kNumber),
         Sensor("door", SensorKind::kOnOff, 60)});
  EXPECT_EQ(sensors_->Readings()[1].second.problem, "not read yet");
  loop_.Advance(1000);
  EXPECT_EQ(started_, std::vector<std::string>{"hang"}) << "the others wait their turn";
  loop_.Advance(1500);
  EXPECT_EQ(told_, (std::vector<std::string>{"hang timed out after 2 s", "temp 41", "door on"}));
  EXPECT_EQ(most_running_, 1);
  EXPECT_EQ(running_, 0);

  // Due again five seconds after each started; the same reading is not told twice, a new one is.
  scripts_["temp"] = {"41\n"};
  scripts_["hang"] = {"up\n"};
  loop_.Advance(5000);
  EXPECT_EQ(started_, (std::vector<std::string>{"hang", "temp", "door", "hang", "temp"}));
  EXPECT_EQ(told_.back(), "hang up");
  EXPECT_EQ(told_.size(), 4u);
  const StatusItems items =
      SensorItems(sensors_->Readings()[1].first, sensors_->Readings()[1].second);
  EXPECT_EQ(items, (StatusItems{{"Name", "temp"}, {"Kind", "number"}, {"Value", "41"}}));
}

TEST_F(UserSensorsTest, ACommandThatWritesPastTheBoundIsEndedWithItsFirstLineRead) {
  scripts_["flood"] = {"7\n" + std::string(UserSensors::kMostOutputBytes, 'y'), 0, 1000000};
  scripts_["next"] = {"", 0, 1000000};
  Begin({Sensor("flood", SensorKind::kNumber), Sensor("next", SensorKind::kText)});
  loop_.Advance(300);
  EXPECT_EQ(told_, (std::vector<std::string>{"flood 7"}));
  EXPECT_EQ(running_, 1) << "the next command runs";
}

}  // namespace
}  // namespace varnix
