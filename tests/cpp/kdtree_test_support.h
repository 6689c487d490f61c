// Shared helpers of the spatial-index tests: point generators, a brute-force
// oracle and a sink that records diagnostic events.

#ifndef QUORVEL_TESTS_CPP_KDTREE_TEST_SUPPORT_H_
#define QUORVEL_TESTS_CPP_KDTREE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "kdtree/diagnostics.h"
#include "kdtree/kdtree.h"

namespace quorvel::kdtree::test_support {

// Unit vector of a position in degrees.
inline Point unit_vector(double lat_degrees, double lon_degrees) {
  const double lat = lat_degrees * (M_PI / 180.0);
  const double lon = lon_degrees * (M_PI / 180.0);
  return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon),
          std::sin(lat)};
}

// Squared distance, summed in the same order as the tree's leaf scan.
inline double squared_distance(const Point& a, const Point& b) {
  const double d0 = a[0] - b[0];
  const double d1 = a[1] - b[1];
  const double d2 = a[2] - b[2];
  return (d0 * d0 + d1 * d1) + d2 * d2;
}

// Nearest point by exhaustive search; the lowest item wins on equal distance.
inline NearestResult brute_force_nearest(const std::vector<Point>& points,
                                         const Point& query) {
  NearestResult best{std::numeric_limits<double>::max(), 0};
  for (std::size_t i = 0; i < points.size(); ++i) {
    const double d = squared_distance(points[i], query);
    if (d < best.distance) best = {d, static_cast<std::uint32_t>(i)};
  }
  return best;
}

// Checks the tree's answer against brute force. The items must match, except
// that between two distinct points at exactly the same distance either may
// win; among identical points only the lowest item is right.
inline void expect_matches_brute_force(const ImmutableKdTree& tree,
                                       const std::vector<Point>& points,
                                       const Point& query) {
  const NearestResult expected = brute_force_nearest(points, query);
  const QueryOutcome got = tree.nearest_one(query);
  ASSERT_EQ(got.status, QueryStatus::kOk);
  ASSERT_EQ(got.result.distance, expected.distance)
      << "query (" << query[0] << ", " << query[1] << ", " << query[2] << ")";
  if (got.result.item != expected.item) {
    ASSERT_LT(got.result.item, points.size());
    EXPECT_NE(points[got.result.item], points[expected.item])
        << "among identical points item " << got.result.item
        << " won over the lower item " << expected.item;
  }
}

// A random position on the globe, uniform by area.
inline Point random_on_sphere(std::mt19937_64& rng) {
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  std::uniform_real_distribution<double> lon(-180.0, 180.0);
  return unit_vector(std::asin(unit(rng)) * 180.0 / M_PI, lon(rng));
}

inline std::vector<Point> uniform_points(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<Point> points(n);
  for (Point& p : points) p = random_on_sphere(rng);
  return points;
}

// City-like data: dense clusters of a few kilometres around random centres.
inline std::vector<Point> clustered_points(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-60.0, 70.0);
  std::uniform_real_distribution<double> lon(-180.0, 180.0);
  std::normal_distribution<double> spread(0.0, 0.05);
  std::vector<std::pair<double, double>> centres(
      std::max<std::size_t>(1, n / 200));
  for (auto& c : centres) c = {lat(rng), lon(rng)};
  std::uniform_int_distribution<std::size_t> pick(0, centres.size() - 1);
  std::vector<Point> points(n);
  for (Point& p : points) {
    const auto& c = centres[pick(rng)];
    p = unit_vector(c.first + spread(rng), c.second + spread(rng));
  }
  return points;
}

// Records every diagnostic event as text while alive.
class EventRecorder {
 public:
  EventRecorder() {
    set_diagnostic_sink([this](const DiagnosticEvent& event) {
      if (event.kind == DiagnosticKind::kEvent)
        texts_.push_back(to_string(event));
    });
  }
  ~EventRecorder() { set_diagnostic_sink(nullptr); }
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;

  const std::vector<std::string>& texts() const { return texts_; }
  bool saw(const std::string& text) const {
    for (const auto& t : texts_) {
      if (t == text) return true;
    }
    return false;
  }
  bool saw_prefix(const std::string& prefix) const {
    for (const auto& t : texts_) {
      if (t.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }

 private:
  std::vector<std::string> texts_;
};

// A copy of a tree's fields, to damage or edit before from_parts.
inline TreeParts parts_of(const ImmutableKdTree& tree) {
  return {tree.leaves(), tree.stems(), tree.size()};
}

// The tree of `parts`, which a test knows to be valid.
inline ImmutableKdTree tree_of(TreeParts parts) {
  Result<ImmutableKdTree> tree = ImmutableKdTree::from_parts(
      std::move(parts.leaves), std::move(parts.stems), parts.size);
  if (!tree.ok()) {
    ADD_FAILURE() << "from_parts refused: " << tree.error().message();
    std::abort();
  }
  return std::move(tree).value();
}

// The message from_parts refuses `parts` with, or "accepted".
inline std::string refusal(TreeParts parts) {
  Result<ImmutableKdTree> tree = ImmutableKdTree::from_parts(
      std::move(parts.leaves), std::move(parts.stems), parts.size);
  return tree.ok() ? "accepted" : tree.error().message();
}

}  // namespace quorvel::kdtree::test_support

#endif  // QUORVEL_TESTS_CPP_KDTREE_TEST_SUPPORT_H_
