#include <quillon/monitoring/openmetrics.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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

/// Returns the enumerator whose name `value` is written with: a value outside the table takes
/// the name of `fallback`. Each table runs from 0 without gaps.
template <typename Enum, std::size_t kSize>
[[nodiscard]] constexpr Enum named(Enum value, const std::array<Enum, kSize>& /*table*/,
                                   Enum fallback) noexcept {
  return static_cast<std::uint32_t>(value) < kSize ? value : fallback;
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

/// Describes the start of a sample up to its first label, `system_id`, left open for more.
template <typename Sink>
[[nodiscard]] Sink emitSampleStart(Sink sink, std::string_view name, std::string_view systemId) {
  sink.raw(name);
  sink.raw(R"({system_id=")");
  sink = emitLabelValue(sink, systemId);
  sink.raw(R"(")");
  return sink;
}

template <typename Sink>
[[nodiscard]] Sink emitSubjectLabel(Sink sink, const SubjectResult& subject) {
  sink.raw(R"(,subject=")");
  sink = emitLabelValue(sink, subject.id);
  sink.raw(R"(")");
  return sink;
}

/// Describes `name{system_id,subject,kind` of an entity sample, left open for more labels.
template <typename Sink>
[[nodiscard]] Sink emitEntityStart(Sink sink, std::string_view name, std::string_view systemId,
                                   const SubjectResult& subject) {
  sink = emitSampleStart(sink, name, systemId);
  sink = emitSubjectLabel(sink, subject);
  sink.raw(R"(,kind=")");
  sink.name(subject.observation->entity.kind);
  sink.raw(R"(")");
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
template <typename Sink, typename Enum, std::size_t kSize, typename Start>
[[nodiscard]] Sink emitStateSet(Sink sink, const Start& start, std::string_view label,
                                const std::array<Enum, kSize>& table, Enum current) {
  for (const Enum value : table) {
    sink = start(sink);
    sink.raw(",");
    sink.raw(label);
    sink.raw(R"(=")");
    sink.name(value);
    sink.raw(value == current ? "\"} 1\n" : "\"} 0\n");
  }
  return sink;
}

/// Describes the whole exposition; `subjects` holds the subjects with per-subject series, as
/// values or as pointers.
template <typename Sink, typename Subjects>
[[nodiscard]] Sink emitExposition(Sink sink, const RuntimeStateSnapshot& snapshot,
                                  const StatusCounts& counts, const Subjects& subjects) {
  const std::string_view system = snapshot.system_id;
  sink = emitFamily(sink, "quillon_snapshot_complete",
                    "1 when every subject of the snapshot was captured, else 0.");
  sink = emitSampleStart(sink, "quillon_snapshot_complete", system);
  sink.raw(snapshot.status == SnapshotStatus::complete ? "} 1\n" : "} 0\n");
  sink = emitFamily(sink, "quillon_snapshot_epoch",
                    "Epoch of the system state that the snapshot describes.");
  sink = emitSampleStart(sink, "quillon_snapshot_epoch", system);
  sink.raw("} ");
  sink.decimal(snapshot.epoch);
  sink.raw("\n");
  sink = emitFamily(sink, "quillon_snapshot_barrier_sequence",
                    "Sequence number of the barrier at which the snapshot was captured.");
  sink = emitSampleStart(sink, "quillon_snapshot_barrier_sequence", system);
  sink.raw("} ");
  sink.decimal(snapshot.barrier_sequence);
  sink.raw("\n");
  sink = emitFamily(sink, "quillon_snapshot_subjects", "Number of subjects in each status.");
  for (std::size_t at = 0; at < kSubjectStatuses.size(); ++at) {
    sink = emitSampleStart(sink, "quillon_snapshot_subjects", system);
    sink.raw(R"(,status=")");
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
    const auto start = [system, &subject](Sink line) {
      return emitSubjectLabel(emitSampleStart(line, "quillon_subject_status", system), subject);
    };
    sink = emitStateSet(sink, start, "status", kSubjectStatuses,
                        named(subject.status, kSubjectStatuses, SubjectStatus::invalid));
  }

  const bool anyEntity =
      std::any_of(std::begin(subjects), std::end(subjects),
                  [](const auto& entry) { return showsEntity(subjectOf(entry)); });
  if (anyEntity) {
    sink = emitFamily(sink, "quillon_entity_ready", "1 when the entity is ready, else 0.");
    for (const auto& entry : subjects) {
      const SubjectResult& subject = subjectOf(entry);
      if (!showsEntity(subject)) continue;
      sink = emitEntityStart(sink, "quillon_entity_ready", system, subject);
      sink.raw(subject.observation->observed->ready ? "} 1\n" : "} 0\n");
    }
    sink = emitFamily(sink, "quillon_entity_pressure",
                      "Load pressure of the entity as a fraction from 0 to 1.");
    for (const auto& entry : subjects) {
      const SubjectResult& subject = subjectOf(entry);
      if (!showsEntity(subject)) continue;
      sink = emitEntityStart(sink, "quillon_entity_pressure", system, subject);
      sink.raw("} ");
      sink.number(subject.observation->observed->pressure);
      sink.raw("\n");
    }
    sink = emitFamily(sink, "quillon_entity_health",
                      "1 for the observed health of the entity, 0 for the other health names.");
    for (const auto& entry : subjects) {
      const SubjectResult& subject = subjectOf(entry);
      if (!showsEntity(subject)) continue;
      const auto start = [system, &subject](Sink line) {
        return emitEntityStart(line, "quillon_entity_health", system, subject);
      };
      sink = emitStateSet(
          sink, start, "health", kHealthStates,
          named(subject.observation->observed->health, kHealthStates, HealthState::unknown));
    }
    sink = emitFamily(sink, "quillon_entity_lifecycle",
                      "1 for the observed lifecycle stage of the entity, 0 for the other stages.");
    for (const auto& entry : subjects) {
      const SubjectResult& subject = subjectOf(entry);
      if (!showsEntity(subject)) continue;
      const auto start = [system, &subject](Sink line) {
        return emitEntityStart(line, "quillon_entity_lifecycle", system, subject);
      };
      sink = emitStateSet(sink, start, "lifecycle", kLifecycleStates,
                          named(subject.observation->observed->lifecycle, kLifecycleStates,
                                LifecycleState::unknown));
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
