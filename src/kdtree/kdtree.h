// ImmutableKdTree: a bucketed k-d tree over 3-D points with 32-bit items.
//
// Layout (fixed; the saved-geocoder file writes these fields in this order):
//   leaves: the buckets, each holding up to 32 points, dimension-major.
//   stems:  split values in heap order. Slot 0 is unused; node k has children
//           2k and 2k+1. Node k is a stem while k < stems.size(), otherwise it
//           is leaf k - stems.size(). Depth t splits on dimension t % 3. A
//           coordinate equal to the split value belongs to the right side.
//   size:   number of points stored (the sum of the leaves' sizes).
//
// The tree is built once (new_from_slice) or read once from a file and never
// changed afterwards. Queries only read it, so any number of threads may query
// one tree concurrently.
//
// Besides the saved fields the tree keeps one derived cache, never saved: the
// bounds of the points under every leaf and stem, which let a query skip
// leaves and subtrees that cannot hold a closer point. new_from_slice fills it; code that fills or changes the
// public fields itself calls prepare() afterwards. A tree without the cache
// answers the same, only slower.

#ifndef QUORVEL_KDTREE_KDTREE_H_
#define QUORVEL_KDTREE_KDTREE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quorvel::kdtree {

inline constexpr std::size_t kDimensions = 3;
inline constexpr std::size_t kBucketSize = 32;

using Point = std::array<double, kDimensions>;

// One bucket. Slots [0, size) hold points in insertion order; the slots above
// `size` stay zero (coordinates 0.0, item 0) for the life of the tree and never
// take part in a query.
struct LeafNode {
  // content_points[d][s] is coordinate d of slot s: one coordinate of all 32
  // slots lies contiguously, so a leaf scan computes distances row by row.
  std::array<std::array<double, kBucketSize>, kDimensions> content_points{};
  std::array<std::uint32_t, kBucketSize> content_items{};
  std::size_t size = 0;
};

// Result of a nearest-point query: squared Euclidean distance and item.
struct NearestResult {
  double distance;
  std::uint32_t item;
};

// Why a query produced no result.
enum class QueryStatus : std::uint8_t {
  kOk,
  kNoPoints,        // The tree stores no point.
  kQueryNotFinite,  // A query coordinate is NaN or infinite.
  kCorruptTree,     // The tree's arrays disagree (possible only for a tree
                    // read from a damaged file); nothing outside them is read.
};

struct QueryOutcome {
  NearestResult result;
  QueryStatus status;
};

// Statistics of a built tree, produced for diagnostics only.
struct TreeStats {
  std::size_t size = 0;
  std::size_t capacity = 0;
  std::size_t stem_count = 0;
  std::size_t leaf_count = 0;
  std::array<std::size_t, kBucketSize + 1> leaf_fill_counts{};
  float leaf_fill_ratio = 0.0f;
  float stem_fill_ratio = 0.0f;
  std::size_t unused_stem_count = 0;

  // "TreeStats { size: .., capacity: .., ... }" with every field in order.
  std::string to_string() const;
};

// Bounds of the points under a node, rounded outward to float to keep the
// cache small: lo[d] <= every coordinate d <= hi[d]. A leaf that a query must
// report as corrupt (a NaN coordinate, too many slots, missing) gets infinite
// bounds, and so does every stem above it, so that no query skips it.
struct NodeBounds {
  std::array<float, kDimensions> lo;
  std::array<float, kDimensions> hi;
};

class ImmutableKdTree {
 public:
  std::vector<LeafNode> leaves;
  std::vector<double> stems;
  std::size_t size = 0;

  // Builds a tree over `points`; point i carries item i. Never fails for
  // points with finite coordinates; NaN coordinates never crash or hang it.
  // REQUIRES: points.size() < 2^32.
  static ImmutableKdTree new_from_slice(std::span<const Point> points);

  // The stored point nearest to `query` by squared Euclidean distance. Among
  // equal distances the first found wins: the closer side of every stem is
  // visited first and, inside a leaf, the lower slot.
  QueryOutcome nearest_one(const Point& query) const;

  // Leaf and stem statistics (diagnostics).
  TreeStats generate_stats() const;

  // Derives the cache of node bounds from `leaves` and `stems`.
  // new_from_slice calls it;
  // call it after filling or changing the public fields by hand, since a
  // stale cache may skip leaves that now hold closer points.
  void prepare();

 private:
  // One entry per leaf when prepared, otherwise empty (queries then scan
  // every leaf they reach).
  std::vector<NodeBounds> leaf_bounds_;
  // Entry k bounds stem node k's subtree; empty when not prepared or when the
  // stem slots far outnumber the leaves (a degenerate tree read from a file,
  // where the cache would cost more than it saves).
  std::vector<NodeBounds> stem_bounds_;
};

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_KDTREE_H_
