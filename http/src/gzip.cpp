#include "gzip.hpp"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

#include <zlib.h>

namespace Quillon::Core::Monitoring::Http {

namespace {

constexpr int kGzipWindowBits = 15 + 16;  // the largest window, with a gzip header and trailer
constexpr int kMemoryLevel = 8;
constexpr std::size_t kFirstGuessDivisor = 8;
constexpr std::size_t kLeastRoom = 4096;

struct DeflateEnd {
  void operator()(z_stream* stream) const noexcept { deflateEnd(stream); }
};

[[noreturn]] void fail() {
  throw std::runtime_error("gzip compression failed");
}

}  // namespace

std::string gzipped(std::string_view text) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_SPEED, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                   Z_DEFAULT_STRATEGY) != Z_OK) {
    fail();
  }
  const std::unique_ptr<z_stream, DeflateEnd> ending(&stream);
  // The result grows as it fills: sized by deflateBound it would take as much memory as the text.
  std::string result(std::max(text.size() / kFirstGuessDivisor, kLeastRoom), '\0');
  std::size_t written = 0;
  auto* next_in = reinterpret_cast<const Bytef*>(text.data());
  std::size_t left = text.size();
  for (int status = Z_OK; status != Z_STREAM_END;) {
    if (written == result.size()) result.resize(result.size() * 2);
    constexpr std::size_t kMaxChunk = std::numeric_limits<uInt>::max();
    const std::size_t in = std::min(left, kMaxChunk);
    const std::size_t room = std::min(result.size() - written, kMaxChunk);
    stream.next_in = const_cast<Bytef*>(next_in);  // zlib's interface is not const-correct
    stream.avail_in = static_cast<uInt>(in);
    stream.next_out = reinterpret_cast<Bytef*>(result.data() + written);
    stream.avail_out = static_cast<uInt>(room);
    status = deflate(&stream, in == left ? Z_FINISH : Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) fail();
    next_in += in - stream.avail_in;
    left -= in - stream.avail_in;
    written += room - stream.avail_out;
  }
  result.resize(written);
  return result;
}

}  // namespace Quillon::Core::Monitoring::Http
