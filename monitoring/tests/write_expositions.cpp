// Writes NAME.json (the runtime-state document) and NAME.prom (the exposition) of the documented,
// every-status and hostile-id snapshots into the given directory, for check_expositions.py.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <quillon/monitoring/openmetrics.hpp>

#include "example_records.hpp"

namespace {

namespace qm = Quillon::Core::Monitoring;

qm::SubjectResult captured(qm::Observation observation) {
  return {observation.entity.subjectKey(), qm::SubjectStatus::captured, "", observation};
}

void write(const std::string& base, std::string systemId, std::vector<qm::SubjectResult> subjects) {
  qm::RuntimeStateSnapshot snapshot;
  snapshot.system_id = std::move(systemId);
  snapshot.epoch = 4;
  snapshot.barrier_sequence = 9;
  std::sort(subjects.begin(), subjects.end(), [](auto& a, auto& b) { return a.id < b.id; });
  snapshot.subjects = std::move(subjects);
  std::ofstream(base + ".json", std::ios::binary) << snapshot.toCanonicalJson();
  std::ofstream(base + ".prom", std::ios::binary) << qm::toOpenMetrics(snapshot);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;  // usage: write_expositions DIRECTORY
  const std::string directory = std::string(argv[1]) + "/";
  const qm::SubjectResult missing{"device:host/gpu-0", qm::SubjectStatus::missing, "gone", {}};
  write(directory + "worked", "lab", {missing, captured(qm::testing::systemExample())});
  write(directory + "engine", "lab", {missing, captured(qm::testing::engineExample())});
  write(directory + "empty", "lab", {});

  std::vector<qm::SubjectResult> every;
  for (std::uint32_t at = 0; at < 10; ++at) {
    qm::Observation engine = qm::testing::engineExample(at / 10.0);
    engine.entity = {static_cast<qm::EntityKind>(at + 3), "e" + std::to_string(at), "gpu-0"};
    engine.observed->health = static_cast<qm::HealthState>(at % 5);
    engine.observed->lifecycle = static_cast<qm::LifecycleState>(at);
    engine.observed->ready = at % 2 == 0;
    every.push_back(captured(engine));
    if (at < 7)
      every.push_back({"s" + std::to_string(at), static_cast<qm::SubjectStatus>(at), "", {}});
  }
  write(directory + "every_status", "lab", every);

  // Label values to escape or encode, UTF-8 at the edges of each form, and lookalikes.
  std::vector<qm::SubjectResult> hostile;
  for (const std::string& id : std::vector<std::string>{
           "quote\"back\\slash\nline", std::string("cr\rtab\tnul\0del\x7F", 16), "%41", "A", "\xFF",
           "%FF", "lone\xC3", "caf\xC3\xA9",
           "valid\xC2\x80\xE0\xA0\x80\xED\x9F\xBF\xE2\x82\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF",
           "invalid\xC1\xBF\xE0\x9F\xBF\xED\xA0\x80\xF0\x8F\xBF\xBF\xF4\x90\x80\x80\xE2\x82("
           "\xE2\x82"}) {
    hostile.push_back({id, qm::SubjectStatus::missing, "", {}});
  }
  qm::Observation odd = qm::testing::engineExample();
  odd.system_id = "lab\xFF%\"";
  odd.entity.parent = "\xFE~gpu";
  hostile.push_back(captured(odd));
  write(directory + "hostile", odd.system_id, hostile);
  return 0;
}
