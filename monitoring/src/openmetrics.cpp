#include <quillon/monitoring/openmetrics.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "byte_scan.hpp"
#include "json_text.hpp"
#include "observation_document.hpp"

namespace Quillon::Core::Monitoring {
namespace {

constexpr std::array kSubjectStatuses{
    SubjectStatus::captured,    SubjectStatus::missing,           SubjectStatus::unsupported,
    SubjectStatus::stale_epoch, SubjectStatus::deadline_exceeded, SubjectStatus::invalid,
};
constexpr std::array kHealthStates{HealthState::unknown, HealthState::healthy,
                                   HealthState::degraded, HealthState::unhealthy};
constexpr std::array kLifecycleStates{
    LifecycleState::declared, LifecycleState::provisioning, LifecycleState::ready,
    LifecycleState::running,  LifecycleState::paused,       LifecycleState::stopping,
    LifecycleState::stopped,  LifecycleState::failed,       LifecycleState::unknown,
};

/// Tells whether a sink writes bytes, rather than measuring them.
template <typename Sink>
constexpr bool kWrites = std::is_same_v<Sink, detail::WriteSink>;

/// Returns the enumerator whose name `value` is written with: a value outside the table takes
/// the name of `fallback`. Each table runs from 0 without gaps.
template <typename Enum, std::size_t Size>
[[nodiscard]] constexpr Enum named(Enum value, const std::array<Enum, Size>& /*table*/,
                                   Enum fallback) noexcept {
  return static_cast<std::uint32_t>(value) < Size ? value : fallback;
}

/// The bytes a label value cannot carry as they are: escapes, "%" and bytes below 0x20, and
/// every byte from 0x7F, whose UTF-8 sequences are checked one at a time.
struct LabelBytes {
  [[nodiscard]] static constexpr bool test(unsigned char byte) noexcept {
    return byte < 0x20 || byte == '"' || byte == '\\' || byte == '%' || byte >= 0x7F;
  }
  [[nodiscard]] static detail::ByteBlock flags(detail::ByteBlock bytes) noexcept {
    return static_cast<detail::ByteBlock>((bytes < 0x20) | (bytes == '"') | (bytes == '\\') |
                                          (bytes == '%') | (bytes >= 0x7F));
  }
};

/// Returns the size of the well-formed UTF-8 sequence of two to four bytes at `at`, or 0 when
/// the bytes there are not one (overlong forms, surrogates and code points past U+10FFFF are not).
[[nodiscard]] std::size_t sequenceSize(const unsigned char* at, const unsigned char* end) noexcept {
  const unsigned char lead = *at;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  std::size_t size = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - at) < size || at[1] < low || at[1] > high) return 0;
  for (std::size_t next = 2; next < size; ++next) {
    if (at[next] < 0x80 || at[next] > 0xBF) return 0;
  }
  return size;
}

[[nodiscard]] std::string_view viewOf(const unsigned char* at, std::size_t size) noexcept {
  return {reinterpret_cast<const char*>(at), size};
}

/// Describes `text` as a label value (see openmetrics.hpp): runs of plain bytes are copied
/// whole, so an ASCII id costs one scan and one copy.
template <typename Sink>
[[nodiscard]] Sink emitLabelValue(Sink sink, std::string_view text) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  const unsigned char* at = detail::bytesOf(text);
  const unsigned char* const end = at + text.size();
  while (true) {
    const std::size_t clean = detail::findFirst<LabelBytes>(at, static_cast<std::size_t>(end - at));
    sink.plain(viewOf(at, clean));
    at += clean;
    if (at == end) return sink;
    const unsigned char byte = *at;
    std::size_t size = 1;
    if (byte == '"') {
      sink.raw(R"(\")");
    } else if (byte == '\\') {
      sink.raw(R"(\\)");
    } else if (byte == '\n') {
      sink.raw(R"(\n)");
    } else if (byte >= 0x80 && (size = sequenceSize(at, end)) != 0) {
      sink.plain(viewOf(at, size));
    } else {
      size = 1;
      const std::array<char, 3> escape{'%', kHex[byte >> 4], kHex[byte & 0xF]};
      sink.plain(std::string_view(escape.data(), escape.size()));
    }
    at += size;
  }
}

