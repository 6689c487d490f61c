// Stopping a tree's build: a StopCheck that says stop ends it with
// interrupted(), and one that never does gives the tree of the plain build.

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "base/interrupt.h"
#include "kdtree/kdtree.h"
#include "kdtree_test_support.h"

namespace quorvel::kdtree {
namespace {

void expect_same_tree(const ImmutableKdTree& a, const ImmutableKdTree& b) {
  const TreeParts pa = test_support::parts_of(a);
  const TreeParts pb = test_support::parts_of(b);
  EXPECT_EQ(pa.size, pb.size);
  EXPECT_EQ(pa.stems, pb.stems);
  ASSERT_EQ(pa.leaves.size(), pb.leaves.size());
  for (std::size_t l = 0; l < pa.leaves.size(); ++l) {
    ASSERT_EQ(pa.leaves[l].size, pb.leaves[l].size) << "leaf " << l;
    for (std::size_t s = 0; s < pa.leaves[l].size; ++s) {
      EXPECT_EQ(pa.leaves[l].content_items[s], pb.leaves[l].content_items[s]);
    }
  }
}

TEST(KdTreeStop, AStoppedCheckEndsTheBuild) {
  StopCheck stop([] { return true; });
  ASSERT_TRUE(stop.check_now());
  Result<ImmutableKdTree> tree = ImmutableKdTree::new_from_slice(
      test_support::uniform_points(10'000, 7), stop);
  ASSERT_FALSE(tree.ok());
  EXPECT_TRUE(is_interrupted(tree.error()));
}

TEST(KdTreeStop, ACheckThatSaysStopDuringTheBuildEndsIt) {
  // Large enough that the build outlasts one check interval, so the check
  // is asked while the build is under way.
  const std::vector<Point> points = test_support::uniform_points(2'000'000, 9);
  std::atomic<int> asked{0};
  StopCheck stop([&] {
    ++asked;
    return true;
  });
  Result<ImmutableKdTree> tree = ImmutableKdTree::new_from_slice(points, stop);
  ASSERT_FALSE(tree.ok());
  EXPECT_TRUE(is_interrupted(tree.error()));
  EXPECT_EQ(asked.load(), 1);
}

TEST(KdTreeStop, ACheckThatNeverStopsBuildsThePlainTree) {
  for (const std::vector<Point>& points :
       {test_support::uniform_points(50'000, 11),
        std::vector<Point>(100, Point{0.6, 0.8, 0.0})}) {
    StopCheck never([] { return false; });
    Result<ImmutableKdTree> tree =
        ImmutableKdTree::new_from_slice(points, never);
    ASSERT_TRUE(tree.ok());
    expect_same_tree(tree.value(), ImmutableKdTree::new_from_slice(points));
  }
}

}  // namespace
}  // namespace quorvel::kdtree
