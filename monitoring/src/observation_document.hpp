// The observation document and the runtime-state subject object as descriptions over a sink (see
// json_text.hpp), shared by the document writers and by compare, which writes the pieces that
// changed: each section is its own description, so a piece reads exactly as it stands in the
// whole document.
#ifndef QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP
#define QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP

#include <optional>
#include <string>
#include <string_view>

#include <quillon/monitoring/observation.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "json_text.hpp"

namespace Quillon::Core::Monitoring::detail {

inline constexpr std::string_view kPlannedSchemaSequence =
    R"(},"schema":"velmor-observability/1","sequence":)";
inline constexpr std::string_view kNullPlannedSchemaSequence =
    R"(,"planned":null,"schema":"velmor-observability/1","sequence":)";
static_assert(kPlannedSchemaSequence.substr(12, kObservationSchema.size()) == kObservationSchema);
static_assert(kNullPlannedSchemaSequence.substr(26, kObservationSchema.size()) ==
              kObservationSchema);

/// Tells whether `record.validate()` would report nothing, without building the report. Never
/// throws, never allocates.
[[nodiscard]] bool isValid(const Observation& record) noexcept;

/// Tells the same as `isValid` for a record already known to have the valid schema and valid
/// identifiers (system, entity and parent), which it does not look at again.
[[nodiscard]] bool isValidBeyondIdentifiers(const Observation& record) noexcept;

template <typename Sink>
[[nodiscard]] Sink emitOptionalString(Sink sink, const std::optional<std::string>& text) {
  if (text) {
    sink.string(*text);
  } else {
    sink.raw("null");
  }
  return sink;
}

// Each section is written between `open`, which ends with `{"attributes":`, and `close`, which
// begins with "}": the document passes its neighbouring keys in them, so that the constant text
// around a section stays one fragment, and compare passes just the braces. Always inlined, so
// the document is written as if it were described in one piece.

/// Describes the "declared" object of an observation document.
template <typename Sink>
[[nodiscard, gnu::always_inline]] inline Sink emitDeclared(Sink sink, const DeclaredState& declared,
                                                           std::string_view open,
                                                           std::string_view close) {
  sink.raw(open);
  sink = emitStringMap(sink, declared.attributes);
  sink.raw(R"(,"config_hash":)");
  sink.string(declared.config_hash);
  sink.raw(R"(,"type":)");
  sink.string(declared.type);
  sink.raw(close);
  return sink;
}

/// Describes the "observed" object of an observation document; `observed.pressure` must be
/// finite.
template <typename Sink>
[[nodiscard, gnu::always_inline]] inline Sink emitObserved(Sink sink, const ObservedState& observed,
                                                           std::string_view open,
                                                           std::string_view close) {
  sink.raw(open);
  sink = emitStringMap(sink, observed.attributes);
  sink.raw(R"(,"health":")");
  sink.name(observed.health);
  sink.raw(R"(","last_observed_ns":)");
  sink.decimal(observed.last_observed_ns);
  sink.raw(R"(,"lifecycle":")");
  sink.name(observed.lifecycle);
  sink.raw(R"(","pressure":)");
  sink.number(observed.pressure);
  sink.raw(observed.ready ? R"(,"ready":true)" : R"(,"ready":false)");
  sink.raw(close);
  return sink;
}

/// Describes the "planned" object of an observation document.
template <typename Sink>
[[nodiscard, gnu::always_inline]] inline Sink emitPlanned(Sink sink, const PlannedState& planned,
                                                          std::string_view open,
                                                          std::string_view close) {
  sink.raw(open);
  sink = emitStringMap(sink, planned.attributes);
  sink.raw(R"(,"device_id":)");
  sink = emitOptionalString(sink, planned.device_id);
  sink.raw(R"(,"host_id":)");
  sink = emitOptionalString(sink, planned.host_id);
  sink.raw(R"(,"placement_hash":)");
  sink.string(planned.placement_hash);
  sink.raw(close);
  return sink;
}

/// Describes the document of a valid `observation`; being valid, its pressure is finite and its
/// text never fails. Members stand in ascending key order here, fixed in the code: nothing is
/// sorted at write time. The constant text between two values is one fragment, and so is the
/// schema: a valid record holds kObservationSchema, whose string needs no escape.
template <typename Sink>
[[nodiscard]] Sink emitObservationDocument(Sink sink, const Observation& observation) {
  if (const auto& declared = observation.declared) {
    sink = emitDeclared(sink, *declared, R"({"declared":{"attributes":)", R"(},"entity":{"id":)");
  } else {
    sink.raw(R"({"declared":null,"entity":{"id":)");
  }
  sink.string(observation.entity.id);
  sink.raw(R"(,"kind":")");
  sink.name(observation.entity.kind);
  sink.raw(R"(","parent":)");
  sink = emitOptionalString(sink, observation.entity.parent);
  sink.raw(R"(},"epoch":)");
  sink.decimal(observation.epoch);
  sink.raw(R"(,"extensions":)");
  sink = emitStringMap(sink, observation.extensions);
  sink.raw(R"(,"logical_time":)");
  sink.decimal(observation.logical_time);
  if (const auto& observed = observation.observed) {
    sink = emitObserved(sink, *observed, R"(,"observed":{"attributes":)", R"(},"observed_at_ns":)");
  } else {
    sink.raw(R"(,"observed":null,"observed_at_ns":)");
  }
  sink.decimal(observation.observed_at_ns);
  if (const auto& planned = observation.planned) {
    sink = emitPlanned(sink, *planned, R"(,"planned":{"attributes":)", kPlannedSchemaSequence);
  } else {
    sink.raw(kNullPlannedSchemaSequence);
  }
  sink.decimal(observation.sequence);
  sink.raw(R"(,"system_id":)");
  sink.string(observation.system_id);
  sink.raw("}");
  return sink;
}

/// Describes one subject object of the runtime-state document; its observation, if any, must be
/// valid.
template <typename Sink>
[[nodiscard]] Sink emitSubject(Sink sink, const SubjectResult& subject) {
  sink.raw(R"({"diagnostic":)");
  sink.string(subject.diagnostic);
  sink.raw(R"(,"id":)");
  sink.string(subject.id);
  sink.raw(R"(,"observation":)");
  if (subject.observation) {
    sink = emitObservationDocument(sink, *subject.observation);
  } else {
    sink.raw("null");
  }
  sink.raw(R"(,"status":")");
  sink.name(subject.status);
  sink.raw(R"("})");
  return sink;
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP
