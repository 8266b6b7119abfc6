// The reader: every way a text can fail, with the byte and the reason, the exact round trip
// between records and documents, and every valid reader seed accepted.
#include <quillon/monitoring/reader.hpp>

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

const std::string kObservation = testing::readerSeed("engine_example");

/// Returns `base` with the first `from` replaced by `to`, or `to` alone when `from` is null.
std::string edited(std::string_view base, const char* from, std::string_view to) {
  if (from == nullptr) return std::string(to);
  std::string text(base);
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, std::string_view(from).size(), to);
}

TEST(Reader, RejectsWithByteAndReason) {
  // The documentation's engine, its partial snapshot and a complete one of two captured subjects.
  enum Base { engine, partial, complete };
  const std::string bases[] = {kObservation, testing::readerSeed("partial_snapshot"),
                               testing::readerSeed("complete_snapshot")};
  struct Row {
    Base base;
    const char* from;
    std::string_view to;
    std::size_t offset;
    const char* reason;
  };
  const Row rows[] = {
      {engine, nullptr, R"()", 0, "expected object"},
      {engine, nullptr, R"( [])", 1, "expected object"},
      {engine, R"("lab"})", R"("lab"} x)", 520, "unexpected text after the document"},
      {engine, R"("lab"})", R"("lab")", 518, "expected ',' or '}'"},
      {engine, R"("epoch":4)", R"("epoch" 4)", 160, "expected ':'"},
      {engine, R"("epoch":4,)", R"("epoch":4,"epoch":4,)", 162, "duplicate member \"epoch\""},
      {engine, R"("epoch":4,)", R"()", 508, "missing member \"epoch\""},
      {engine, R"("kind":"engine",)", R"()", 134, "missing member \"kind\""},
      {engine, R"("epoch":4,)", R"("epoch":4,"colour":1,)", 162, "unknown member \"colour\""},
      {engine, R"("epoch":4,)", R"("epoch":4,})", 162, "expected member name"},
      {engine, R"("epoch":4)", R"("epoch":"4")", 160, "expected integer"},
      {engine, R"("epoch":4)", R"("epoch":4.0)", 160,
       "integer written with a fraction or an exponent"},
      {engine, R"("epoch":4)", R"("epoch":4e0)", 160,
       "integer written with a fraction or an exponent"},
      {engine, R"("epoch":4)", R"("epoch":18446744073709551616)", 160, "number out of range"},
      {engine, R"("sequence":2)", R"("sequence":-1)", 499, "number out of range"},
      {engine, R"("logical_time":100)", R"("logical_time":-9223372036854775809)", 193,
       "number out of range"},
      {engine, R"("logical_time":100)", R"("logical_time":0100)", 194, "expected ',' or '}'"},
      {engine, R"("logical_time":100)", R"("logical_time":-x)", 194, "invalid number"},
      {engine, R"("pressure":0.25)", R"("pressure":1.)", 326, "invalid number"},
      {engine, R"("pressure":0.25)", R"("pressure":1e400)", 324, "number out of range"},
      {engine, R"("pressure":0.25)", R"("pressure":1e+400)", 324, "number out of range"},
      {engine, R"(,"system_id":"lab")", "", 500, "missing member \"system_id\""},
      {engine, R"("pressure":0.25)", R"("pressure":NaN)", 324, "expected number"},
      {engine, R"("engine")", R"("gizmo")", 125, "unknown kind name"},
      {engine, R"("degraded")", R"("Degraded")", 257, "unknown health name"},
      {engine, R"("running")", R"("walking")", 303, "unknown lifecycle name"},
      {engine, R"("ready":false)", R"("ready":0)", 337, "expected true or false"},
      {engine, R"("declared":{)", R"("declared":5,"x":{)", 12, "expected object or null"},
      {engine, R"("parent":"gpu-0")", R"("parent":5)", 143, "expected string or null"},
      {engine, R"("cfg-7")", "\"cfg\t7\"", 65, "control byte in string"},
      {engine, R"("cfg-7")", R"("cfg\x7")", 65, "invalid escape"},
      {engine, R"("cfg-7")", R"("cfg\u12")", 65, "invalid escape"},
      {engine, R"("cfg-7")", R"("\ud800x")", 62, "lone surrogate"},
      {engine, R"("cfg-7")", R"("\udc00")", 62, "lone surrogate"},
      {engine, nullptr, R"({"declared)", 10, "unterminated string"},
      {engine, R"("queue":"3")", R"("batch":"3")", 235, "duplicate member \"batch\""},
      {engine, R"("queue":"3")", R"("queue":3)", 243, "expected string"},
      {engine, R"("epoch":4)", R"("epoch":0)", 0, "invalid observation: epoch must be non-zero"},
      {engine, R"(observability/1)", R"(observability/2)", 0,
       "invalid observation: unsupported schema"},
      {partial, R"(runtime-state/1)", R"(runtime-state/2)", 96, "unsupported schema"},
      {partial, R"("subjects":[)", R"("subjects":{)", 151, "expected array"},
      {partial, R"("device:host/gpu-0")", R"("t")", 246, "subject ids not strictly ascending"},
      {partial, R"("status":"captured")", R"("status":"missing")", 262,
       "observation on a subject not captured"},
      {partial, R"("status":"missing")", R"("status":"captured")", 152,
       "captured subject without observation"},
      {partial, R"("diagnostic":"")", R"("diagnostic":"x")", 262,
       "diagnostic on a captured subject"},
      {partial, R"("probe returned no observation")", R"("")", 152,
       "subject not captured without diagnostic"},
      {partial, R"("device:host/gpu-0")", R"("")", 152, "subject id must not be empty"},
      {partial, R"("system:lab")", R"("system:lab2")", 262, "observation of another subject"},
      {partial, R"(],"system_id":"lab")", R"(],"system_id":"lac")", 262,
       "observation of another system"},
      {partial, R"("epoch":1,"logical_time":7)", R"("epoch":2,"logical_time":7)", 262,
       "observation of another epoch"},
      {partial, R"("partial")", R"("complete")", 130,
       "complete snapshot with a subject not captured"},
      {partial, R"("epoch":1,"logical_time":7)", R"("epoch":0,"logical_time":7)", 68,
       "epoch must be non-zero"},
      {partial, R"("barrier_sequence":3)", R"("barrier_sequence":0)", 20,
       "barrier_sequence must be non-zero"},
      {partial, R"(],"system_id":"lab")", R"(],"system_id":"")", 573,
       "system_id must not be empty"},
      {partial, R"("missing")", R"("lost")", 251, "unknown status name"},
      {partial, R"("schema":"velmor-observability/1")", R"("schema":"x")", 311,
       "invalid observation: unsupported schema"},
      {complete, R"("parent":"gpu-0"},"epoch":4)", R"("parent":"gpu-0"},"epoch":5)", 590,
       "observation of another epoch"},
      {complete, R"("sequence":2,"system_id":"lab")", R"("sequence":2,"system_id":"lac")", 590,
       "observation of another system"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.to);
    const std::string text = edited(bases[row.base], row.from, row.to);
    try {
      row.base == engine ? (void)readObservation(text) : (void)readRuntimeState(text);
      ADD_FAILURE() << "accepted " << text;
    } catch (const DocumentError& error) {
      EXPECT_EQ(row.offset, error.offset());
      EXPECT_EQ("invalid document at byte " + std::to_string(row.offset) + ": " + row.reason,
                error.what());
    }
  }
}

