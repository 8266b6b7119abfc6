#include <quillon/monitoring/compare.hpp>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <quillon/monitoring/canonical_json.hpp>

#include "byte_scan.hpp"
#include "json_text.hpp"
#include "observation_document.hpp"

namespace Quillon::Core::Monitoring {
namespace {

/// Returns `prefix` followed by `key` as one more pointer token, "~" and "/" escaped.
std::string pointerTo(std::string_view prefix, std::string_view key) {
  std::string pointer;
  pointer.reserve(prefix.size() + 1 + key.size());
  pointer.append(prefix);
  pointer += '/';
  for (const char byte : key) {
    if (byte == '~') {
      pointer += "~0";
    } else if (byte == '/') {
      pointer += "~1";
    } else {
      pointer += byte;
    }
  }
  return pointer;
}

template <typename Emit>
[[nodiscard]] std::string textOf(const Emit& emit) {
  return detail::buildText([&emit](auto sink) { return emit(sink); });
}

/// Compares one pair of values after another through their canonical text and records a change
/// for each pair that differs. Only subjects that sameText found to differ are walked.
class Walk {
 public:
  Walk(std::vector<Change>& changes, std::string_view subject) noexcept
      : changes_(changes), subject_(subject) {}

  /// Records one change; `pointer`, `before` and `after` write its texts.
  template <typename Pointer, typename Before, typename After>
  void report(const Pointer& pointer, const Before& before, const After& after) {
    changes_.push_back(Change{std::string(subject_), pointer(), before(), after()});
  }

  void text(std::string_view pointer, std::string_view before, std::string_view after) {
    if (detail::sameBytes(before, after)) return;
    report([pointer] { return std::string(pointer); }, [before] { return jsonString(before); },
           [after] { return jsonString(after); });
  }

  void optionalText(std::string_view pointer, const std::optional<std::string>& before,
                    const std::optional<std::string>& after) {
    if (before && after) {
      text(pointer, *before, *after);
      return;
    }
    if (before.has_value() == after.has_value()) return;
    report([pointer] { return std::string(pointer); }, [&before] { return orNull(before); },
           [&after] { return orNull(after); });
  }

  template <typename Integer>
  void decimal(std::string_view pointer, Integer before, Integer after) {
    if (before == after) return;
    report([pointer] { return std::string(pointer); }, [before] { return std::to_string(before); },
           [after] { return std::to_string(after); });
  }

  /// Compares by name: values outside a table share the name of its fallback.
  template <typename Enum>
  void name(std::string_view pointer, Enum before, Enum after) {
    if (before == after || toString(before) == toString(after)) return;
    report([pointer] { return std::string(pointer); },
           [before] { return jsonString(toString(before)); },
           [after] { return jsonString(toString(after)); });
  }

  void flag(std::string_view pointer, bool before, bool after) {
    if (before == after) return;
    report([pointer] { return std::string(pointer); },
           [before] { return std::string(before ? "true" : "false"); },
           [after] { return std::string(after ? "true" : "false"); });
  }

  /// Compares bit patterns: for finite doubles that is exactly their 17-digit text (0 and -0
  /// differ, as their texts do).
  void number(std::string_view pointer, double before, double after) {
    if (std::bit_cast<std::uint64_t>(before) == std::bit_cast<std::uint64_t>(after)) return;
    report([pointer] { return std::string(pointer); }, [before] { return jsonDouble(before); },
           [after] { return jsonDouble(after); });
  }

  /// Walks two maps together in key order: an entry on one side only is added or removed.
  void map(std::string_view pointer, const AttributeMap& before, const AttributeMap& after) {
    auto left = before.begin();
    auto right = after.begin();
    while (left != before.end() || right != after.end()) {
      const int order = left == before.end()   ? 1
                        : right == after.end() ? -1
                                               : left->first.compare(right->first);
      const std::string_view key = order <= 0 ? left->first : right->first;
      const std::string_view was = order <= 0 ? std::string_view(left->second) : "";
      const std::string_view now = order >= 0 ? std::string_view(right->second) : "";
      if (order != 0 || !detail::sameBytes(was, now)) {
        report([pointer, key] { return pointerTo(pointer, key); },
               [order, was] { return order <= 0 ? jsonString(was) : std::string(); },
               [order, now] { return order >= 0 ? jsonString(now) : std::string(); });
      }
      if (order <= 0) ++left;
      if (order >= 0) ++right;
    }
  }

  /// Walks an optional section: inside it when both sides hold one, else one change at it.
  template <typename Section, typename Emit, typename Inside>
  void section(std::string_view pointer, const std::optional<Section>& before,
               const std::optional<Section>& after, const Emit& emit, const Inside& inside) {
    if (before && after) {
      inside(*this, *before, *after);
      return;
    }
    if (before.has_value() == after.has_value()) return;
    const auto write = [&emit](const std::optional<Section>& side) {
      return side ? textOf([&emit, &side](auto sink) { return emit(sink, *side); })
                  : std::string("null");
    };
    report([pointer] { return std::string(pointer); }, [&] { return write(before); },
           [&] { return write(after); });
  }

