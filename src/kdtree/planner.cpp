#include "kdtree/planner.h"

#include <algorithm>
#include <bit>
#include <limits>
#include <numeric>

#include "kdtree/build_record.h"
#include "kdtree/diagnostics.h"

namespace quorvel::kdtree {
namespace {

using Level = DiagnosticLevel;

// Marks a plan that cannot be completed; never a real request, since a request
// is at most the number of points plus the accumulated shifts.
constexpr std::uint64_t kPlanFailed = std::numeric_limits<std::uint64_t>::max();

// Plain less-than, except that NaN sorts after every number. std::nth_element
// needs a strict weak order or it may run off the end of its range; plain
// comparisons still hold wherever both sides are numbers.
inline bool coordinate_less(double a, double b) {
  return a < b || (b != b && a == a);
}

class Planner {
 public:
  // `work_left` counts the point numbers that selections may still visit,
  // shared by all passes.
  Planner(std::vector<double>& stems, std::vector<std::uint64_t>& shifts,
          std::uint64_t& work_left, StopCheck& stop_check)
      : stems_(stems),
        shifts_(shifts),
        work_left_(work_left),
        stop_check_(stop_check) {}

  // Plans stem k and, recursively, its subtree over `chunk`, for a subtree
  // that may receive `capacity` points. Returns 0 when the plan fits,
  // otherwise the number of places it lacks, or kPlanFailed. This wrapper
  // only brackets the work in the "opt" trace span.
  std::uint64_t optimize_stems(std::size_t k, unsigned dim,
                               std::span<Record> chunk,
                               std::uint64_t capacity) {
    emit_diagnostic(Level::kTrace, "opt", {{"idx", std::uint64_t{k}}},
                    DiagnosticKind::kSpanEnter);
    const std::uint64_t result = plan_subtree(k, dim, chunk, capacity);
    emit_diagnostic(Level::kTrace, "opt", {{"idx", std::uint64_t{k}}},
                    DiagnosticKind::kSpanExit);
    return result;
  }

 private:
  // The work of optimize_stems, without the trace span.
  std::uint64_t plan_subtree(std::size_t k, unsigned dim,
                             std::span<Record> chunk, std::uint64_t capacity) {
    const std::uint64_t length = chunk.size();
    if (length <= kBucket) return 0;
    // Each stem's selection is the planner's unit of work: asking here
    // bounds the wait for a stop by one selection over the largest chunk.
    if (stop_check_.due()) return kPlanFailed;
    if (length > capacity) return length - capacity;
    // The capacity of a leaf's subtree is at most 32, so a chunk that got
    // past the two tests above always sits at a stem.
    if (k >= stems_.size()) return kPlanFailed;

    const unsigned tree_depth = std::countr_zero(stems_.size());
    const unsigned depth = std::bit_width(k) - 1;
    const std::uint64_t left_capacity =
        std::min(kBucket << (tree_depth - depth - 1), capacity);
    const std::uint64_t right_capacity = capacity - left_capacity;
    const std::uint64_t shift = shifts_[k];
    const std::uint64_t half = (shift + length) / 2;

    std::uint64_t base;
    if (length % 2 == 1 && (k == 1 || shift == 0)) {
      base = std::bit_ceil(half + 1);
      if (k == 1) emit_diagnostic(Level::kDebug, "calc_pivot: unusual route");
    } else {
      base = std::bit_ceil(half);
    }

    if (base < shift) {
      // The shifts have moved the pivot guess past the chunk's left end, so
      // no pivot lies inside it and the right side would hold
      // length + shift - base places. Asking for the excess is the one sound
      // answer; with no excess the chunk cannot be split at all.
      const std::uint64_t right_side = length + shift - base;
      if (right_side <= right_capacity) return kPlanFailed;
      const std::uint64_t excess = right_side - right_capacity;
      emit_diagnostic(Level::kTrace, "RHS Overflow A", {{"val", excess}});
      return excess;
    }

    std::uint64_t pivot = std::max(
        base - shift, length > right_capacity ? length - right_capacity : 0);
    if (pivot > length) return kPlanFailed;
    if (pivot < length) {
      // A pivot of 0 would put the whole chunk on the right; the rules leave
      // that unplanned.
      if (pivot == 0 || !spend(length)) return kPlanFailed;
      pivot = update_pivot(chunk, dim, pivot);
      stems_[k] = chunk[pivot].point[dim];
    }

    if (pivot <= kBucket && length - pivot <= kBucket) return 0;
    if (length - pivot > right_capacity) {
      const std::uint64_t excess = length - pivot - right_capacity;
      emit_diagnostic(Level::kTrace, "RHS Overflow A", {{"val", excess}});
      return excess;
    }

    const unsigned next = (dim + 1) % kDimensions;
    for (;;) {
      const std::uint64_t request =
          optimize_stems(2 * k, next, chunk.first(pivot), left_capacity);
      if (request == kPlanFailed) return kPlanFailed;
      if (request == 0) break;
      emit_diagnostic(Level::kTrace, "LHS shift", {{"req", request}});
      if (request >= pivot || !spend(length)) return kPlanFailed;
      pivot = update_pivot(chunk, dim, pivot - request);
      if (length - pivot > right_capacity) {
        const std::uint64_t excess = length - pivot - right_capacity;
        // This event reports the request that moved the pivot; the excess
        // returned follows in "shift A".
        emit_diagnostic(Level::kTrace, "RHS Overflow B", {{"val", request}});
        shifts_[k] += request;
        emit_diagnostic(Level::kTrace, "shift A", {{"val", excess}});
        return excess;
      }
      // update_pivot has just selected at this very position and only moved
      // left over values equal to the one selected, so the chunk already
      // satisfies the selection contract here; selecting again is a no-op
      // for the plan.
      stems_[k] = chunk[pivot].point[dim];
      emit_diagnostic(Level::kTrace, "shift B",
                      {{"idx", std::uint64_t{k}}, {"d", request}});
      shifts_[k] += request;
    }

    const std::uint64_t request =
        optimize_stems(2 * k + 1, next, chunk.subspan(pivot), right_capacity);
    if (request == kPlanFailed) return kPlanFailed;
    if (request > 0) {
      emit_diagnostic(Level::kTrace, "RHS shift", {{"val", request}});
      return request;
    }
    return 0;
  }

