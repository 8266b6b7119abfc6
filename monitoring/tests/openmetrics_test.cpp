// toOpenMetrics: the documentation's example scrape byte for byte, and what it does with snapshots
// capture never makes. Real consumers read many more in check_expositions.py.
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

TEST(OpenMetrics, WritesTheDocumentedScrape) {
  // The example in docs/metrics.md: the worked snapshot at epoch 4, barrier 9, the engine captured.
  RuntimeStateSnapshot snapshot = worked();
  snapshot.epoch = 4;
  snapshot.barrier_sequence = 9;
  snapshot.subjects[1] = {"engine:gpu-0/transformer", SubjectStatus::captured, "",
                          testing::engineExample()};
  const std::string page = testing::sourceFile("docs/metrics.md");
  const std::size_t start = page.find("```\n", page.find("## Example scrape")) + 4;
  EXPECT_EQ(page.substr(start, page.find("```", start) - start), toOpenMetrics(snapshot));
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
