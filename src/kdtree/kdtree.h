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
// A tree exists only in a valid state: new_from_slice builds one, and
// from_parts checks fields that come from elsewhere (a saved file) before it
// lets them become a tree. Neither way in leaves a tree whose query could
// read outside its arrays, so the query does not check its own indices. The
// fields are read-only afterwards, so any number of threads may query one
// tree concurrently.
//
// Besides the saved fields the tree keeps one derived cache, never saved: the
// bounds of the points under every leaf and stem, which let a query skip
// leaves and subtrees that cannot hold a closer point. Both ways in derive it.

#ifndef QUORVEL_KDTREE_KDTREE_H_
#define QUORVEL_KDTREE_KDTREE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/interrupt.h"

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
  kCorruptTree,     // A leaf the query scanned holds a point with a NaN
                    // coordinate (new_from_slice keeps such points in the
                    // planned build), so no answer can be trusted.
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
// report as corrupt (a NaN coordinate) and a missing leaf get infinite
// bounds, and so does every stem above it, so that no query skips it.
struct NodeBounds {
  std::array<float, kDimensions> lo;
  std::array<float, kDimensions> hi;
};

// The saved fields of a tree, with no rule attached: what the builders fill
// before a tree is made of them.
struct TreeParts {
  std::vector<LeafNode> leaves;
  std::vector<double> stems;
  std::size_t size = 0;
};

class ImmutableKdTree {
 public:
  // The tree's one build: over `points`, point i carrying item i, by the
  // planned build or, where its plan has no answer, the distinct-split build.
  // Never fails for points with finite coordinates; NaN coordinates never
  // crash or hang it.
  // REQUIRES: points.size() < 2^32.
  static ImmutableKdTree new_from_slice(std::span<const Point> points);

  // The same build, asking `stop_check` as it goes; fails with interrupted()
  // once it says stop. The tree, when it is built, is the one above.
  // REQUIRES: points.size() < 2^32.
  static Result<ImmutableKdTree> new_from_slice(std::span<const Point> points,
                                                StopCheck& stop_check);

  // A tree of the given fields, or an error naming the first rule they break
  // and where:
  // - every leaf's size is at most 32, no filled slot holds a NaN
  //   coordinate, and the sizes add up to `size`;
  // - the stem slot count is a power of two, the leaves are no more than the
  //   stem slots, and every leaf that a query with finite coordinates can
  //   reach exists (a tree holding no points is exempt: lookups stop before
  //   descending into it).
  // Items are not checked: what they must be below is the caller's business.
  static Result<ImmutableKdTree> from_parts(std::vector<LeafNode> leaves,
                                            std::vector<double> stems,
                                            std::size_t size);

  ImmutableKdTree(const ImmutableKdTree&) = default;
  ImmutableKdTree& operator=(const ImmutableKdTree&) = default;
  // A moved-from tree holds no points, so it stays safe to query.
  ImmutableKdTree(ImmutableKdTree&& other) noexcept;
  ImmutableKdTree& operator=(ImmutableKdTree&& other) noexcept;

  // The buckets, addressed by leaf index.
  const std::vector<LeafNode>& leaves() const { return leaves_; }
  // Split values in heap order (see the layout above).
  const std::vector<double>& stems() const { return stems_; }
  // Number of points stored, the sum of the leaves' sizes.
  std::size_t size() const { return size_; }

  // The stored point nearest to `query` by squared Euclidean distance. Among
  // equal distances the first found wins: the closer side of every stem is
  // visited first and, inside a leaf, the lower slot.
  QueryOutcome nearest_one(const Point& query) const;

  // Leaf and stem statistics (diagnostics).
  TreeStats generate_stats() const;

  // The derived bounds of the points under each leaf, addressed by leaf
  // index (see NodeBounds).
  const std::vector<NodeBounds>& leaf_bounds() const { return leaf_bounds_; }
  // The derived bounds of each stem's subtree, addressed by node number, or
  // empty when the tree keeps none (a degenerate tree read from a file).
  const std::vector<NodeBounds>& stem_bounds() const { return stem_bounds_; }

 private:
  // Takes parts that already satisfy every rule of from_parts and derives
  // the cache.
  explicit ImmutableKdTree(TreeParts parts);

  // Derives the cache of node bounds from `leaves_` and `stems_`.
  void prepare();

  std::vector<LeafNode> leaves_;
  std::vector<double> stems_;
  std::size_t size_ = 0;
  // One entry per leaf.
  std::vector<NodeBounds> leaf_bounds_;
  // Entry k bounds stem node k's subtree; empty when the stem slots far
  // outnumber the leaves (a degenerate tree read from a file, where the
  // cache would cost more than it saves).
  std::vector<NodeBounds> stem_bounds_;
};

// The first stored point that no build from unit vectors could have put
// where it is: one that is not of unit length (squared length within 1e-9
// of 1; an infinite coordinate fails too), or not in the leaf that the stems
// route it to. A query descends by the stems, so such a point would be
// answered for positions it is not near. nullopt when every point is in
// place. For trees of unit vectors, as a geocoder's are.
// REQUIRES: stems is not empty and no slot holds a NaN coordinate (both
// checked by from_parts).
std::optional<Error> first_misplaced_point(std::span<const LeafNode> leaves,
                                           std::span<const double> stems);

// Leaf and stem statistics of fields that need not form a valid tree yet
// (the build reports them while it fills the leaves).
// Panics on a leaf holding more than 32 points.
TreeStats stats_of(std::span<const LeafNode> leaves,
                   std::span<const double> stems, std::size_t size);

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_KDTREE_H_
