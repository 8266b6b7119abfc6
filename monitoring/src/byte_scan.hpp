// Finding the few bytes that matter (those a JSON string must escape, those an identifier may not
// hold) many bytes at a time, and copying the clean runs between them whole.
//
// Sixteen bytes are tested at once as a GCC/Clang vector value: the compilers lower each operation
// to one SSE2 instruction on x86-64 (NEON on AArch64, plain words where there is no vector unit),
// so the code needs neither intrinsics nor conditional compilation. A text shorter than a block
// is tested as one block too, gathered from loads that overlap rather than pass its end: no load
// ever leaves the text. Positions are read from the flags in little-endian byte order; on a
// big-endian target the scans fall back to one byte at a time.
#ifndef QUILLON_MONITORING_SRC_BYTE_SCAN_HPP
#define QUILLON_MONITORING_SRC_BYTE_SCAN_HPP

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace Quillon::Core::Monitoring::detail {

using ByteBlock = unsigned char __attribute__((vector_size(16)));
inline constexpr std::size_t kBlockSize = sizeof(ByteBlock);

inline constexpr std::uint64_t kEveryByte = 0x0101010101010101U;
/// The high bit of every byte of a word: one bit per flagged byte.
inline constexpr std::uint64_t kHighBits = 0x8080808080808080U;

/// The bytes a JSON string writes as an escape: below 0x20, the quotation mark, the reverse
/// solidus.
struct EscapedBytes {
  [[nodiscard]] static constexpr bool test(unsigned char byte) noexcept {
    return byte < 0x20 || byte == '"' || byte == '\\';
  }
  [[nodiscard, gnu::always_inline]] static ByteBlock flags(ByteBlock bytes) noexcept {
    return static_cast<ByteBlock>((bytes < 0x20) | (bytes == '"') | (bytes == '\\'));
  }
};

/// The bytes an identifier may not hold: space and below, "/", ":" and "\".
struct IdentifierBreaks {
  [[nodiscard]] static constexpr bool test(unsigned char byte) noexcept {
    return byte <= 0x20 || byte == '/' || byte == ':' || byte == '\\';
  }
  [[nodiscard, gnu::always_inline]] static ByteBlock flags(ByteBlock bytes) noexcept {
    return static_cast<ByteBlock>((bytes <= 0x20) | (bytes == '/') | (bytes == ':') |
                                  (bytes == '\\'));
  }
};

/// The bytes that end an identifier written as a JSON string without escapes: those an
/// identifier may not hold, and the closing quotation mark.
struct IdentifierText {
  [[nodiscard]] static constexpr bool test(unsigned char byte) noexcept {
    return IdentifierBreaks::test(byte) || byte == '"';
  }
  [[nodiscard, gnu::always_inline]] static ByteBlock flags(ByteBlock bytes) noexcept {
    return static_cast<ByteBlock>(IdentifierBreaks::flags(bytes) | (bytes == '"'));
  }
};

[[nodiscard]] inline ByteBlock loadBlock(const unsigned char* at) noexcept {
  ByteBlock block;
  std::memcpy(&block, at, sizeof block);
  return block;
}

inline void storeBlock(char* at, ByteBlock block) noexcept {
  std::memcpy(at, &block, sizeof block);
}

[[nodiscard]] inline std::uint64_t loadWord(const unsigned char* at) noexcept {
  std::uint64_t word = 0;
  std::memcpy(&word, at, sizeof word);
  return word;
}

[[nodiscard]] inline std::uint32_t loadHalf(const unsigned char* at) noexcept {
  std::uint32_t half = 0;
  std::memcpy(&half, at, sizeof half);
  return half;
}

/// The flags of a block as two little-endian words, 0xFF in each flagged byte.
struct BlockHits {
  std::uint64_t low = 0;
  std::uint64_t high = 0;

  explicit BlockHits(ByteBlock flags) noexcept {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&flags);
    std::memcpy(&low, bytes, sizeof low);
    std::memcpy(&high, bytes + sizeof low, sizeof high);
  }

  [[nodiscard]] bool any() const noexcept { return (low | high) != 0; }
  /// Position of the first flagged byte; there must be one.
  [[nodiscard, gnu::always_inline]] std::size_t first() const noexcept {
    return low != 0 ? static_cast<std::size_t>(std::countr_zero(low)) / 8
                    : 8 + static_cast<std::size_t>(std::countr_zero(high)) / 8;
  }
};

/// Returns the position of the first byte of [text, text + size) in `Set`, or `size`; for texts
/// of 16 bytes or more.
template <typename Set>
[[nodiscard]] std::size_t findFirstInLong(const unsigned char* text, std::size_t size) noexcept {
  std::size_t at = 0;
  for (; at + kBlockSize <= size; at += kBlockSize) {
    if (const BlockHits hits(Set::flags(loadBlock(text + at))); hits.any()) {
      return at + hits.first();
    }
  }
  if (at == size) return size;
  // The last block overlaps bytes already found clean, so its first flag is the first hit.
  const std::size_t last = size - kBlockSize;
  const BlockHits hits(Set::flags(loadBlock(text + last)));
  return hits.any() ? last + hits.first() : size;
}