 private:
  static std::string orNull(const std::optional<std::string>& text) {
    return text ? jsonString(*text) : std::string("null");
  }

  std::vector<Change>& changes_;
  std::string_view subject_;
};

/// How a section object opens when it is written alone.
constexpr std::string_view kOpen = R"({"attributes":)";

void walkObservation(Walk& walk, const Observation& before, const Observation& after) {
  walk.section(
      "/observation/declared", before.declared, after.declared,
      [](auto sink, const DeclaredState& declared) {
        return detail::emitDeclared(sink, declared, kOpen, "}");
      },
      [](Walk& inner, const DeclaredState& was, const DeclaredState& now) {
        inner.map("/observation/declared/attributes", was.attributes, now.attributes);
        inner.text("/observation/declared/config_hash", was.config_hash, now.config_hash);
        inner.text("/observation/declared/type", was.type, now.type);
      });
  walk.text("/observation/entity/id", before.entity.id, after.entity.id);
  walk.name("/observation/entity/kind", before.entity.kind, after.entity.kind);
  walk.optionalText("/observation/entity/parent", before.entity.parent, after.entity.parent);
  walk.decimal("/observation/epoch", before.epoch, after.epoch);
  walk.map("/observation/extensions", before.extensions, after.extensions);
  walk.decimal("/observation/logical_time", before.logical_time, after.logical_time);
  walk.section(
      "/observation/observed", before.observed, after.observed,
      [](auto sink, const ObservedState& observed) {
        return detail::emitObserved(sink, observed, kOpen, "}");
      },
      [](Walk& inner, const ObservedState& was, const ObservedState& now) {
        inner.map("/observation/observed/attributes", was.attributes, now.attributes);
        inner.name("/observation/observed/health", was.health, now.health);
        inner.decimal("/observation/observed/last_observed_ns", was.last_observed_ns,
                      now.last_observed_ns);
        inner.name("/observation/observed/lifecycle", was.lifecycle, now.lifecycle);
        inner.number("/observation/observed/pressure", was.pressure, now.pressure);
        inner.flag("/observation/observed/ready", was.ready, now.ready);
      });
  walk.decimal("/observation/observed_at_ns", before.observed_at_ns, after.observed_at_ns);
  walk.section(
      "/observation/planned", before.planned, after.planned,
      [](auto sink, const PlannedState& planned) {
        return detail::emitPlanned(sink, planned, kOpen, "}");
      },
      [](Walk& inner, const PlannedState& was, const PlannedState& now) {
        inner.map("/observation/planned/attributes", was.attributes, now.attributes);
        inner.optionalText("/observation/planned/device_id", was.device_id, now.device_id);
        inner.optionalText("/observation/planned/host_id", was.host_id, now.host_id);
        inner.text("/observation/planned/placement_hash", was.placement_hash, now.placement_hash);
      });
  walk.text("/observation/schema", before.schema, after.schema);
  walk.decimal("/observation/sequence", before.sequence, after.sequence);
  walk.text("/observation/system_id", before.system_id, after.system_id);
}

/// Walks two subjects of the same id in the order of their object's keys.
void walkSubject(Walk& walk, const SubjectResult& before, const SubjectResult& after) {
  walk.text("/diagnostic", before.diagnostic, after.diagnostic);
  walk.section(
      "/observation", before.observation, after.observation,
      [](auto sink, const Observation& observation) {
        return detail::emitObservationDocument(sink, observation);
      },
      [](Walk& inner, const Observation& was, const Observation& now) {
        walkObservation(inner, was, now);
      });
  walk.name("/status", before.status, after.status);
}

// Whether two values have the same canonical text: exactly when the walk above would record
// nothing for them. Member by member in declaration order, each a plain test, stopping at the
// first difference: most subjects did not change, and for them this costs about what == costs.

template <typename Enum>
bool sameName(Enum before, Enum after) noexcept {
  return before == after || toString(before) == toString(after);
}

bool sameText(const std::optional<std::string>& before,
              const std::optional<std::string>& after) noexcept {
  return before.has_value() == after.has_value() && (!before || detail::sameBytes(*before, *after));
}

bool sameText(const AttributeMap& before, const AttributeMap& after) noexcept {
  return before.size() == after.size() &&
         std::equal(before.begin(), before.end(), after.begin(),
                    [](const auto& was, const auto& now) {
                      return detail::sameBytes(was.first, now.first) &&
                             detail::sameBytes(was.second, now.second);
                    });
}

template <typename Section, typename Same>
bool sameText(const std::optional<Section>& before, const std::optional<Section>& after,
              Same same) noexcept {
  return before.has_value() == after.has_value() && (!before || same(*before, *after));
}

bool sameText(const Observation& before, const Observation& after) noexcept {
  return before.epoch == after.epoch && before.sequence == after.sequence &&
         before.logical_time == after.logical_time &&
         before.observed_at_ns == after.observed_at_ns &&
         detail::sameBytes(before.schema, after.schema) &&
         detail::sameBytes(before.system_id, after.system_id) &&
         sameName(before.entity.kind, after.entity.kind) &&
         detail::sameBytes(before.entity.id, after.entity.id) &&
         sameText(before.entity.parent, after.entity.parent) &&
         sameText(before.declared, after.declared,
                  [](const DeclaredState& was, const DeclaredState& now) {
                    return detail::sameBytes(was.type, now.type) &&
                           detail::sameBytes(was.config_hash, now.config_hash) &&
                           sameText(was.attributes, now.attributes);
                  }) &&
         sameText(before.planned, after.planned,
                  [](const PlannedState& was, const PlannedState& now) {
                    return sameText(was.host_id, now.host_id) &&
                           sameText(was.device_id, now.device_id) &&
                           detail::sameBytes(was.placement_hash, now.placement_hash) &&
                           sameText(was.attributes, now.attributes);
                  }) &&
         sameText(before.observed, after.observed,
                  [](const ObservedState& was, const ObservedState& now) {
                    return sameName(was.lifecycle, now.lifecycle) &&
                           sameName(was.health, now.health) && was.ready == now.ready &&
                           std::bit_cast<std::uint64_t>(was.pressure) ==
                               std::bit_cast<std::uint64_t>(now.pressure) &&
                           was.last_observed_ns == now.last_observed_ns &&
                           sameText(was.attributes, now.attributes);
                  }) &&
         sameText(before.extensions, after.extensions);
}

bool sameText(const SubjectResult& before, const SubjectResult& after) noexcept {
  return sameName(before.status, after.status) &&
         detail::sameBytes(before.diagnostic, after.diagnostic) &&
         sameText(
             before.observation, after.observation,
             [](const Observation& was, const Observation& now) { return sameText(was, now); });
}

void requireWritable(const SubjectResult& subject) {
  if (subject.observation && !detail::isValid(*subject.observation)) {
    throw std::invalid_argument("invalid observation");
  }
}

std::string subjectText(const SubjectResult& subject) {
  requireWritable(subject);
  return textOf([&subject](auto sink) { return detail::emitSubject(sink, subject); });
}

/// Follows one side's subjects. check() refuses a list that is not strictly ascending: the merge
/// walk would pair the wrong subjects, and an empty id would be taken for the snapshot itself.
class Cursor {
 public:
  explicit Cursor(const std::vector<SubjectResult>& subjects) noexcept
      : at_(subjects.data()), end_(subjects.data() + subjects.size()) {}

