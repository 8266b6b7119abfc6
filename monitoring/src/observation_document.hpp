// The observation document as one description over a sink (see json_text.hpp), shared by the
// observation writer and the runtime-state writer, which embeds it unchanged.
#ifndef QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP
#define QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP

#include <quillon/monitoring/observation.hpp>

#include "json_text.hpp"

namespace Quillon::Core::Monitoring::detail {

/// Returns the pressure text of a record's observed section; empty when there is none. The
/// record must be valid, so the pressure is finite and this never throws.
[[nodiscard]] inline NumberText pressureText(const Observation& observation) {
  return observation.observed ? formatDouble(observation.observed->pressure) : NumberText{};
}

template <typename Sink>
void emitOptionalString(Sink& sink, const std::optional<std::string>& text) {
  if (text) {
    sink.string(*text);
  } else {
    sink.raw("null");
  }
}

/// Describes the document of a valid `observation` whose pressure text is `pressure`. Members
/// stand in ascending key order here, fixed in the code: nothing is sorted at write time.
template <typename Sink>
void emitObservationDocument(Sink& sink, const Observation& observation,
                             const NumberText& pressure) {
  sink.raw(R"({"declared":)");
  if (const auto& declared = observation.declared) {
    sink.raw(R"({"attributes":)");
    emitStringMap(sink, declared->attributes);
    sink.raw(R"(,"config_hash":)");
    sink.string(declared->config_hash);
    sink.raw(R"(,"type":)");
    sink.string(declared->type);
    sink.raw("}");
  } else {
    sink.raw("null");
  }
  sink.raw(R"(,"entity":{"id":)");
  sink.string(observation.entity.id);
  sink.raw(R"(,"kind":)");
  sink.quoted(toString(observation.entity.kind));
  sink.raw(R"(,"parent":)");
  emitOptionalString(sink, observation.entity.parent);
  sink.raw(R"(},"epoch":)");
  sink.decimal(observation.epoch);
  sink.raw(R"(,"extensions":)");
  emitStringMap(sink, observation.extensions);
  sink.raw(R"(,"logical_time":)");
  sink.decimal(observation.logical_time);
  sink.raw(R"(,"observed":)");
  if (const auto& observed = observation.observed) {
    sink.raw(R"({"attributes":)");
    emitStringMap(sink, observed->attributes);
    sink.raw(R"(,"health":)");
    sink.quoted(toString(observed->health));
    sink.raw(R"(,"last_observed_ns":)");
    sink.decimal(observed->last_observed_ns);
    sink.raw(R"(,"lifecycle":)");
    sink.quoted(toString(observed->lifecycle));
    sink.raw(R"(,"pressure":)");
    sink.raw(pressure.view());
    sink.raw(observed->ready ? R"(,"ready":true})" : R"(,"ready":false})");
  } else {
    sink.raw("null");
  }
  sink.raw(R"(,"observed_at_ns":)");
  sink.decimal(observation.observed_at_ns);
  sink.raw(R"(,"planned":)");
  if (const auto& planned = observation.planned) {
    sink.raw(R"({"attributes":)");
    emitStringMap(sink, planned->attributes);
    sink.raw(R"(,"device_id":)");
    emitOptionalString(sink, planned->device_id);
    sink.raw(R"(,"host_id":)");
    emitOptionalString(sink, planned->host_id);
    sink.raw(R"(,"placement_hash":)");
    sink.string(planned->placement_hash);
    sink.raw("}");
  } else {
    sink.raw("null");
  }
  sink.raw(R"(,"schema":)");
  sink.string(observation.schema);
  sink.raw(R"(,"sequence":)");
  sink.decimal(observation.sequence);
  sink.raw(R"(,"system_id":)");
  sink.string(observation.system_id);
  sink.raw("}");
}

}  // namespace Quillon::Core::Monitoring::detail

#endif  // QUILLON_MONITORING_SRC_OBSERVATION_DOCUMENT_HPP
