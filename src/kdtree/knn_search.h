// Searches beyond the single nearest point: the k nearest, and every point
// within a radius (as a list or only as a count).
//
// Distances are squared Euclidean distances computed exactly as
// ImmutableKdTree::nearest_one computes them, so a point's distance here is
// bit-identical to the one nearest_one would report for it. Limits and radii
// are inclusive. Items stored in separate slots are separate results even
// where their points coincide; a group of identical points that the build
// stored once (under its lowest item) is one result.
//
// Every search prunes with the tree's cached node bounds, and the radius
// forms count or collect a subtree whose bounds lie wholly inside the radius
// without testing its points one by one where that is all they need.
//
// Status: as nearest_one, a non-finite query gives kQueryNotFinite (checked
// first), a tree without points kNoPoints, and a scanned leaf holding a NaN
// coordinate kCorruptTree; the outputs are then unspecified.
//
// Memory: the recursion keeps well under a kilobyte per level of the tree on
// the stack (a tree has at most 33 levels); everything that grows with the
// answer lives in the caller's buffers, which a thread reuses from one query
// to the next.
//
// Thread safety: pure functions over a tree that never changes; any number
// of threads may search one tree at once, each with its own buffers.

#ifndef QUORVEL_KDTREE_KNN_SEARCH_H_
#define QUORVEL_KDTREE_KNN_SEARCH_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// How many points a k-nearest search found, and whether it could search.
struct KnnOutcome {
  std::size_t count;
  QueryStatus status;
};

// The out.size() stored points nearest to `query` whose distance is at most
// `max_distance`, in out[0, count) ordered by distance and then by item,
// ascending. Fewer than out.size() when fewer points lie within the limit.
// out[count, out.size()) are left unspecified. With an empty `out` only the
// status is determined.
// REQUIRES: max_distance is not NaN (+inf means no limit).
KnnOutcome nearest_k(const ImmutableKdTree& tree, const Point& query,
                     double max_distance, std::span<NearestResult> out);

// Appends every stored point within `max_distance` of `query` to `out`, in
// no particular order. On a status other than kOk, `out` may hold part of
// the answer after its original contents.
// REQUIRES: max_distance is not NaN.
QueryStatus append_within(const ImmutableKdTree& tree, const Point& query,
                          double max_distance, std::vector<NearestResult>& out);

// Two radii for a count: every point within `sure` is counted, and every
// point farther than `sure` but within `maybe` is handed back for the caller
// to judge. A caller whose own membership test only approximately follows
// the squared distance (such as a limit in kilometres) puts the uncertain
// band between the two; sure == maybe counts exactly.
struct CountRadii {
  double sure;
  double maybe;
};

// How many points a count found within `sure`, and whether it could search.
struct CountOutcome {
  std::uint64_t count;
  QueryStatus status;
};

// Counts the stored points within radii.sure of `query`, and appends those
// farther than radii.sure but within radii.maybe to `borderline` (in no
// particular order). A subtree whose bounds lie wholly within radii.sure is
// counted without visiting its points.
// REQUIRES: neither radius is NaN; radii.sure <= radii.maybe.
CountOutcome count_within(const ImmutableKdTree& tree, const Point& query,
                          CountRadii radii,
                          std::vector<NearestResult>& borderline);

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_KNN_SEARCH_H_
