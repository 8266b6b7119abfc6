// The text writers byte for byte: their fast paths (16-byte scans, overlapping short loads, whole
// table entries stored near the end of the buffer) against a byte-by-byte reference, over texts
// that put every byte at every offset of every block. Numbers are checked against printf in
// differential_test, maps in key order through the documents of observation_test.
#include <quillon/monitoring/canonical_json.hpp>
#include <quillon/monitoring/observation.hpp>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace Quillon::Core::Monitoring {
namespace {

// What each byte below 0x20 becomes, written out by hand rather than computed.
constexpr std::array<std::string_view, 32> kControlEscapes = {
    R"(\u0000)", R"(\u0001)", R"(\u0002)", R"(\u0003)", R"(\u0004)", R"(\u0005)", R"(\u0006)",
    R"(\u0007)", R"(\b)",     R"(\t)",     R"(\n)",     R"(\u000b)", R"(\f)",     R"(\r)",
    R"(\u000e)", R"(\u000f)", R"(\u0010)", R"(\u0011)", R"(\u0012)", R"(\u0013)", R"(\u0014)",
    R"(\u0015)", R"(\u0016)", R"(\u0017)", R"(\u0018)", R"(\u0019)", R"(\u001a)", R"(\u001b)",
    R"(\u001c)", R"(\u001d)", R"(\u001e)", R"(\u001f)"};

std::string reference(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) {
      out += kControlEscapes[byte];
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

/// Checks a text through jsonString, through a map (the document writers' path) and through the
/// identifier check.
void expectWrittenByTheRules(const std::string& text) {
  ASSERT_EQ(reference(text), jsonString(text)) << "size " << text.size();
  const std::string entry = reference(text);
  ASSERT_EQ("{" + entry + ":" + entry + "}", jsonStringMap({{text, text}}));
  bool valid = !text.empty();
  for (const char c : text)
    valid = valid && static_cast<unsigned char>(c) > 0x20 && c != '/' && c != ':' && c != '\\';
  ASSERT_EQ(valid, isValidIdentifier(text));
}

TEST(JsonString, AgreesWithTheRulesForEveryByteAtEveryOffset) {
  for (std::size_t size = 1; size <= 40; ++size) {
    for (std::size_t at = 0; at < size; ++at) {
      for (unsigned byte = 0; byte <= 0xFF; ++byte) {
        std::string text(size, 'a');
        text[at] = static_cast<char>(byte);
        text[size - 1 - at] = static_cast<char>(byte ^ 0x20);
        expectWrittenByTheRules(text);
      }
    }
  }
  // Dense escapes and long clean runs, where the growth is counted in all sixteen lanes; at 5000
  // bytes, blocks with few escapes are written run by run, those with many byte by byte, and the
  // text outgrows the stack buffer.
  std::mt19937_64 random(5);
  constexpr std::string_view kBytes =
      "\"\\\b\t\n\f\r\x01\x0b\x1f\x7f/ :\xc3\xa9"
      "abcdefgh";
  for (std::size_t size = 0; size <= 5000; size = size == 300 ? 5000 : size + 1) {
    for (std::uint64_t every = 1; every <= 8; ++every) {
      std::string text(size, 'a');
      for (char& c : text)
        if (random() % every == 0) c = kBytes[random() % kBytes.size()];
      expectWrittenByTheRules(text);
    }
  }
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
