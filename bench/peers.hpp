// The peers that our writers are measured against, each written the way a user of that library
// would write it, producing the same bytes as ours (where it cannot, the case says so).
#ifndef QUILLON_BENCH_PEERS_HPP
#define QUILLON_BENCH_PEERS_HPP

#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include <quillon/monitoring/observation.hpp>

#include "race.hpp"

namespace Quillon::Bench {

/// The observation document through RapidJSON's Writer<StringBuffer> into a fresh buffer, the
/// 17-digit pressure text formatted by std::to_chars and injected as a raw number; returned as a
/// new std::string like ours. Identical bytes.
[[nodiscard]] std::string rapidjsonObservationDocument(const Core::Monitoring::Observation& record);

/// The observation document built as an nlohmann::ordered_json (members inserted in key order)
/// and dumped. Identical bytes except the pressure, which nlohmann writes in its shortest form.
[[nodiscard]] std::string nlohmannObservationDocument(const Core::Monitoring::Observation& record);

/// RapidJSON's Writer::String of `text`: the bytes that rapidjsonStringLoop writes. `Buffer` and
/// `Writer` choose the build (default or SSE2).
template <typename Buffer, typename Writer>
[[nodiscard]] std::string rapidjsonString(std::string_view text) {
  Buffer buffer;
  Writer writer(buffer);
  writer.String(text.data(), static_cast<unsigned>(text.size()));
  return {buffer.GetString(), buffer.GetSize()};
}

/// Times Writer::String as RapidJSON's users write it: buffer and writer are locals of the loop,
/// the buffer reused from call to call. Kept outside the loop (captured by reference, or behind
/// a pointer), they escape, and the compiler then reloads the writer's stream and the buffer's
/// top from memory around every byte stored: a chain through memory that made the peer up to
/// four times slower than a user's own loop.
template <typename Buffer, typename Writer>
[[nodiscard]] Batch rapidjsonStringLoop(std::string_view text) {
  return [text](std::size_t count) {
    // In locals, the text cannot be among the bytes that the writer stores may change.
    const char* const data = text.data();
    const auto size = static_cast<unsigned>(text.size());
    Buffer buffer;
    Writer writer(buffer);
    writer.String(data, size);  // the buffer grows before the clock starts
    const auto start = BatchClock::now();
    for (std::size_t call = 0; call < count; ++call) {
      buffer.Clear();
      writer.Reset(buffer);
      writer.String(data, size);
      benchmark::DoNotOptimize(buffer.GetString());
    }
    return nanosecondsSince(start) / static_cast<double>(count);
  };
}

/// rapidjsonStringLoop over RapidJSON compiled with its SSE2 scanner (in a translation unit and
/// namespace of its own, so that it cannot mix with the default build used elsewhere).
[[nodiscard]] Batch rapidjsonSse2StringLoop(std::string_view text);

/// The bytes that rapidjsonSse2StringLoop writes.
[[nodiscard]] std::string rapidjsonSse2String(std::string_view text);

/// A JSON string writer that handles one byte at a time: the obvious loop, appending each byte
/// or its escape to a std::string reserved for the clean case.
[[nodiscard]] std::string byteAtATimeJsonString(std::string_view text);

}  // namespace Quillon::Bench

#endif  // QUILLON_BENCH_PEERS_HPP
