// Writes, for each snapshot of a representative set, its runtime-state document as NAME.json and
// its exposition as NAME.prom into the directory given as the only argument, for
// check_expositions.py: the documentation's snapshots, every status, every health and lifecycle,
// names outside their tables, and ids that no label value can carry as they are.
#include <algorithm>
#include <exception>
#include <fstream>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/snapshot.hpp>

#include "example_records.hpp"

namespace {

namespace qm = Quillon::Core::Monitoring;
using qm::testing::engineExample;
using qm::testing::systemExample;

qm::RuntimeStateSnapshot snapshotOf(std::string systemId, std::vector<qm::SubjectResult> subjects) {
  qm::RuntimeStateSnapshot snapshot;
  snapshot.system_id = std::move(systemId);
  snapshot.epoch = 4;
  snapshot.barrier_sequence = 9;
  std::sort(subjects.begin(), subjects.end(),
            [](const auto& left, const auto& right) { return left.id < right.id; });
  snapshot.status =
      std::all_of(subjects.begin(), subjects.end(),
                  [](const auto& subject) { return subject.status == qm::SubjectStatus::captured; })
          ? qm::SnapshotStatus::complete
          : qm::SnapshotStatus::partial;
  snapshot.subjects = std::move(subjects);
  return snapshot;
}

qm::SubjectResult captured(qm::Observation observation) {
  return {observation.entity.subjectKey(), qm::SubjectStatus::captured, "", std::move(observation)};
}

qm::SubjectResult failed(std::string id, qm::SubjectStatus status) {
  return {std::move(id), status, "probe returned no observation", std::nullopt};
}

/// An engine in `health` and `lifecycle`, named after its position.
qm::Observation engineIn(int at, qm::HealthState health, qm::LifecycleState lifecycle) {
  qm::Observation record = engineExample(0.125 * at);
  record.entity.id += std::to_string(at);
  record.observed->health = health;
  record.observed->lifecycle = lifecycle;
  record.observed->ready = at % 2 == 0;
  return record;
}

std::vector<std::pair<std::string, qm::RuntimeStateSnapshot>> cases() {
  std::vector<std::pair<std::string, qm::RuntimeStateSnapshot>> all;
  qm::RuntimeStateSnapshot worked = snapshotOf(
      "lab", {failed("device:host/gpu-0", qm::SubjectStatus::missing), captured(systemExample())});
  worked.epoch = 1;
  worked.barrier_sequence = 3;
  all.emplace_back("worked", std::move(worked));
  all.emplace_back("engine", snapshotOf("lab", {captured(engineExample())}));
  all.emplace_back("empty", snapshotOf("lab", {}));

  std::vector<qm::SubjectResult> every;
  for (int at = 0; at < 9; ++at) {
    every.push_back(captured(engineIn(at, static_cast<qm::HealthState>(at % 5),
                                      static_cast<qm::LifecycleState>(at == 8 ? 100 : at))));
  }
  every.back().observation->entity.kind = static_cast<qm::EntityKind>(12);
  every.back().observation->observed->pressure = -0.0;
  every.back().id = every.back().observation->entity.subjectKey();
  for (const auto status :
       {qm::SubjectStatus::missing, qm::SubjectStatus::unsupported, qm::SubjectStatus::stale_epoch,
        qm::SubjectStatus::deadline_exceeded, qm::SubjectStatus::invalid}) {
    every.push_back(failed("host:lab/" + std::string(qm::toString(status)), status));
  }
  all.emplace_back("every_status", snapshotOf("lab", std::move(every)));

  // Label values that must be escaped or encoded, and pairs a careless encoding would merge.
  std::vector<qm::SubjectResult> hostile;
  for (const std::string& id : std::vector<std::string>{
           "quote\"", "back\\slash", "line\nfeed", "cr\rtab\t", std::string("nul\0", 4), "del\x7F",
           "percent%", "%41", "A", "\xFF", "%FF", "lone\xC3", "overlong\xC0\xAF",
           "surrogate\xED\xA0\x80", "past\xF4\x90\x80\x80", "caf\xC3\xA9", "emoji\xF0\x9F\x98\x80",
           "c1\xC2\x85", "cut\xE2\x82"}) {
    hostile.push_back(failed(id, qm::SubjectStatus::missing));
  }
  qm::Observation tilde = engineExample();
  tilde.entity.parent = "\xFE~gpu\"";
  tilde.system_id = "lab\xFF%\"";
  hostile.push_back(captured(tilde));
  all.emplace_back("hostile", snapshotOf("lab\xFF%\"", std::move(hostile)));
  return all;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: write_expositions DIRECTORY\n";
    return 2;
  }
  try {
    for (const auto& [name, snapshot] : cases()) {
      const std::string base = std::string(argv[1]) + "/" + name;
      std::ofstream(base + ".json", std::ios::binary) << snapshot.toCanonicalJson();
      std::ofstream prom(base + ".prom", std::ios::binary);
      prom << qm::toOpenMetrics(snapshot);
      if (!prom) throw std::runtime_error("cannot write " + base + ".prom");
    }
  } catch (const std::exception& error) {
    std::cerr << "write_expositions: " << error.what() << '\n';
    return 1;
  }
  return 0;
}
