// GzipStream: zlib's deflate with the gzip wrapper, fed whole pieces and flushed after each.
#include "gateway/gzip_stream.h"

#include <zlib.h>

#include <cerrno>
#include <optional>

#include "core/text.h"
#include "platform/error.h"

namespace varnix {

struct GzipStream::State {
  z_stream z{};
};

GzipStream::GzipStream() : state_(std::make_unique<State>()) {
  // 16 over the window's bits asks for the gzip header and trailer that browsers read.
  if (deflateInit2(&state_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + kWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    throw Error(ENOMEM, "zlib could not start a gzip stream");
  }
}

GzipStream::~GzipStream() { deflateEnd(&state_->z); }

std::string GzipStream::Write(std::string_view data) { return Deflate(data, Z_SYNC_FLUSH); }

std::string GzipStream::Finish(std::string_view data) { return Deflate(data, Z_FINISH); }

std::string GzipStream::Deflate(std::string_view data, int flush) {
  z_stream& z = state_->z;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  std::string out;
  // Until deflate leaves room unused, it may have more to give.
  do {
    const size_t used = out.size();
    out.resize(used + deflateBound(&z, z.avail_in) + 64);
    z.next_out = reinterpret_cast<Bytef*>(out.data() + used);
    z.avail_out = static_cast<uInt>(out.size() - used);
    const int status = deflate(&z, flush);
    if (status == Z_STREAM_ERROR) throw Error(EINVAL, "zlib refused the gzip stream");
    out.resize(out.size() - z.avail_out);
  } while (z.avail_out == 0);
  return out;
}

bool GzipStream::Accepted(std::string_view accept_encoding) {
  // gzip named takes precedence over "*"; either refused by a weight of zero.
  std::optional<bool> named;
  std::optional<bool> any;
  for (std::string_view rest = accept_encoding; !rest.empty();) {
    const size_t comma = rest.find(',');
    std::string_view coding = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    std::string_view quality;
    if (const size_t semicolon = coding.find(';'); semicolon != std::string_view::npos) {
      quality = TrimSpaces(coding.substr(semicolon + 1));
      coding = coding.substr(0, semicolon);
    }
    coding = TrimSpaces(coding);
    // "q=0", "q=0.0", "q=0.000": refused; any other weight takes it.
    const bool taken =
        !(quality.size() >= 3 && (quality[0] == 'q' || quality[0] == 'Q') && quality[1] == '=' &&
          quality.substr(2).find_first_not_of("0.") == std::string_view::npos);
    if (EqualsIgnoringCase(coding, "gzip")) named = taken;
    if (coding == "*") any = taken;
  }
  return named.value_or(any.value_or(false));
}

}  // namespace varnix