  // Takes `amount` from the work budget; false once it is spent.
  bool spend(std::uint64_t amount) {
    if (amount > work_left_) return false;
    work_left_ -= amount;
    return true;
  }

  // Selects rank `pivot` by coordinate `dim`, then moves the pivot left while
  // its lower neighbour holds the same value; returns the pivot where it
  // stops, with the chunk arranged to split there.
  // REQUIRES: 1 <= pivot < chunk.size().
  std::size_t update_pivot(std::span<Record> chunk, unsigned dim,
                           std::size_t pivot) {
    const auto begin = chunk.begin();
    std::nth_element(begin, begin + pivot, chunk.end(),
                     [dim](const Record& a, const Record& b) {
                       return coordinate_less(a.point[dim], b.point[dim]);
                     });
    // nth_element leaves values equal to the selected one scattered below it.
    // Gathering them directly below the pivot lets the walk that follows pass
    // over every one of them, so the split value sends exactly the points
    // planned for the right side there.
    const double selected = chunk[pivot].point[dim];
    std::partition(begin, begin + pivot, [dim, selected](const Record& r) {
      return !(r.point[dim] == selected);
    });
    while (pivot >= 2 &&
           chunk[pivot].point[dim] == chunk[pivot - 1].point[dim]) {
      --pivot;
      if (diagnostic_enabled(Level::kInfo)) {
        emit_diagnostic(Level::kInfo, "pivot shifted",
                        {{"pivot", std::uint64_t{pivot}},
                         {"chunk_len", std::uint64_t{chunk.size()}},
                         {"pivotN1_val", chunk[pivot - 1].point[dim]},
                         {"pivot0_val", chunk[pivot].point[dim]},
                         {"pivot1_val", chunk[pivot + 1].point[dim]}});
      }
    }
    return pivot;
  }

  std::vector<double>& stems_;
  std::vector<std::uint64_t>& shifts_;
  std::uint64_t& work_left_;
  StopCheck& stop_check_;
};

}  // namespace

std::vector<std::uint64_t> extend_shifts(
    std::size_t new_count, std::span<const std::uint64_t> old_shifts,
    std::uint64_t requested_shift) {
  std::vector<std::uint64_t> shifts(new_count, 0);
  shifts[1] = requested_shift;
  shifts[2] = old_shifts[1];
  for (std::size_t i = 2; i < old_shifts.size(); ++i) {
    if (old_shifts[i] == 0) continue;
    // Node i at depth t keeps its place one level lower, in the left half.
    shifts[i + std::bit_floor(i)] = old_shifts[i];
  }
  return shifts;
}

std::optional<StemPlan> plan_stems(std::span<const Point> points,
                                   StopCheck& stop_check) {
  const std::size_t n = points.size();
  std::size_t leaf_count = (n + kBucketSize - 1) / kBucketSize;
  std::size_t stem_count = leaf_count <= 1 ? 1 : std::bit_ceil(leaf_count);
  const std::size_t max_stem_count = stem_count * kMaxStemGrowth;
  // One pass over distinct values selects about n points per tree level.
  std::uint64_t work_left = std::uint64_t{kPlanningWorkPerLevel} * n *
                            (std::bit_width(stem_count) + 1);

  std::vector<double> stems(stem_count,
                            std::numeric_limits<double>::infinity());
  std::vector<std::uint64_t> shifts(stem_count, 0);
  std::vector<Record> sort_index(n);
  for (std::size_t i = 0; i < n; ++i) {
    sort_index[i] = {points[i], static_cast<std::uint32_t>(i)};
  }

  for (std::size_t pass = 1;; ++pass) {
    Planner planner(stems, shifts, work_left, stop_check);
    const std::uint64_t request =
        planner.optimize_stems(1, 0, std::span<Record>(sort_index),
                               std::uint64_t{leaf_count} * kBucketSize);
    if (request == kPlanFailed || stop_check.stopped()) return std::nullopt;
    if (request == 0) return StemPlan{std::move(stems), leaf_count, pass};
    if (pass == kMaxPlanningPasses) return std::nullopt;

    leaf_count += (request + kBucketSize - 1) / kBucketSize;
    emit_diagnostic(DiagnosticLevel::kTrace, "top-level shift",
                    {{"requested_shift", request},
                     {"leaf_node_count", std::uint64_t{leaf_count}}});
    if (leaf_count > stem_count) {
      if (stem_count < 2 || stem_count * 2 > max_stem_count) {
        return std::nullopt;
      }
      stem_count *= 2;
      emit_diagnostic(DiagnosticLevel::kTrace, "extending stems",
                      {{"stem_node_count", std::uint64_t{stem_count}}});
      stems.assign(stem_count, std::numeric_limits<double>::infinity());
      shifts = extend_shifts(stem_count, shifts, request);
      // One doubling per pass; a request that outgrows even that cannot be
      // planned in this layout.
      if (leaf_count > stem_count) return std::nullopt;
    }
  }
}

}  // namespace quorvel::kdtree
