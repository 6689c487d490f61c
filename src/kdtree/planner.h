// The planned build's first phase: choosing every split value before any
// point is stored.
//
// `plan_stems` runs planning passes over a permutation of the point numbers
// (`sort_index`). Each pass plans stem 1 over all points (`optimize_stems`);
// a stem splits its chunk near a power of two of at least 32, so that with no
// shared coordinate values the left side is a whole number of full leaves.
// Equal coordinate values cannot be separated, so the pivot moves left over
// them; the room this costs is recorded per stem (`shifts`) and requested
// from the parent, and a request that reaches the root adds leaves (and, past
// the number of stem slots, doubles the stems and plans again).
//
// The plan is only valid together with insertion in input order by the usual
// routing rule (coordinate >= split value goes right), which new_from_slice
// performs. The planner gives up, instead of producing an unsound plan, where
// its rules have no answer: a pivot of 0, a stem whose accumulated shift
// exceeds its base without an overflow to report, a request the left side
// cannot meet, or passes that keep asking for room (bounded below).
//
// Thread safety: pure functions of their arguments.

#ifndef QUORVEL_KDTREE_PLANNER_H_
#define QUORVEL_KDTREE_PLANNER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/interrupt.h"
#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// Upper bound on planning passes. Each pass adds at least one leaf; inputs
// that have not converged by then are the heavily duplicated ones that the
// distinct-split build handles better anyway.
inline constexpr std::size_t kMaxPlanningPasses = 64;

// Bound on the total selection work of all passes, in points selected per
// point and tree level. A pass over distinct values costs 1. Inputs with many
// shared values cost far more, and for them the distinct-split build packs
// the leaves almost as tightly as a converged plan in a fraction of the time,
// so the planner gets little room. Inputs that converge in one pass, and many
// that need two, stay within it. docs/benchmarks.md ("The planner's work
// budget") has the measurements behind the value.
inline constexpr std::size_t kPlanningWorkPerLevel = 4;

// The planner never lets the stem slots grow past this multiple of the count
// it starts with, which bounds the memory a pathological input can claim.
inline constexpr std::size_t kMaxStemGrowth = 16;

// Split values in heap order (size a power of two, slot 0 unused, +inf where
// no split was planned) and the number of leaves they address.
struct StemPlan {
  std::vector<double> stems;
  std::size_t leaf_count = 0;
  std::size_t passes = 0;  // Planning passes run, for tests and benchmarks.
};

// Plans the stems for `points` (point i has item i). Returns nullopt when the
// planning rules cannot produce a plan for this input, or when `stop_check`
// stopped the planning (its stopped() tells the two apart).
// REQUIRES: points.size() < 2^32.
std::optional<StemPlan> plan_stems(std::span<const Point> points,
                                   StopCheck& stop_check = never_stop());

// The shifts carried over when the stem slots double: the old tree becomes
// the left subtree of a new root, which carries `requested_shift`.
// REQUIRES: old_shifts.size() >= 2, new_count == 2 * old_shifts.size().
std::vector<std::uint64_t> extend_shifts(
    std::size_t new_count, std::span<const std::uint64_t> old_shifts,
    std::uint64_t requested_shift);

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_PLANNER_H_
