// The peers that our writers are measured against, each written the way a user of that library
// would write it, producing the same bytes as ours (where it cannot, the case says so).
#ifndef QUILLON_BENCH_PEERS_HPP
#define QUILLON_BENCH_PEERS_HPP

#include <memory>
#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>

namespace Quillon::Bench {

/// The observation document through RapidJSON's Writer<StringBuffer> into a fresh buffer, the
/// 17-digit pressure text formatted by std::to_chars and injected as a raw number; returned as a
/// new std::string like ours. Identical bytes.
[[nodiscard]] std::string rapidjsonObservationDocument(const Core::Monitoring::Observation& record);

/// The observation document built as an nlohmann::ordered_json (members inserted in key order)
/// and dumped. Identical bytes except the pressure, which nlohmann writes in its shortest form.
[[nodiscard]] std::string nlohmannObservationDocument(const Core::Monitoring::Observation& record);

/// RapidJSON's Writer::String into a buffer reused from call to call, compiled with RapidJSON's
/// SSE2 scanner (in a translation unit and namespace of its own, so that it cannot mix with the
/// default build used elsewhere).
class RapidjsonSse2String {
 public:
  RapidjsonSse2String();
  ~RapidjsonSse2String();
  RapidjsonSse2String(const RapidjsonSse2String&) = delete;
  RapidjsonSse2String& operator=(const RapidjsonSse2String&) = delete;

  /// Writes `text` as a JSON string; the view lives until the next call.
  std::string_view write(std::string_view text);

 private:
  struct Writer;
  std::unique_ptr<Writer> writer_;
};

/// A JSON string writer that handles one byte at a time: the obvious loop, appending each byte
/// or its escape to a std::string reserved for the clean case.
[[nodiscard]] std::string byteAtATimeJsonString(std::string_view text);

}  // namespace Quillon::Bench

#endif  // QUILLON_BENCH_PEERS_HPP
