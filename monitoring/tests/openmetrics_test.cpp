// toOpenMetrics: the documentation's worked snapshot as literal text, and what it does with
// snapshots capture never makes. Real consumers read many more in check_expositions.py.
#include <quillon/monitoring/openmetrics.hpp>
#include <quillon/monitoring/reader.hpp>

#include <gtest/gtest.h>

#include <string>

#include "example_records.hpp"

namespace Quillon::Core::Monitoring {
namespace {

RuntimeStateSnapshot worked() {
  return readRuntimeState(testing::readerSeed("partial_snapshot"));
}

TEST(OpenMetrics, WritesTheWorkedSnapshot) {
  EXPECT_EQ(
      R"(# HELP quillon_snapshot_complete 1 when every subject of the snapshot was captured, else 0.
# TYPE quillon_snapshot_complete gauge
quillon_snapshot_complete{system_id="lab"} 0
# HELP quillon_snapshot_epoch Epoch of the system state that the snapshot describes.
# TYPE quillon_snapshot_epoch gauge
quillon_snapshot_epoch{system_id="lab"} 1
# HELP quillon_snapshot_barrier_sequence Sequence number of the barrier at which the snapshot was captured.
# TYPE quillon_snapshot_barrier_sequence gauge
quillon_snapshot_barrier_sequence{system_id="lab"} 3
# HELP quillon_snapshot_subjects Number of subjects in each status.
# TYPE quillon_snapshot_subjects gauge
quillon_snapshot_subjects{system_id="lab",status="captured"} 1
quillon_snapshot_subjects{system_id="lab",status="missing"} 1
quillon_snapshot_subjects{system_id="lab",status="unsupported"} 0
quillon_snapshot_subjects{system_id="lab",status="stale_epoch"} 0
quillon_snapshot_subjects{system_id="lab",status="deadline_exceeded"} 0
quillon_snapshot_subjects{system_id="lab",status="invalid"} 0
# HELP quillon_subject_status 1 for the status of the subject in the snapshot, 0 for the other statuses.
# TYPE quillon_subject_status gauge
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="captured"} 0
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="missing"} 1
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="unsupported"} 0
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="stale_epoch"} 0
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="deadline_exceeded"} 0
quillon_subject_status{system_id="lab",subject="device:host/gpu-0",status="invalid"} 0
quillon_subject_status{system_id="lab",subject="system:lab",status="captured"} 1
quillon_subject_status{system_id="lab",subject="system:lab",status="missing"} 0
quillon_subject_status{system_id="lab",subject="system:lab",status="unsupported"} 0
quillon_subject_status{system_id="lab",subject="system:lab",status="stale_epoch"} 0
quillon_subject_status{system_id="lab",subject="system:lab",status="deadline_exceeded"} 0
quillon_subject_status{system_id="lab",subject="system:lab",status="invalid"} 0
# EOF
)",
      toOpenMetrics(worked()));
}

TEST(OpenMetrics, ShowsNothingAmbiguousOrInvalid) {
  RuntimeStateSnapshot snapshot = worked();
  snapshot.subjects.push_back(
      {"engine:gpu-0/transformer", SubjectStatus::captured, "", testing::engineExample()});
  snapshot.subjects.back().observation->observed->pressure = 2;
  EXPECT_EQ(std::string::npos, toOpenMetrics(snapshot).find("quillon_entity"));

  // Out of order, with an id held twice: by ascending id, the twice-held id left out, every
  // subject counted.
  snapshot.subjects.push_back(snapshot.subjects[1]);
  snapshot.subjects.back().status = SubjectStatus::invalid;
  const std::string text = toOpenMetrics(snapshot);
  EXPECT_NE(std::string::npos, text.find(R"(status="captured"} 2)"));
  EXPECT_NE(std::string::npos, text.find(R"(status="invalid"} 1)"));
  EXPECT_EQ(std::string::npos, text.find("subject=\"system"));
  EXPECT_LT(text.find("subject=\"device"), text.find("subject=\"engine"));
}

}  // namespace
}  // namespace Quillon::Core::Monitoring
