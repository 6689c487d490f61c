// The build that cannot fail: a tree whose splits lie only between distinct
// coordinate values.
//
// new_from_slice uses it only when the planned build has no answer for an
// input (a group of more than 32 identical points, or equal values the plan
// cannot route). The result keeps the layout and the query of every other
// tree, with these differences in content:
//   - Points with identical coordinates are stored once, under the lowest
//     item of the group, which is the item a nearest search must return for
//     any of them; `size` counts the stored points.
//   - Points with a NaN coordinate are not stored: no query can be answered
//     against them.
//   - Splits fall only between distinct values, at the edge of a band of
//     equal values nearest to where the planned build would split; a stem
//     whose chunk fits its left child whole (one value in its dimension, or
//     the tail of the tree) gets +inf and sends the chunk left.
//   - Leaves fill from the left, as in the planned build: a left child gets
//     all the points its leaves hold, so about ceil(stored / 32) leaves are
//     used. Where bands of equal values defeat that, the tree gets a few
//     spare leaves spread over all subtrees (about 3% on gazetteer data),
//     and more depth only when the spare room needs it.
//   - A chunk of at most 32 points ends in the leftmost leaf of its subtree.
// Leaves are allocated up to the last one a point can reach, which is also
// the last one a query with finite coordinates can reach.
//
// Thread safety: a pure function of its argument.

#ifndef QUORVEL_KDTREE_DISTINCT_SPLIT_BUILD_H_
#define QUORVEL_KDTREE_DISTINCT_SPLIT_BUILD_H_

#include <span>

#include "base/interrupt.h"
#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// The fields of the tree described above over `points` (point i has item i).
// Panics only if the points share coordinate values so heavily, in all three
// dimensions at once, that no tree of sensible depth separates them; unit
// vectors of distinct positions on the globe never do.
// REQUIRES: points.size() < 2^32.
// Asks `stop_check` between attempts; once it says stop, returns an empty
// tree that the caller must discard.
TreeParts build_with_distinct_splits(std::span<const Point> points,
                                     StopCheck& stop_check = never_stop());

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_DISTINCT_SPLIT_BUILD_H_
