// Built with RAPIDJSON_SSE2 and RAPIDJSON_NAMESPACE=rapidjson_sse2 (see CMakeLists.txt).
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "peers.hpp"

namespace Quillon::Bench {

using Sse2Writer = rapidjson_sse2::Writer<rapidjson_sse2::StringBuffer>;

Batch rapidjsonSse2StringLoop(std::string_view text) {
  return rapidjsonStringLoop<rapidjson_sse2::StringBuffer, Sse2Writer>(text);
}

std::string rapidjsonSse2String(std::string_view text) {
  return rapidjsonString<rapidjson_sse2::StringBuffer, Sse2Writer>(text);
}

}  // namespace Quillon::Bench
