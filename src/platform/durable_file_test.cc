// A replace that fails at each step, or is cut by a power cut at any moment, leaves the old
// content or the new one, whole.
#include "platform/durable_file.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>

#include "platform/error.h"

namespace varnix {
namespace {

// A disk whose files and names reach the platter only when flushed; it checks after every
// step that a power cut then would leave `path` old or new, by either the names the folder
// has flushed or those the journal may have committed since.
class FlakyDisk : public FileSteps {
 public:
  struct File {
    std::string live;
    std::string durable;
  };

  FlakyDisk(std::string path, std::string old_text, std::string new_text)
      : path_(std::move(path)), old_(std::move(old_text)), new_(std::move(new_text)) {
    files_.push_back({old_, old_});
    live_names_[path_] = durable_names_[path_] = 0;
  }

  std::optional<int> fail_at;  // the call, counted from 1, that the system refuses
  size_t most_per_write = SIZE_MAX;
  int calls = 0;
  bool ever_torn = false;

  std::string Live(const std::string& name) const {
    const auto found = live_names_.find(name);
    return found == live_names_.end() ? "<none>" : files_[found->second].live;
  }
  bool HasLive(const std::string& name) const { return live_names_.count(name) != 0; }

  std::unique_ptr<Writer> Create(const std::string& name, bool) override {
    Step();
    if (const auto found = live_names_.find(name); found != live_names_.end()) {
      files_[found->second].live.clear();
    } else {
      files_.push_back({});
      live_names_[name] = files_.size() - 1;
    }
    return std::make_unique<FlakyWriter>(*this, live_names_[name]);
  }
  void Replace(const std::string& from, const std::string& to) override {
    Step();
    live_names_[to] = live_names_.at(from);
    live_names_.erase(from);
    Check();
  }
  void FlushFolderOf(const std::string&) override {
    Step();
    durable_names_ = live_names_;
    Check();
  }
  void Remove(const std::string& name) noexcept override { live_names_.erase(name); }

 private:
  class FlakyWriter : public Writer {
   public:
    FlakyWriter(FlakyDisk& disk, size_t file) : disk_(disk), file_(file) {}
    size_t Write(std::string_view bytes) override {
      disk_.Step();
      const size_t taken = std::min(bytes.size(), disk_.most_per_write);
      disk_.files_[file_].live.append(bytes.substr(0, taken));
      return taken;
    }
    void Flush() override {
      disk_.Step();
      disk_.files_[file_].durable = disk_.files_[file_].live;
      disk_.Check();
    }

   private:
    FlakyDisk& disk_;
    size_t file_;
  };

  void Step() {
    if (fail_at && ++calls == *fail_at) throw Error(errors::kFileIo, "refused");
  }
  void Check() {
    for (const auto* names : {&live_names_, &durable_names_}) {
      const auto found = names->find(path_);
      const std::string after_cut = found == names->end() ? "" : files_[found->second].durable;
      if (after_cut != old_ && after_cut != new_) ever_torn = true;
    }
  }

  std::string path_, old_, new_;
  std::vector<File> files_;
  std::map<std::string, size_t> live_names_, durable_names_;
};

TEST(DurableFileTest, AFailureAtAnyStepLeavesTheOldFileAndACutNeverTearsIt) {
  const std::string old_text = "booted 1\nkeep always 42\n";
  const std::string new_text = "booted 1\nkeep always 42\nkeep no 43\nstopped Backup\n";
  for (int fail_at = 1; fail_at <= 13; ++fail_at) {  // 13: nothing fails
    SCOPED_TRACE("failing call " + std::to_string(fail_at));
    FlakyDisk disk("Data/promises.txt", old_text, new_text);
    disk.fail_at = fail_at;
    disk.most_per_write = 7;  // short writes, as a full pipe or a signal makes them
    bool failed = false;
    try {
      ReplaceFileDurably(disk, "Data/promises.txt", new_text);
    } catch (const Error&) {
      failed = true;
    }
    // Only the folder's flush comes after the rename: a failure there leaves the new file.
    const std::string live = disk.Live("Data/promises.txt");
    EXPECT_TRUE(live == (failed && fail_at < 12 ? old_text : new_text)) << live;
    EXPECT_FALSE(disk.HasLive("Data/promises.txt.new")) << "nothing is left aside";
    EXPECT_FALSE(disk.ever_torn) << "a power cut would have left a torn file";
  }
}

TEST(DurableFileTest, AWriteThatTakesNothingIsAFailure) {
  FlakyDisk disk("a.txt", "old", "new");
  disk.most_per_write = 0;
  EXPECT_THROW(ReplaceFileDurably(disk, "a.txt", "new"), Error);
  EXPECT_EQ(disk.Live("a.txt"), "old");
}

}  // namespace
}  // namespace varnix
