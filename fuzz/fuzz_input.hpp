// Turns fuzz bytes into library values, read front to back; a stream that runs out yields zeros
// and empty strings, so every input decodes to something. The committed seeds use this format:
//   byte   one byte;  u32, u64  four or eight bytes, little-endian
//   small  one byte b: b itself when b < 0xFF, else a u64 (keeps small numbers cheap to reach)
//   text   one byte n: n < 0xFF gives the next n bytes; 0xFF gives a huge string: a u16 count c
//          and a text piece, the piece repeated c + 1 times (at most 64 KiB in all)
//   map    byte count (mod 8), then count pairs of text key and text value
#ifndef QUILLON_FUZZ_FUZZ_INPUT_HPP
#define QUILLON_FUZZ_FUZZ_INPUT_HPP

#include <quillon/monitoring/observation.hpp>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

namespace Quillon::Core::Monitoring::fuzzing {

class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {}

  [[nodiscard]] std::uint8_t byte() noexcept { return at_ < size_ ? data_[at_++] : 0; }
  [[nodiscard]] std::uint64_t integer(std::size_t bytes) noexcept {
    std::uint64_t value = 0;
    for (std::size_t shift = 0; shift < bytes * 8; shift += 8)
      value |= std::uint64_t{byte()} << shift;
    return value;
  }
  [[nodiscard]] std::uint32_t u32() noexcept { return static_cast<std::uint32_t>(integer(4)); }
  [[nodiscard]] std::uint64_t u64() noexcept { return integer(8); }
  [[nodiscard]] std::uint64_t small() noexcept {
    const std::uint8_t first = byte();
    return first < 0xFF ? first : u64();
  }
  [[nodiscard]] double f64() noexcept { return std::bit_cast<double>(u64()); }

  [[nodiscard]] std::string text() {
    const std::uint8_t length = byte();
    if (length != 0xFF) return plain(length);
    const std::size_t copies = integer(2) + 1;
    const std::string piece = plain(byte());
    std::string huge;
    for (std::size_t copy = 0; copy < copies && huge.size() + piece.size() <= kHugeLimit; ++copy)
      huge += piece;
    return piece.empty() ? std::string() : huge;
  }

  [[nodiscard]] AttributeMap map() {
    AttributeMap entries;
    for (int entry = byte() % 8; entry > 0; --entry) {
      std::string key = text();
      entries.insert_or_assign(std::move(key), text());
    }
    return entries;
  }

 private:
  static constexpr std::size_t kHugeLimit = std::size_t{1} << 16;

  [[nodiscard]] std::string plain(std::size_t length) {
    const std::size_t taken = std::min(length, size_ - at_);
    std::string bytes(reinterpret_cast<const char*>(data_ + at_), taken);
    at_ += taken;
    return bytes;
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

/// Decodes an Observation with every member taken from the bytes: enumeration values beyond their
/// tables, any pressure bit pattern (NaN and infinities included), any bytes in any string.
///   byte flags: 1 schema given, 2 parent, 4 declared, 8 planned, 16 observed, 32 host_id,
///               64 device_id, 128 ready
///   [text schema] text system_id, u64 epoch, u64 sequence, u64 logical_time, u64 observed_at_ns,
///   u32 kind, text id, [text parent],
///   declared: text type, text config_hash, map;  planned: [text host_id] [text device_id]
///   text placement_hash, map;  observed: u32 lifecycle, u32 health, u64 pressure bits,
///   u64 last_observed_ns, map;  then map extensions.
inline Observation readObservation(FuzzInput& in) {
  const std::uint8_t flags = in.byte();
  Observation record;
  if ((flags & 1) != 0) record.schema = in.text();
  record.system_id = in.text();
  record.epoch = in.u64();
  record.sequence = in.u64();
  record.logical_time = static_cast<std::int64_t>(in.u64());
  record.observed_at_ns = in.u64();
  record.entity.kind = static_cast<EntityKind>(in.u32());
  record.entity.id = in.text();
  if ((flags & 2) != 0) record.entity.parent = in.text();
  if ((flags & 4) != 0) {
    DeclaredState& declared = record.declared.emplace();
    declared.type = in.text();
    declared.config_hash = in.text();
    declared.attributes = in.map();
  }
  if ((flags & 8) != 0) {
    PlannedState& planned = record.planned.emplace();
    if ((flags & 32) != 0) planned.host_id = in.text();
    if ((flags & 64) != 0) planned.device_id = in.text();
    planned.placement_hash = in.text();
    planned.attributes = in.map();
  }
  if ((flags & 16) != 0) {
    ObservedState& observed = record.observed.emplace();
    observed.lifecycle = static_cast<LifecycleState>(in.u32());
    observed.health = static_cast<HealthState>(in.u32());
    observed.ready = (flags & 128) != 0;
    observed.pressure = in.f64();
    observed.last_observed_ns = in.u64();
    observed.attributes = in.map();
  }
  record.extensions = in.map();
  return record;
}

}  // namespace Quillon::Core::Monitoring::fuzzing

#endif  // QUILLON_FUZZ_FUZZ_INPUT_HPP