TEST(Reader, RoundTripsRecordsAndAcceptsEveryValidSeed) {
  Observation everyByte = testing::extremesExample();
  everyByte.entity = {EntityKind::unknown, "\x7f\xff\xfe", "\xc3\xa9"};
  for (int byte = 0; byte < 256; ++byte) {
    everyByte.extensions[std::string(1, static_cast<char>(byte))] =
        std::string(2, static_cast<char>(byte));
  }
  everyByte.declared->type = std::string("\"\\/\b\f\n\r\t\0\x1f", 10);
  const std::string text = everyByte.toCanonicalJson();
  const Observation back = readObservation(text);
  EXPECT_EQ(everyByte, back) << text;
  EXPECT_EQ(text, back.toCanonicalJson());

  // The documentation's examples, every name of every table and the hard doubles are seeds of
  // FuzzReplay.Reader, which holds what an accepted text reads to what a strict JSON parser reads;
  // a misread that makes a valid seed refused escapes it, so each valid seed must be accepted.
  for (const char* seed :
       {"complete_snapshot", "every_name", "numbers", "numbers_spaced", "partial_snapshot"})
    EXPECT_NO_THROW((void)readRuntimeState(testing::readerSeed(seed))) << seed;
  for (const char* seed :
       {"engine_example", "escapes", "escapes_upper", "extremes", "fixture", "raw_high_bytes",
        "reordered", "spaced", "spaced_engine", "system_example"})
    EXPECT_NO_THROW((void)readObservation(testing::readerSeed(seed))) << seed;
}

TEST(Reader, HostileInputStaysLinearAndInsideTheView) {
  std::string huge(kObservation);
  huge.insert(huge.find(R"("extensions":{})") + 14,
              "\"k\":\"" + std::string(100'000'000, 'a') + "\"");
  EXPECT_EQ(100'000'000U, readObservation(huge).extensions.at("k").size());

  std::string map = R"("extensions":{"10000000":"")";
  for (int entry = 1; entry < 1'000'000; ++entry)
    map += ",\"" + std::to_string(10'000'000 + entry) + "\":\"\"";
  huge = edited(kObservation, R"("extensions":{})", map + "}");
  EXPECT_EQ(1'000'000U, readObservation(huge).extensions.size());

  EXPECT_THROW((void)readObservation(R"({"declared":)" + std::string(1'000'000, '[')),
               DocumentError);
  // The byte after the view would close the document.
  EXPECT_THROW((void)readObservation(kObservation.substr(0, kObservation.size() - 1)),
               DocumentError);
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
