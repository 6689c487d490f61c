// The build's diagnostic events and the statistics record.

#include <gtest/gtest.h>

#include <vector>

#include "kdtree/diagnostics.h"
#include "kdtree/kdtree.h"
#include "kdtree_test_support.h"

namespace quorvel::kdtree {
namespace {

TEST(KdTreeDiagnostics, OverflowReportsTheLeafThePointAndTheStats) {
  const std::vector<Point> points(33, Point{0.5, -0.25, 1.0});
  test_support::EventRecorder events;
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  EXPECT_TRUE(events.saw("Overflowing add to leaf #1. item=[0.5, -0.25, 1.0]"));
  // Leaf 1 is full and leaf 0 empty when the 33rd point arrives; the root
  // holds a split, so no stem is unused.
  EXPECT_TRUE(events.saw(
      "Tree Stats: TreeStats { size: 32, capacity: 64, stem_count: 2, "
      "leaf_count: 2, leaf_fill_counts: [1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
      "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1], "
      "leaf_fill_ratio: 0.5, stem_fill_ratio: 1.0, unused_stem_count: 0 }"))
      << ::testing::PrintToString(events.texts());
  EXPECT_EQ(tree.size(), 1u);
}

TEST(KdTreeDiagnostics, PlanningEventsCarryTheirFields) {
  test_support::EventRecorder events;
  // 33 distinct points: an odd chunk at the root takes the unusual route.
  (void)ImmutableKdTree::new_from_slice(test_support::uniform_points(33, 1));
  EXPECT_TRUE(events.saw("calc_pivot: unusual route"));

  // Equal first coordinates around the root's pivot move it left, one event
  // per step, with the coordinates around the new position.
  std::vector<Point> points;
  for (int i = 0; i < 40; ++i) {
    points.push_back({i < 30 ? 1.0 : 2.0, static_cast<double>(i), 0.0});
  }
  (void)ImmutableKdTree::new_from_slice(points);
  EXPECT_TRUE(
      events.saw("pivot shifted pivot=31 chunk_len=40 "
                 "pivotN1_val=2 pivot0_val=2 pivot1_val=2"))
      << ::testing::PrintToString(events.texts());
  EXPECT_TRUE(
      events.saw("pivot shifted pivot=30 chunk_len=40 "
                 "pivotN1_val=1 pivot0_val=2 pivot1_val=2"));
}

TEST(KdTreeDiagnostics, OptSpansNestAroundEveryPlannedStem) {
  std::vector<std::pair<DiagnosticKind, std::uint64_t>> spans;
  set_diagnostic_sink([&spans](const DiagnosticEvent& event) {
    if (event.kind != DiagnosticKind::kEvent && event.message == "opt") {
      spans.emplace_back(event.kind,
                         std::get<std::uint64_t>(event.fields[0].value));
    }
  });
  (void)ImmutableKdTree::new_from_slice(test_support::uniform_points(100, 3));
  set_diagnostic_sink(nullptr);
  // 100 points, 4 leaves: root 1 plans both children 2 and 3.
  using K = DiagnosticKind;
  EXPECT_EQ(spans,
            (std::vector<std::pair<K, std::uint64_t>>{{K::kSpanEnter, 1},
                                                      {K::kSpanEnter, 2},
                                                      {K::kSpanExit, 2},
                                                      {K::kSpanEnter, 3},
                                                      {K::kSpanExit, 3},
                                                      {K::kSpanExit, 1}}));
}

TEST(KdTreeDiagnostics, SinkLevelFiltersAndRemovalSilences) {
  std::vector<std::string> seen;
  set_diagnostic_sink(
      [&seen](const DiagnosticEvent& e) { seen.emplace_back(e.message); },
      DiagnosticLevel::kError);
  EXPECT_FALSE(diagnostic_enabled(DiagnosticLevel::kInfo));
  (void)ImmutableKdTree::new_from_slice(std::vector<Point>(33, Point{1, 1, 1}));
  set_diagnostic_sink(nullptr);
  ASSERT_FALSE(seen.empty());
  for (const auto& message : seen) {
    EXPECT_EQ(message.rfind("Overflowing add to leaf #", 0), 0u) << message;
  }
  EXPECT_FALSE(diagnostic_enabled(DiagnosticLevel::kError));
}

TEST(KdTreeDiagnostics, StatsOfTheEmptyTreeHaveUndefinedRatios) {
  const TreeStats stats = ImmutableKdTree::new_from_slice({}).generate_stats();
  EXPECT_EQ(stats.to_string(),
            "TreeStats { size: 0, capacity: 0, stem_count: 1, leaf_count: 0, "
            "leaf_fill_counts: [0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "
            "0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0], "
            "leaf_fill_ratio: NaN, stem_fill_ratio: NaN, unused_stem_count: 0 "
            "}");
}

}  // namespace
}  // namespace quorvel::kdtree
