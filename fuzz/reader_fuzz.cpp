// Properties of the two readers for any bytes, each reader given the whole input:
// - nothing but DocumentError leaves a reader, and its offset lies within the input;
// - a record that is accepted writes a canonical text, which reads back to an equal record that
//   writes the same text again (the canonical round trip);
// - where the input is valid UTF-8, nothing is accepted that a strict JSON parser rejects, and the
//   record's canonical text holds the same values as that parser reads from the input.
#include <quillon/monitoring/reader.hpp>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

template <typename Read>
void check(std::string_view input, Read read, std::string_view what) {
  decltype(read(input)) record;
  try {
    record = read(input);
  } catch (const DocumentError& error) {
    require(error.offset() <= input.size(), "an error's offset lies within the input", what);
    return;
  }
  const std::string canonical = record.toCanonicalJson();
  if (isUtf8(input)) {
    require(Json::accept(input.begin(), input.end(), /*ignore_comments=*/false),
            "an accepted text is strict JSON", input);
    // Unordered objects, numbers read as strtod reads them: the same value, however spelt.
    require(nlohmann::json::parse(input) == nlohmann::json::parse(canonical),
            "an accepted text holds the values a strict JSON parser reads", input);
  }
  const auto back = read(canonical);
  require(back == record, "a written record reads back equal", canonical);
  require(back.toCanonicalJson() == canonical, "a canonical text writes itself back", canonical);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  check(input, readObservation, "observation");
  check(input, readRuntimeState, "runtime state");
  return 0;
}
