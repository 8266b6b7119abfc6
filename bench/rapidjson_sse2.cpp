// Built with RAPIDJSON_SSE2 and RAPIDJSON_NAMESPACE=rapidjson_sse2 (see CMakeLists.txt).
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "peers.hpp"

namespace Quillon::Bench {

struct RapidjsonSse2String::Writer {
  rapidjson_sse2::StringBuffer buffer;
  rapidjson_sse2::Writer<rapidjson_sse2::StringBuffer> writer{buffer};
};

RapidjsonSse2String::RapidjsonSse2String() : writer_(std::make_unique<Writer>()) {}
RapidjsonSse2String::~RapidjsonSse2String() = default;

std::string_view RapidjsonSse2String::write(std::string_view text) {
  writer_->buffer.Clear();
  writer_->writer.Reset(writer_->buffer);
  writer_->writer.String(text.data(), static_cast<rapidjson_sse2::SizeType>(text.size()));
  return {writer_->buffer.GetString(), writer_->buffer.GetSize()};
}

}  // namespace Quillon::Bench
