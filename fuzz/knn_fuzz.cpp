// The k-nearest, within-radius and count searches against brute force on
// small point sets drawn from a coarse grid, so that duplicates, ties and
// points on split planes are the rule; and the kilometre bounds of a limit
// against the conversion they stand for.
//
// Every answer must equal the brute-force scan over the tree's stored
// entries (a build may keep a group of identical points once): the same
// items in the order (squared distance, item), limits and radii inclusive.
//
// Input layout: byte 0 picks the grid (1 to 16 values per axis), byte 1 k
// (1 to 48), bytes 2 and 3 the limit and the radius (as a fraction of the
// largest distance, or one of the distances themselves, so that ties at the
// limit are common), bytes 4 to 11 a limit in kilometres; then three bytes
// per point. Queries are a sample of the points, each also nudged by a
// fraction of a grid step.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fuzz_check.h"
#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "kdtree/kdtree.h"
#include "kdtree/knn_search.h"

namespace {

using quorvel::kdtree::ImmutableKdTree;
using quorvel::kdtree::LeafNode;
using quorvel::kdtree::NearestResult;
using quorvel::kdtree::Point;
using quorvel::kdtree::QueryStatus;

constexpr std::size_t kMaxPoints = 300;
constexpr std::size_t kHeader = 12;

double squared_distance(const Point& a, const Point& b) {
  const double d0 = a[0] - b[0];
  const double d1 = a[1] - b[1];
  const double d2 = a[2] - b[2];
  return (d0 * d0 + d1 * d1) + d2 * d2;
}

bool before(const NearestResult& a, const NearestResult& b) {
  return a.distance < b.distance ||
         (a.distance == b.distance && a.item < b.item);
}

bool same(const NearestResult& a, const NearestResult& b) {
  return a.distance == b.distance && a.item == b.item;
}

// A distance picked by `selector`: one of the stored distances, or a
// fraction of the largest.
double pick_limit(const std::vector<NearestResult>& all,
                  std::uint8_t selector) {
  if (selector < 128) return all[selector % all.size()].distance;
  if (selector == 255) return std::numeric_limits<double>::infinity();
  return all.back().distance * (selector - 128) / 126.0;
}

void check_query(const ImmutableKdTree& tree, const Point& query,
                 const std::uint8_t* header) {
  std::vector<NearestResult> all;
  for (const LeafNode& leaf : tree.leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const Point p{leaf.content_points[0][s], leaf.content_points[1][s],
                    leaf.content_points[2][s]};
      all.push_back({squared_distance(p, query), leaf.content_items[s]});
    }
  }
  std::sort(all.begin(), all.end(), before);

  const std::size_t k = 1 + header[1] % 48;
  const double limit = pick_limit(all, header[2]);
  std::vector<NearestResult> out(k);
  const auto found = quorvel::kdtree::nearest_k(tree, query, limit, out);
  FUZZ_CHECK(found.status == QueryStatus::kOk);
  std::size_t want = 0;
  while (want < all.size() && want < k && all[want].distance <= limit) ++want;
  FUZZ_CHECK(found.count == want);
  for (std::size_t i = 0; i < want; ++i) FUZZ_CHECK(same(out[i], all[i]));

  const double radius = pick_limit(all, header[3]);
  std::vector<NearestResult> inside;
  FUZZ_CHECK(quorvel::kdtree::append_within(tree, query, radius, inside) ==
             QueryStatus::kOk);
  std::sort(inside.begin(), inside.end(), before);
  std::size_t within = 0;
  while (within < all.size() && all[within].distance <= radius) ++within;
  FUZZ_CHECK(inside.size() == within);
  for (std::size_t i = 0; i < within; ++i) FUZZ_CHECK(same(inside[i], all[i]));

  // A count with a band between the limit and the radius.
  const double sure = std::min(limit, radius);
  const double maybe = std::max(limit, radius);
  std::vector<NearestResult> band;
  const auto counted =
      quorvel::kdtree::count_within(tree, query, {sure, maybe}, band);
  FUZZ_CHECK(counted.status == QueryStatus::kOk);
  std::size_t want_sure = 0;
  std::size_t want_band = 0;
  for (const NearestResult& r : all) {
    want_sure += r.distance <= sure;
    want_band += r.distance > sure && r.distance <= maybe;
  }
  FUZZ_CHECK(counted.count == want_sure);
  FUZZ_CHECK(band.size() == want_band);
  for (const NearestResult& r : band) {
    FUZZ_CHECK(r.distance > sure && r.distance <= maybe);
  }
}

// The bounds of a kilometre limit bracket it: every squared chord up to
// `sure` converts to at most the limit, the next one above `maybe` to more.
void check_km_bounds(const std::uint8_t* bytes) {
  double km;
  std::memcpy(&km, bytes, sizeof km);
  km = std::fabs(km);
  if (std::isnan(km)) return;
  const quorvel::ChordBounds b = quorvel::chord_bounds_for_km(km);
  FUZZ_CHECK(b.sure <= b.maybe);
  if (std::isinf(b.maybe)) {
    FUZZ_CHECK(km >= quorvel::chord_to_km(4.0));
    return;
  }
  FUZZ_CHECK(quorvel::chord_to_km(b.sure) <= km);
  const double above = std::nextafter(b.maybe, 5.0);
  FUZZ_CHECK(quorvel::chord_to_km(above) > km);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < kHeader) return 0;
  check_km_bounds(data + 4);
  const unsigned grid = 1 + data[0] % 16;
  std::vector<Point> points;
  for (std::size_t i = kHeader; i + 3 <= size && points.size() < kMaxPoints;
       i += 3) {
    points.push_back({static_cast<double>(data[i] % grid),
                      static_cast<double>(data[i + 1] % grid),
                      static_cast<double>(data[i + 2] % grid)});
  }
  const ImmutableKdTree tree = ImmutableKdTree::new_from_slice(points);
  if (points.empty()) {
    std::vector<NearestResult> out(2);
    FUZZ_CHECK(quorvel::kdtree::nearest_k(tree, {0, 0, 0}, 1.0, out).status ==
               QueryStatus::kNoPoints);
    return 0;
  }
  // Brute force costs n per query: a sample of at most 32 stored points,
  // each also nudged off the grid, keeps the target fast.
  const std::size_t stride = points.size() / 32 + 1;
  for (std::size_t i = 0; i < points.size(); i += stride) {
    check_query(tree, points[i], data);
    const double nudge =
        (static_cast<double>(data[kHeader + (i * 7) % (size - kHeader)]) -
         127.5) /
        64.0;
    check_query(tree,
                {points[i][0] + nudge, points[i][1] - nudge / 2,
                 points[i][2] + nudge / 3},
                data);
  }
  return 0;
}
