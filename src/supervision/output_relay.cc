// OutputRelayRun: one reading thread for both streams (or one each), the writing on the caller's.
#include "supervision/output_relay.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/private_file.h"

namespace varnix {
namespace {

// Lines read together: one reading of the clock stamps them all.
struct Batch {
  LineMark mark;
  std::chrono::system_clock::time_point at;
  std::string lines;
};

// What the readers hand the writer, bounded.
class Waiting {
 public:
  void Put(Batch batch, size_t count) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (bytes_ + batch.lines.size() > OutputRelayRun::kMaxWaitingBytes ||
          lines_ + count > OutputRelayRun::kMaxWaitingLines) {
        dropped_ += count;
        return;
      }
      bytes_ += batch.lines.size();
      lines_ += count;
      batches_.push_back(std::move(batch));
    }
    changed_.notify_one();
  }
  void Ended() {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      ++ended_;
    }
    changed_.notify_one();
  }
  // Waits for lines; false once both streams have ended and nothing is left.
  bool Take(std::deque<Batch>& batches, uint64_t& dropped) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return !batches_.empty() || dropped_ > 0 || ended_ == 2; });
    if (batches_.empty() && dropped_ == 0) return false;
    batches.swap(batches_);
    dropped = std::exchange(dropped_, 0);
    bytes_ = 0;
    lines_ = 0;
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Batch> batches_;
  size_t bytes_ = 0;
  size_t lines_ = 0;
  uint64_t dropped_ = 0;
  int ended_ = 0;
};

// The lines of one stream, as its bytes come.
class Stream {
 public:
  explicit Stream(LineMark mark) : mark_(mark) {}
  // Takes `got` bytes (0: the stream has ended) and hands on its whole lines.
  void Take(const char* bytes, size_t got, Waiting& waiting, const OutputRelayRun::Clock& clock) {
    Batch batch{mark_, {}, {}};
    const size_t count =
        got == 0 ? splitter_.Finish(batch.lines) : splitter_.Take({bytes, got}, batch.lines);
    if (count > 0) {
      batch.at = clock();
      waiting.Put(std::move(batch), count);
    }
    if (got == 0 && !ended_) {
      ended_ = true;
      waiting.Ended();
    }
  }
  bool ended() const { return ended_; }

 private:
  LineMark mark_;
  LineSplitter splitter_;
  bool ended_ = false;
};

// Left unwritten until a read fills it: a quiet program's relay never touches its pages.
std::unique_ptr<char[]> ReadBuffer() {
  return std::make_unique_for_overwrite<char[]>(OutputRelayRun::kReadBytes);
}

void Read(ByteSource& source, LineMark mark, Waiting& waiting, const OutputRelayRun::Clock& clock) {
  Stream stream(mark);
  const auto buffer = ReadBuffer();
  while (!stream.ended()) {
    stream.Take(buffer.get(), source.Read(buffer.get(), OutputRelayRun::kReadBytes), waiting,
                clock);
  }
}

void ReadEither(EitherSource& source, Waiting& waiting, const OutputRelayRun::Clock& clock) {
  Stream streams[] = {Stream(LineMark::kOutput), Stream(LineMark::kErrors)};
  const auto buffer = ReadBuffer();
  for (;;) {
    size_t got = 0;
    const int which = source.Read(buffer.get(), OutputRelayRun::kReadBytes, got);
    if (which != 0 && which != 1) break;
    streams[which].Take(buffer.get(), got, waiting, clock);
  }
  for (Stream& stream : streams) stream.Take(nullptr, 0, waiting, clock);
}

}  // namespace

OutputRelayRun::OutputRelayRun(ByteSource& output, ByteSource& errors, LogFile& log, Clock clock)
    : output_(&output), errors_(&errors), log_(log), clock_(std::move(clock)) {}

OutputRelayRun::OutputRelayRun(EitherSource& either, LogFile& log, Clock clock)
    : either_(&either), log_(log), clock_(std::move(clock)) {}

void OutputRelayRun::Run() {
  Waiting waiting;
  std::vector<std::thread> readers;
  if (either_ != nullptr) {
    readers.emplace_back(ReadEither, std::ref(*either_), std::ref(waiting), std::cref(clock_));
  } else {
    readers.emplace_back(Read, std::ref(*output_), LineMark::kOutput, std::ref(waiting),
                         std::cref(clock_));
    readers.emplace_back(Read, std::ref(*errors_), LineMark::kErrors, std::ref(waiting),
                         std::cref(clock_));
  }
  std::deque<Batch> batches;
  uint64_t dropped = 0;
  uint64_t dropped_in_all = 0;
  uint64_t lost = 0;  // to a disk that took no more, not said yet
  uint64_t lost_in_all = 0;
  std::string text;
  std::string stamp;
  const auto note = [&](uint64_t count, const char* words) {
    text += LogStamp(clock_()) + " --- ... " + GroupedDigits(count) + " line" +
            (count == 1 ? "" : "s") + words;
  };
  while (waiting.Take(batches, dropped)) {
    text.clear();
    // Said where they were lost, before the lines read after them.
    if (dropped > 0) note(dropped, " dropped: written faster than they could be kept\n");
    dropped_in_all += dropped;
    // Said once the disk takes lines again, where they were lost.
    if (lost > 0) note(lost, " lost: the disk took no more\n");
    for (const Batch& batch : batches) {
      stamp = LogStamp(batch.at);
      stamp += ' ';
      stamp += MarkText(batch.mark);
      stamp += ' ';
      std::string_view rest = batch.lines;
      while (!rest.empty()) {
        const size_t end = rest.find('\n') + 1;
        text += stamp;
        text.append(rest.substr(0, end));
        rest.remove_prefix(end);
      }
    }
    batches.clear();
    const size_t refused = log_.Write(text);
    // A note that was not kept is said again with the next lines.
    if (refused == 0) lost = 0;
    lost += refused;
    lost_in_all += refused;
  }
  for (std::thread& reader : readers) reader.join();
  // Said once more at the end, where the notes along the way may have been rotated away.
  // The last word, which nothing after it can say again: tried for a second, one note at a
  // time, while a reader (on Windows) keeps the file from being rotated.
  const auto last_word = [&](uint64_t count, const char* words) {
    if (count == 0) return;
    text.clear();
    note(count, words);
    for (int tries = 0; tries < 10 && log_.Write(text) > 0; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      log_.RotateAgainNow();
    }
  };
  last_word(dropped_in_all, " dropped in all\n");
  last_word(lost_in_all, " lost in all: the disk took no more\n");
}

int RelayOutput(const RelayOrder& order) {
  // The log, and each file it rotates into.
  MakeNewFilesPrivate(order.log_path.substr(0, order.log_path.find_last_of("/\\")));
  StdFileSystem files;
  LogFile log(files, order.log_path, order.limits);
  const RelayedOutput streams = TakeRelayedOutput();
  if (streams.either) {
    OutputRelayRun(*streams.either, log).Run();
  } else {
    OutputRelayRun(*streams.output, *streams.errors, log).Run();
  }
  return 0;
}

}  // namespace varnix