  [[nodiscard]] bool done() const noexcept { return at_ == end_; }
  [[nodiscard]] const SubjectResult& operator*() const noexcept { return *at_; }

  void advance() noexcept { previous_ = at_++; }

  /// Throws when the current subject's id is empty or not above the one before it.
  void check() const {
    if (at_ == end_) return;
    if (at_->id.empty() || (previous_ != nullptr && !detail::lessBytes(previous_->id, at_->id))) {
      throw std::invalid_argument(
          "snapshot subjects require unique non-empty ids in ascending order");
    }
  }

 private:
  const SubjectResult* at_;
  const SubjectResult* end_;
  const SubjectResult* previous_ = nullptr;
};

}  // namespace

std::vector<Change> compare(const RuntimeStateSnapshot& before, const RuntimeStateSnapshot& after) {
  std::vector<Change> changes;
  Walk members(changes, {});
  members.decimal("/barrier_sequence", before.barrier_sequence, after.barrier_sequence);
  members.decimal("/captured_at_ns", before.captured_at_ns, after.captured_at_ns);
  members.decimal("/deadline_ns", before.deadline_ns, after.deadline_ns);
  members.decimal("/epoch", before.epoch, after.epoch);
  members.decimal("/logical_time", before.logical_time, after.logical_time);
  members.text("/schema", before.schema, after.schema);
  members.name("/status", before.status, after.status);
  members.text("/system_id", before.system_id, after.system_id);

  Cursor was(before.subjects);
  Cursor now(after.subjects);
  bool paired = false;
  while (!was.done() || !now.done()) {
    const int order = was.done()                                ? 1
                      : now.done()                              ? -1
                      : detail::sameBytes((*was).id, (*now).id) ? 0
                      : detail::lessBytes((*was).id, (*now).id) ? -1
                                                                : 1;
    was.check();
    // Two pairs in a row: the order of `was` orders `now` as well.
    if (order != 0 || !paired) now.check();
    paired = order == 0;
    if (order < 0) {
      changes.push_back(Change{(*was).id, {}, subjectText(*was), {}});
      was.advance();
    } else if (order > 0) {
      changes.push_back(Change{(*now).id, {}, {}, subjectText(*now)});
      now.advance();
    } else {
      if (!sameText(*was, *now)) {
        requireWritable(*was);
        requireWritable(*now);
        Walk walk(changes, (*was).id);
        walkSubject(walk, *was, *now);
      }
      was.advance();
      now.advance();
    }
  }
  return changes;
}

}  // namespace Quillon::Core::Monitoring