/// A label value with the outcome of its scan, made once for all the lines that carry it: most
/// values are plain ids, copied as they are.
struct LabelValue {
  explicit LabelValue(std::string_view value) noexcept
      : text(value),
        plain(detail::findFirst<LabelBytes>(detail::bytesOf(value), value.size()) == value.size()) {
  }

  std::string_view text;
  bool plain;
};

template <typename Sink>
[[nodiscard]] Sink emitLabel(Sink sink, const LabelValue& label) {
  if (label.plain) {
    sink.plain(label.text);
    return sink;
  }
  return emitLabelValue(sink, label.text);
}

/// Describes the "# HELP" and "# TYPE" lines of a gauge family.
template <typename Sink>
[[nodiscard]] Sink emitFamily(Sink sink, std::string_view name, std::string_view help) {
  sink.raw("# HELP ");
  sink.raw(name);
  sink.raw(" ");
  sink.raw(help);
  sink.raw("\n# TYPE ");
  sink.raw(name);
  sink.raw(" gauge\n");
  return sink;
}

// A sample is written as fused constant fragments around its values: `open` is the metric name
// with `{system_id="`, and each description below leaves the sample inside the quotation marks
// of its last label, for the next fragment to close.

/// Describes `open` and the system id.
template <typename Sink>
[[nodiscard]] Sink emitOpen(Sink sink, std::string_view open, const LabelValue& system) {
  sink.raw(open);
  return emitLabel(sink, system);
}

/// Describes `open`, the system id and the subject label.
template <typename Sink>
[[nodiscard]] Sink emitSubjectOpen(Sink sink, std::string_view open, const LabelValue& system,
                                   const LabelValue& id) {
  sink = emitOpen(sink, open, system);
  sink.raw(R"(",subject=")");
  return emitLabel(sink, id);
}

/// Describes `open`, the system id and the subject and kind labels of an entity sample.
template <typename Sink>
[[nodiscard]] Sink emitEntityOpen(Sink sink, std::string_view open, const LabelValue& system,
                                  const LabelValue& id, EntityKind kind) {
  sink = emitSubjectOpen(sink, open, system, id);
  sink.raw(R"(",kind=")");
  sink.name(kind);
  return sink;
}

[[nodiscard]] const SubjectResult& subjectOf(const SubjectResult& subject) noexcept {
  return subject;
}
[[nodiscard]] const SubjectResult& subjectOf(const SubjectResult* subject) noexcept {
  return *subject;
}

/// Tells whether the exposition shows `subject`'s entity: only an observation that capture
/// would have accepted is shown, and only its observed section has values to show.
[[nodiscard]] bool showsEntity(const SubjectResult& subject) noexcept {
  return subject.status == SubjectStatus::captured && subject.observation &&
         subject.observation->observed && detail::isValid(*subject.observation);
}

using StatusCounts = std::array<std::uint64_t, kSubjectStatuses.size()>;

/// Describes a state written as gauges: one sample per name in `table`, 1 for `current`.
/// `label` closes the previous label and opens the state's own, as `",health="`. The lines share
/// everything before `label`: a writing sink copies that from the first line rather than
/// describing it again, which gives the same bytes at a fraction of the cost.
template <typename Sink, typename Enum, std::size_t Size, typename Open>
[[nodiscard]] Sink emitStateSet(Sink sink, const Open& open, std::string_view label,
                                const std::array<Enum, Size>& table, Enum current) {
  std::string_view shared;
  for (const Enum value : table) {
    if constexpr (kWrites<Sink>) {
      if (shared.empty()) {
        const char* const start = sink.position();
        sink = open(sink);
        shared = std::string_view(start, static_cast<std::size_t>(sink.position() - start));
      } else {
        sink.plain(shared);
      }
    } else {
      sink = open(sink);
    }
    sink.raw(label);
    sink.name(value);
    sink.raw(value == current ? "\"} 1\n" : "\"} 0\n");
  }
  return sink;
}

enum class EntityFamily { ready, pressure, health, lifecycle };

struct EntityFamilyText {
  EntityFamily family;
  std::string_view name;
  std::string_view help;
};

