// The relay: a program's output and errors, read as they come and kept in its log.
#pragma once

#include <chrono>
#include <functional>

#include "platform/relayed_output.h"
#include "supervision/program_log.h"

namespace varnix {

class OutputRelayRun {
 public:
  // Lines waiting to be written, at most; more are dropped whole and counted, so that a
  // program is never held up by its own output when its log cannot keep up.
  // The writing costs by the line as much as by the byte, so both are bounded.
  static constexpr size_t kMaxWaitingBytes = 4 * 1024 * 1024;
  static constexpr size_t kMaxWaitingLines = 65536;
  // What one read of a stream takes at most: a quarter of a pipe's buffer, read as often as
  // the program writes.
  static constexpr size_t kReadBytes = 16384;

  using Clock = std::function<std::chrono::system_clock::time_point()>;
  // Each stream read on a thread of its own.
  OutputRelayRun(
      ByteSource& output, ByteSource& errors, LogFile& log,
      Clock clock = [] { return std::chrono::system_clock::now(); });
  // Both read on one thread.
  OutputRelayRun(
      EitherSource& either, LogFile& log,
      Clock clock = [] { return std::chrono::system_clock::now(); });

  // Relays until both streams have ended and every line read is written.
  void Run();

 private:
  ByteSource* output_ = nullptr;
  ByteSource* errors_ = nullptr;
  EitherSource* either_ = nullptr;
  LogFile& log_;
  Clock clock_;
};

// The relay's whole life, in the node's program started with RelayArguments: until its
// program's output ends. Returns the program's status.
int RelayOutput(const RelayOrder& order);

}  // namespace varnix
