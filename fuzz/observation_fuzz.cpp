// Properties of validation and of the observation document for a record decoded from any bytes
// (fuzz_input.hpp): each is named where it is required.
#include <quillon/monitoring/observation.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.hpp"
#include "properties.hpp"

namespace {

using namespace Quillon::Core::Monitoring;
using namespace Quillon::Core::Monitoring::fuzzing;

/// Every message validation may report, in rule order.
constexpr std::array<std::string_view, 10> kRuleMessages = {
    "unsupported schema",
    "invalid system_id",
    "epoch must be non-zero",
    "invalid entity id",
    "invalid parent id",
    "non-system entity requires parent",
    "system entity cannot have parent",
    "system entity must match system_id",
    "pressure must be finite and in [0,1]",
    "last_observed cannot be newer than envelope",
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in(data, size);
  const Observation record = readObservation(in);
  // An exception from validate escapes and aborts the run, which breaks the property too.
  const std::vector<std::string> messages = record.validate();
  // Strictly ascending rules mean rule order and no message twice.
  auto next = kRuleMessages.begin();
  for (const std::string& message : messages) {
    next = std::find(next, kRuleMessages.end(), message);
    require(next++ != kRuleMessages.end(), "validate reports known rules in order, none twice",
            message);
  }

  std::string document;
  try {
    document = record.toCanonicalJson();
  } catch (const std::invalid_argument& error) {
    require(!messages.empty() && std::strcmp(error.what(), "invalid observation") == 0,
            "toCanonicalJson throws the fixed message, only for an invalid record", error.what());
    return 0;
  }
  require(messages.empty(), "toCanonicalJson refuses every invalid record", document);
  const Observation copy = record;
  require(copy.toCanonicalJson() == document, "a copy of the record writes the same bytes",
          document);
  if (!isUtf8(record)) return 0;
  const Json parsed = parseCanonical(document, "the document is strict JSON, keys ascending");
  require(parsed.is_object() && parsed.size() == 11, "the document has its eleven members",
          document);
  return 0;
}
