// The relay: both streams into one log, and lines dropped and counted, never waited for.
#include "supervision/output_relay.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <regex>
#include <thread>

#include "dispatch_until.h"
#include "fakes/fake_file_system.h"

namespace varnix {
namespace {

// Gives its pieces one by one, then the end.
class Pieces : public ByteSource {
 public:
  explicit Pieces(std::vector<std::string> pieces) : pieces_(std::move(pieces)) {}
  size_t Read(char* buffer, size_t size) override {
    if (next_ == pieces_.size()) return 0;
    const std::string& piece = pieces_[next_++];
    EXPECT_LE(piece.size(), size);
    std::copy(piece.begin(), piece.end(), buffer);
    return piece.size();
  }

 private:
  std::vector<std::string> pieces_;
  size_t next_ = 0;
};

// Two such streams read as one, in turn.
class InTurn : public EitherSource {
 public:
  InTurn(Pieces& output, Pieces& errors) : streams_{&output, &errors} {}
  int Read(char* buffer, size_t size, size_t& got) override {
    for (int tries = 0; tries < 2; ++tries, next_ = 1 - next_) {
      if (ended_[next_]) continue;
      const int stream = next_;
      next_ = 1 - next_;
      got = streams_[stream]->Read(buffer, size);
      ended_[stream] = got == 0;
      return stream;
    }
    return -1;
  }

 private:
  Pieces* streams_[2];
  bool ended_[2] = {false, false};
  int next_ = 0;
};

// A disk that takes no write until let go: the writing falls behind the reading.
class StuckFiles : public FakeFileSystem {
 public:
  void AppendUtf8(const std::string& path, std::string_view text) override {
    std::unique_lock<std::mutex> lock(mutex_);
    stuck_.wait(lock, [&] { return free_; });
    FakeFileSystem::AppendUtf8(path, text);
  }
  void LetGo() {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_ = true;
    stuck_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable stuck_;
  bool free_ = false;
};

// Read on a thread each, or on one thread for both.
TEST(OutputRelayTest, BothStreamsAreKeptStampedAndMarked) {
  for (const bool one_thread : {false, true}) {
    Pieces output({"hello\nwor", "ld\n", "no end"});
    Pieces errors({"oops\n", "no end either"});
    InTurn either(output, errors);
    FakeFileSystem files;
    LogFile log(files, "p.log", {});
    if (one_thread) {
      OutputRelayRun(either, log).Run();
    } else {
      OutputRelayRun(output, errors, log).Run();
    }
    const std::string kept = files.files["p.log"];
    for (const char* line :
         {" out hello\n", " out world\n", " out no end\n", " err oops\n", " err no end either\n"}) {
      EXPECT_TRUE(std::regex_search(kept, std::regex("(^|\n)[0-9T:.+-]{29}" + std::string(line))))
          << line << " in " << kept;
    }
    EXPECT_EQ(std::count(kept.begin(), kept.end(), '\n'), 5);
  }
}

TEST(OutputRelayTest, LinesThatCannotBeWrittenInTimeAreDroppedWholeAndCounted) {
  // 2,000 reads of 100 lines each, while the disk takes nothing: the reader never waits.
  std::vector<std::string> pieces;
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "line\n";
  for (int i = 0; i < 2000; ++i) pieces.push_back(hundred);
  Pieces output(pieces);
  Pieces errors({});
  StuckFiles files;
  LogFile log(files, "p.log", {LogLimits::kDefaultMaxBytes, 100, ""});
  std::thread let_go([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    files.LetGo();
  });
  OutputRelayRun(output, errors, log).Run();
  let_go.join();
  std::string kept;
  for (const auto& [path, text] : files.files) kept += text;
  const size_t written = static_cast<size_t>(std::count(kept.begin(), kept.end(), '\n'));
  std::smatch said;
  ASSERT_TRUE(
      std::regex_search(kept, said, std::regex(" --- \\.\\.\\. ([0-9,]+) lines dropped in all\n")))
      << kept.substr(0, 2000);
  std::string count = said[1];
  std::erase(count, ',');
  const size_t notes = Occurrences(kept, " --- ");
  EXPECT_GT(std::stoul(count), 0u);
  EXPECT_EQ(written - notes + std::stoul(count), 200000u) << "every line kept or counted";
}

}  // namespace
}  // namespace varnix