/// Returns the position of the first byte of [text, text + size) in `Set`, or `size`. A text
/// shorter than a block (an id, a name) is tested as one block too, built from loads that
/// overlap rather than pass its end: every byte is in it, some twice, and none from outside.
template <typename Set>
[[nodiscard]] inline std::size_t findFirst(const unsigned char* text, std::size_t size) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (size >= kBlockSize) return findFirstInLong<Set>(text, size);
    if (size == 0) return 0;
    using WordPair = std::uint64_t __attribute__((vector_size(16)));
    if (size >= 8) {
      // Bytes 0 to 7 and size - 8 to size - 1.
      const WordPair words{loadWord(text), loadWord(text + size - 8)};
      const BlockHits hits(Set::flags(std::bit_cast<ByteBlock>(words)));
      if (!hits.any()) return size;
      const std::size_t at = hits.first();
      return at < 8 ? at : size - 16 + at;
    }
    if (size >= 4) {
      // Bytes 0 to 3 and size - 4 to size - 1 in one word, twice.
      const std::uint64_t word = loadHalf(text) | std::uint64_t{loadHalf(text + size - 4)} << 32;
      const BlockHits hits(Set::flags(std::bit_cast<ByteBlock>(WordPair{word, word})));
      if (!hits.any()) return size;
      const std::size_t at = hits.first();
      return at < 4 ? at : size - 8 + at;
    }
    // Bytes 0, size / 2 and size - 1, the last repeated: all of one to three bytes.
    const std::uint64_t word = text[0] | std::uint64_t{text[size / 2]} << 8 |
                               std::uint64_t{text[size - 1]} * 0x0101010101010000U;
    const BlockHits hits(Set::flags(std::bit_cast<ByteBlock>(WordPair{word, word})));
    if (!hits.any()) return size;
    const std::size_t at = hits.first();
    return at == 0 ? 0 : (at == 1 ? size / 2 : size - 1);
  }
  std::size_t at = 0;
  while (at < size && !Set::test(text[at]))
    ++at;
  return at;
}

/// Copies `size` bytes with stores as wide as the text; `size` is usually short here (an id, a
/// name, a number), where a call to memcpy would cost more than the copy.
inline void copyBytes(char* out, const unsigned char* text, std::size_t size) noexcept {
  if (size > 2 * kBlockSize) {
    std::memcpy(out, text, size);
  } else if (size >= kBlockSize) {
    const ByteBlock head = loadBlock(text);
    const ByteBlock tail = loadBlock(text + size - kBlockSize);
    storeBlock(out, head);
    storeBlock(out + size - kBlockSize, tail);
  } else if (size >= 8) {
    const std::uint64_t head = loadWord(text);
    const std::uint64_t tail = loadWord(text + size - 8);
    std::memcpy(out, &head, 8);
    std::memcpy(out + size - 8, &tail, 8);
  } else if (size >= 4) {
    const std::uint32_t head = loadHalf(text);
    const std::uint32_t tail = loadHalf(text + size - 4);
    std::memcpy(out, &head, 4);
    std::memcpy(out + size - 4, &tail, 4);
  } else {
    for (std::size_t at = 0; at < size; ++at)
      out[at] = static_cast<char>(text[at]);
  }
}

/// Tells whether two texts hold the same bytes. Texts of up to 32 bytes (ids, names, schemas)
/// are compared as overlapping words, without a call to memcmp.
[[nodiscard]] inline bool sameBytes(std::string_view left, std::string_view right) noexcept {
  const std::size_t size = left.size();
  if (size != right.size()) return false;
  const auto* a = reinterpret_cast<const unsigned char*>(left.data());
  const auto* b = reinterpret_cast<const unsigned char*>(right.data());
  if (size > 2 * kBlockSize) return std::memcmp(a, b, size) == 0;
  if (size > kBlockSize) {
    const std::size_t tail = size - kBlockSize;
    return ((loadWord(a) ^ loadWord(b)) | (loadWord(a + 8) ^ loadWord(b + 8)) |
            (loadWord(a + tail) ^ loadWord(b + tail)) |
            (loadWord(a + tail + 8) ^ loadWord(b + tail + 8))) == 0;
  }
  if (size >= 8) {
    return ((loadWord(a) ^ loadWord(b)) | (loadWord(a + size - 8) ^ loadWord(b + size - 8))) == 0;
  }
  if (size >= 4) {
    return ((loadHalf(a) ^ loadHalf(b)) | (loadHalf(a + size - 4) ^ loadHalf(b + size - 4))) == 0;
  }
  if (size == 0) return true;
  // Bytes 0, size / 2 and size - 1: all of one to three bytes.
  return ((a[0] ^ b[0]) | (a[size / 2] ^ b[size / 2]) | (a[size - 1] ^ b[size - 1])) == 0;
}

/// Tells whether `left` sorts before `right` as `<` orders strings (bytes unsigned, a proper
/// prefix first), eight bytes at a time without a call: ids share long prefixes, and the merges
/// of compare and compose order a pair of them for every subject.
[[nodiscard, gnu::always_inline]] inline bool lessBytes(std::string_view left,
                                                        std::string_view right) noexcept {
  const std::size_t common = std::min(left.size(), right.size());
  const auto* a = reinterpret_cast<const unsigned char*>(left.data());
  const auto* b = reinterpret_cast<const unsigned char*>(right.data());
  if (std::endian::native == std::endian::little && common >= 8) {
    // The last word overlaps the one before it, whose bytes are equal by then.
    for (std::size_t at = 0;; at = std::min(at + 8, common - 8)) {
      const std::uint64_t x = loadWord(a + at);
      const std::uint64_t y = loadWord(b + at);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y);
      if (at == common - 8) return left.size() < right.size();
    }
  }
  for (std::size_t at = 0; at < common; ++at) {
    if (a[at] != b[at]) return a[at] < b[at];
  }
  return left.size() < right.size();
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_BYTE_SCAN_HPP
