// The one room that holds zlib: gzip for the web page's answers, whole or as a stream that
// sends each event as soon as it is written.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace varnix {

class GzipStream {
 public:
  // A small window keeps an open page's share of memory to about 32 KiB; the state's JSON
  // repeats its names every few hundred bytes, so it still shrinks several times over.
  static constexpr int kWindowBits = 12;
  static constexpr int kMemoryLevel = 5;

  // Throws Error when zlib has no memory for it.
  GzipStream();
  ~GzipStream();
  GzipStream(const GzipStream&) = delete;
  GzipStream& operator=(const GzipStream&) = delete;

  // The bytes that carry `data` to the reader now: flushed, so that nothing waits for more.
  std::string Write(std::string_view data);
  // The bytes that carry `data` and end the stream.
  std::string Finish(std::string_view data);

  // A whole answer, compressed at once.
  static std::string Whole(std::string_view data) { return GzipStream().Finish(data); }

  // Whether an Accept-Encoding header's value takes gzip (and does not refuse it with q=0).
  static bool Accepted(std::string_view accept_encoding);

 private:
  std::string Deflate(std::string_view data, int flush);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace varnix