constexpr std::array kEntityFamilies{
    EntityFamilyText{EntityFamily::ready, "quillon_entity_ready",
                     "1 when the entity is ready, else 0."},
    EntityFamilyText{EntityFamily::pressure, "quillon_entity_pressure",
                     "Load pressure of the entity as a fraction from 0 to 1."},
    EntityFamilyText{EntityFamily::health, "quillon_entity_health",
                     "1 for the observed health of the entity, 0 for the other health names."},
    EntityFamilyText{EntityFamily::lifecycle, "quillon_entity_lifecycle",
                     "1 for the observed lifecycle stage of the entity, 0 for the other stages."},
};

/// Describes the samples of one family for a subject whose entity is shown.
template <typename Sink>
[[nodiscard]] Sink emitEntitySamples(Sink sink, EntityFamily family, const LabelValue& system,
                                     const SubjectResult& subject) {
  const LabelValue id(subject.id);
  const EntityKind kind = subject.observation->entity.kind;
  const ObservedState& observed = *subject.observation->observed;
  switch (family) {
    case EntityFamily::ready:
      sink = emitEntityOpen(sink, R"(quillon_entity_ready{system_id=")", system, id, kind);
      sink.raw(observed.ready ? "\"} 1\n" : "\"} 0\n");
      return sink;
    case EntityFamily::pressure:
      sink = emitEntityOpen(sink, R"(quillon_entity_pressure{system_id=")", system, id, kind);
      sink.raw("\"} ");
      sink.number(observed.pressure);
      sink.raw("\n");
      return sink;
    case EntityFamily::health:
      return emitStateSet(
          sink,
          [&](Sink line) {
            return emitEntityOpen(line, R"(quillon_entity_health{system_id=")", system, id, kind);
          },
          R"(",health=")", kHealthStates,
          named(observed.health, kHealthStates, HealthState::unknown));
    case EntityFamily::lifecycle:
      return emitStateSet(
          sink,
          [&](Sink line) {
            return emitEntityOpen(line, R"(quillon_entity_lifecycle{system_id=")", system, id,
                                  kind);
          },
          R"(",lifecycle=")", kLifecycleStates,
          named(observed.lifecycle, kLifecycleStates, LifecycleState::unknown));
  }
  return sink;
}

/// Describes the whole exposition; `subjects` holds the subjects with per-subject series, as
/// values or as pointers.
template <typename Sink, typename Subjects>
[[nodiscard]] Sink emitExposition(Sink sink, const RuntimeStateSnapshot& snapshot,
                                  const StatusCounts& counts, const Subjects& subjects) {
  const LabelValue system(snapshot.system_id);
  sink = emitFamily(sink, "quillon_snapshot_complete",
                    "1 when every subject of the snapshot was captured, else 0.");
  sink = emitOpen(sink, R"(quillon_snapshot_complete{system_id=")", system);
  sink.raw(snapshot.status == SnapshotStatus::complete ? "\"} 1\n" : "\"} 0\n");
  sink = emitFamily(sink, "quillon_snapshot_epoch",
                    "Epoch of the system state that the snapshot describes.");
  sink = emitOpen(sink, R"(quillon_snapshot_epoch{system_id=")", system);
  sink.raw("\"} ");
  sink.decimal(snapshot.epoch);
  sink.raw("\n");
  sink = emitFamily(sink, "quillon_snapshot_barrier_sequence",
                    "Sequence number of the barrier at which the snapshot was captured.");
  sink = emitOpen(sink, R"(quillon_snapshot_barrier_sequence{system_id=")", system);
  sink.raw("\"} ");
  sink.decimal(snapshot.barrier_sequence);
  sink.raw("\n");
  sink = emitFamily(sink, "quillon_snapshot_subjects", "Number of subjects in each status.");
  for (std::size_t at = 0; at < kSubjectStatuses.size(); ++at) {
    sink = emitOpen(sink, R"(quillon_snapshot_subjects{system_id=")", system);
    sink.raw(R"(",status=")");
    sink.name(kSubjectStatuses[at]);
    sink.raw("\"} ");
    sink.decimal(counts[at]);
    sink.raw("\n");
  }

  if (std::empty(subjects)) {
    sink.raw("# EOF\n");
    return sink;
  }
  sink = emitFamily(sink, "quillon_subject_status",
                    "1 for the status of the subject in the snapshot, 0 for the other statuses.");
  for (const auto& entry : subjects) {
    const SubjectResult& subject = subjectOf(entry);
    const auto open = [&system, id = LabelValue(subject.id)](Sink line) {
      return emitSubjectOpen(line, R"(quillon_subject_status{system_id=")", system, id);
    };
    sink = emitStateSet(sink, open, R"(",status=")", kSubjectStatuses,
                        named(subject.status, kSubjectStatuses, SubjectStatus::invalid));
  }

  const bool anyEntity =
      std::any_of(std::begin(subjects), std::end(subjects),
                  [](const auto& entry) { return showsEntity(subjectOf(entry)); });
  if (!anyEntity) {
    sink.raw("# EOF\n");
    return sink;
  }
  if constexpr (kWrites<Sink>) {
    for (const EntityFamilyText& text : kEntityFamilies) {
      sink = emitFamily(sink, text.name, text.help);
      for (const auto& entry : subjects) {
        const SubjectResult& subject = subjectOf(entry);
        if (showsEntity(subject)) sink = emitEntitySamples(sink, text.family, system, subject);
      }
    }
  } else {
    // A size does not depend on the order of the lines: measured subject by subject, each
    // subject is judged once rather than once per family.
    for (const EntityFamilyText& text : kEntityFamilies)
      sink = emitFamily(sink, text.name, text.help);
    for (const auto& entry : subjects) {
      const SubjectResult& subject = subjectOf(entry);
      if (!showsEntity(subject)) continue;
      for (const EntityFamilyText& text : kEntityFamilies)
        sink = emitEntitySamples(sink, text.family, system, subject);
    }
  }
  sink.raw("# EOF\n");
  return sink;
}

