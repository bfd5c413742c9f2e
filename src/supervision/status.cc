// Status and clsCpuUsage: the figures follow the record's own process id.
#include "supervision/status.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/text.h"
#include "platform/error.h"
#include "settings/access_rules.h"
#include "supervision/process_names.h"

namespace varnix {

int clsCpuUsage::Usage(ProcessId pid) {
  const std::optional<ProcessTimes> now = table_.Times(pid);
  if (!now) {
    last_.reset();
    return 0;
  }
  double percent = 0;
  if (last_ && last_->pid == pid && now->sampled_at > last_->times.sampled_at) {
    percent = 100.0 * (now->cpu - last_->times.cpu) / (now->sampled_at - last_->times.sampled_at);
  } else if (now->elapsed > 0) {
    percent = 100.0 * now->cpu / now->elapsed;
  }
  last_ = Sample{pid, *now};
  // One processor's worth at most, however many threads ran; halves round to even.
  return static_cast<int>(std::nearbyint(std::clamp(percent, 0.0, 100.0)));
}

int64_t clsCpuUsage::Elapsed(ProcessId pid) {
  const std::optional<ProcessTimes> now = table_.Times(pid);
  return now ? static_cast<int64_t>(std::nearbyint(now->elapsed)) : 0;
}

void Status::PID(int32_t value) {
  // The same id again is the same process, unless the one held has ended and the id now
  // names another.
  if (value == pid_ && (!handle_ || !table_.HasEnded(*handle_))) return;
  pid_ = value;
  handle_ = value > 0 ? table_.Hold(static_cast<ProcessId>(value)) : nullptr;
  if (value > 0) {
    exit_.reset();
    forced_ = false;
    output_lost_.clear();  // a new run has a relay of its own
  }
}

bool Status::Alive() {
  if (pid_ <= 0) return false;
  return handle_ ? !table_.HasEnded(*handle_) : table_.IsAlive(static_cast<ProcessId>(pid_));
}

void Status::Ended() {
  if (handle_) exit_ = table_.HowEnded(*handle_);
  PID(0);
}

std::string PathKeyOf(const std::string& path, PathRules paths) {
  std::string key = LexicallyNormal(path, paths);
  return paths.names_ignore_case() ? LowerCase(key) : key;
}

void Status::Path(const std::string& s) {
  if (s == path_) return;
  path_ = s;
  key_ = PathKeyOf(resolve_ ? resolve_(s) : s, paths_);
  process_ = filename(s, paths_);
  usage_.ReleaseCounters();
}

void Status::Title(const std::string& s) {
  if (s == title_) return;
  title_ = s;
  if (s != "Unknown" && !s.empty()) {
    usage_.ReleaseCounters();
    process_ = s;
  }
}

void Status::CollectStatistics() {
  const int sample = CPU();
  if (cpuCum_ > std::numeric_limits<int32_t>::max() - sample)
    throw Error(errors::kOverflow, errors::kOverflowText);
  cpuCum_ += sample;
}

}  // namespace varnix