template <typename Subjects>
[[nodiscard]] std::string writeExposition(const RuntimeStateSnapshot& snapshot,
                                          const StatusCounts& counts, const Subjects& subjects) {
  // Always measured first: an exposition is seldom small enough for a buffer on the stack.
  const auto emit = [&](auto sink) { return emitExposition(sink, snapshot, counts, subjects); };
  std::string text(emit(detail::SizeSink{}).size(), '\0');
  (void)emit(detail::WriteSink(text.data(), text.data() + text.size()));
  return text;
}

/// Returns the subjects by ascending id without those whose id is held by another subject.
std::vector<const SubjectResult*> uniqueById(const std::vector<SubjectResult>& subjects) {
  std::vector<const SubjectResult*> sorted;
  sorted.reserve(subjects.size());
  for (const SubjectResult& subject : subjects)
    sorted.push_back(&subject);
  std::sort(
      sorted.begin(), sorted.end(),
      [](const SubjectResult* left, const SubjectResult* right) { return left->id < right->id; });
  std::vector<const SubjectResult*> unique;
  for (std::size_t at = 0; at < sorted.size(); ++at) {
    const bool repeatsPrevious = at > 0 && sorted[at - 1]->id == sorted[at]->id;
    const bool repeatedNext = at + 1 < sorted.size() && sorted[at + 1]->id == sorted[at]->id;
    if (!repeatsPrevious && !repeatedNext) unique.push_back(sorted[at]);
  }
  return unique;
}

}  // namespace

std::string toOpenMetrics(const RuntimeStateSnapshot& snapshot) {
  StatusCounts counts{};
  for (const SubjectResult& subject : snapshot.subjects)
    ++counts[static_cast<std::size_t>(
        named(subject.status, kSubjectStatuses, SubjectStatus::invalid))];
  const std::vector<SubjectResult>& subjects = snapshot.subjects;
  const bool ascending =
      std::adjacent_find(subjects.begin(), subjects.end(),
                         [](const SubjectResult& left, const SubjectResult& right) {
                           return !(left.id < right.id);
                         }) == subjects.end();
  if (ascending) return writeExposition(snapshot, counts, subjects);
  return writeExposition(snapshot, counts, uniqueById(subjects));
}

}  // namespace Quillon::Core::Monitoring
