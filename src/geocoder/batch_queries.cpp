#include "geocoder/batch_queries.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>

#include "geocoder/messages.h"
#include "kdtree/knn_search.h"

namespace quorvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Positions are handed out to threads in blocks of this many: large enough
// that the shared counter is touched rarely, small enough that a slowed
// thread leaves little behind and that one block's rows stay small.
constexpr std::size_t kBlock = 1024;

// The search band around a kilometre limit, relative to the squared chord
// at the limit. chord_to_km is monotone up to the last-place rounding of its
// arc sine, and near a limit the kilometres change at least half as fast, in
// relative terms, as the squared chord, so a band of 1e-12 holds every
// squared chord whose kilometres could fall on either side of the limit.
constexpr double kBandWidth = 1e-12;

bool before(const kdtree::NearestResult& a, const kdtree::NearestResult& b) {
  return a.distance < b.distance ||
         (a.distance == b.distance && a.item < b.item);
}

// Whether a squared chord is within the limit the bounds were made for.
inline bool within_km(double chord, const ChordBounds& bounds, double max_km) {
  return chord <= bounds.sure ||
         (chord <= bounds.maybe && chord_to_km(chord) <= max_km);
}

// One thread's reusable buffers: a block's unit vectors and the results of
// the current position.
struct Scratch {
  std::vector<kdtree::Point> points;
  std::vector<unsigned char> finite;
  std::vector<kdtree::NearestResult> found;
  std::vector<kdtree::NearestResult> borderline;

  // The unit vectors of positions [begin, end), computed in a loop of their
  // own: it has no branches into the tree, so the trigonometry of
  // consecutive positions overlaps in the processor.
  void convert(const NumberColumn& lats, const NumberColumn& lons,
               std::size_t begin, std::size_t end) {
    points.resize(end - begin);
    finite.resize(end - begin);
    for (std::size_t k = 0; k < end - begin; ++k) {
      // Each value is read once: another thread may change the memory
      // meanwhile, and the test and the conversion must see one number.
      const double lat = column_value(lats, begin + k);
      const double lon = column_value(lons, begin + k);
      finite[k] = std::isfinite(lat) && std::isfinite(lon);
      points[k] =
          finite[k] ? lat_lon_to_point(lat, lon) : kdtree::Point{0, 0, 0};
    }
  }
};

// Runs `body(scratch, block, begin, end)` over the blocks of [0, count) on
// the calling thread and up to `threads - 1` helpers that live only for this
// call, each thread with its own Scratch. Blocks are taken from a shared
// counter. The first exception (such as std::bad_alloc) stops the remaining
// blocks and is rethrown here once every thread has ended; `stop` set by a
// body ends the run early as well.
template <typename Body>
void run_blocks(std::size_t count, unsigned threads, std::atomic<bool>& stop,
                Body&& body) {
  const std::size_t blocks = (count + kBlock - 1) / kBlock;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr failure;
  const auto work = [&]() noexcept {
    try {
      Scratch scratch;
      for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        const std::size_t block = next.fetch_add(1, std::memory_order_relaxed);
        if (block >= blocks) return;
        const std::size_t begin = block * kBlock;
        body(scratch, block, begin, std::min(count, begin + kBlock));
      }
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> helpers;
  const unsigned wanted = static_cast<unsigned>(
      std::min<std::size_t>(batch_threads(count, threads), blocks));
  if (wanted > 1) helpers.reserve(wanted - 1);
  for (unsigned t = 1; t < wanted; ++t) {
    try {
      helpers.emplace_back(work);
    } catch (const std::system_error&) {
      // The system refused another thread; the ones running share the work.
      break;
    }
  }
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
}

// The searches below that the geocoder does not offer (k nearest, all
// within a radius, counts) run on its tree and report its faults in the
// lookups' words.
Error corrupt_index() { return Error(messages::kCorruptIndex); }

// The radius of position i, and its bounds, computed again only when the
// radius changes (a single radius for all is computed once per block).
class RadiusReader {
 public:
  explicit RadiusReader(const NumberColumn& radii) : radii_(radii) {}

  double at(std::size_t i) {
    const double km = column_value(radii_, i);
    if (!(km == km_)) {
      km_ = km;
      bounds_ = chord_bounds_for_km(km);
    }
    return km_;
  }
  const ChordBounds& bounds() const { return bounds_; }

 private:
  const NumberColumn& radii_;
  double km_ = kNaN;
  ChordBounds bounds_{-1.0, -1.0};
};

}  // namespace

ChordBounds chord_bounds_for_km(double max_km) {
  if (!(max_km >= 0.0)) return {-1.0, -1.0};
  // chord_to_km clamps at the diameter, so no distance exceeds this one.
  if (max_km >= chord_to_km(4.0)) return {kInf, kInf};
  // The squared chord of the arc, then the largest squared chord that still
  // converts to at most max_km: the estimate is off by a few units in the
  // last place at most, so the walks below are short.
  const double half_chord = std::sin(max_km / (2.0 * kEarthRadiusKm));
  double chord = std::min(4.0, 4.0 * half_chord * half_chord);
  for (int i = 0; i < 256 && chord > 0.0 && chord_to_km(chord) > max_km; ++i) {
    chord = std::nextafter(chord, 0.0);
  }
  for (int i = 0; i < 256; ++i) {
    const double up = std::nextafter(chord, kInf);
    if (!(chord_to_km(up) <= max_km)) break;
    chord = up;
  }
  return {chord * (1.0 - kBandWidth),
          std::nextafter(chord * (1.0 + kBandWidth), kInf)};
}

Status nearest_k_records(const ReverseGeocoder& geocoder,
                         const NumberColumn& lats, const NumberColumn& lons,
                         std::size_t k, double max_km,
                         std::span<std::uint32_t> items,
                         std::span<double> distances_km, unsigned workers) {
  if (k == 0 || items.size() % k != 0 ||
      (!distances_km.empty() && distances_km.size() != items.size())) {
    panic("k-nearest outputs do not match the batch");
  }
  if (items.empty()) return Status::Ok();
  if (Status s = geocoder.check_has_records(); !s.ok()) return s;
  const kdtree::ImmutableKdTree& tree = geocoder.tree();
  const ChordBounds bounds = chord_bounds_for_km(max_km);
  const bool with_distances = !distances_km.empty();
  std::atomic<bool> corrupt{false};
  run_blocks(
      items.size() / k, workers, corrupt,
      [&](Scratch& scratch, std::size_t, std::size_t begin, std::size_t end) {
        scratch.convert(lats, lons, begin, end);
        scratch.found.resize(k);
        for (std::size_t i = begin; i < end; ++i) {
          std::uint32_t* row = items.data() + i * k;
          double* row_km =
              with_distances ? distances_km.data() + i * k : nullptr;
          std::size_t kept = 0;
          double empty_km = kInf;
          if (!scratch.finite[i - begin]) {
            empty_km = kNaN;
          } else {
            const kdtree::KnnOutcome found = kdtree::nearest_k(
                tree, scratch.points[i - begin], bounds.maybe, scratch.found);
            if (found.status != kdtree::QueryStatus::kOk) {
              corrupt.store(true, std::memory_order_relaxed);
              return;
            }
            for (std::size_t j = 0; j < found.count; ++j) {
              const kdtree::NearestResult& r = scratch.found[j];
              if (!within_km(r.distance, bounds, max_km)) continue;
              row[kept] = r.item;
              if (with_distances) row_km[kept] = chord_to_km(r.distance);
              ++kept;
            }
          }
          for (std::size_t j = kept; j < k; ++j) {
            row[j] = kNoRecord;
            if (with_distances) row_km[j] = empty_km;
          }
        }
      });
  if (corrupt.load()) return corrupt_index();
  return Status::Ok();
}

Status nearest_records_within(const ReverseGeocoder& geocoder,
                              const NumberColumn& lats,
                              const NumberColumn& lons, double max_km,
                              std::span<std::uint32_t> items,
                              std::span<double> distances_km,
                              unsigned workers) {
  if (!distances_km.empty() && distances_km.size() != items.size()) {
    panic("distance output does not match the batch");
  }
  if (items.empty()) return Status::Ok();
  if (Status s = geocoder.check_has_records(); !s.ok()) return s;
  const ChordBounds bounds = chord_bounds_for_km(max_km);
  const bool with_distances = !distances_km.empty();
  std::atomic<bool> failed{false};
  std::mutex failure_mutex;
  std::optional<Error> failure;
  run_blocks(
      items.size(), workers, failed,
      [&](Scratch& scratch, std::size_t, std::size_t begin, std::size_t end) {
        scratch.convert(lats, lons, begin, end);
        for (std::size_t i = begin; i < end; ++i) {
          std::uint32_t item = kNoRecord;
          double km = kNaN;
          if (scratch.finite[i - begin]) {
            Result<kdtree::NearestResult> found =
                geocoder.nearest_to(scratch.points[i - begin]);
            if (!found.ok()) [[unlikely]] {
              std::lock_guard<std::mutex> lock(failure_mutex);
              if (!failure) failure = std::move(found).error();
              failed.store(true, std::memory_order_relaxed);
              return;
            }
            km = kInf;
            const kdtree::NearestResult& nearest = found.value();
            if (within_km(nearest.distance, bounds, max_km)) {
              item = nearest.item;
              if (with_distances) km = chord_to_km(nearest.distance);
            }
          }
          items[i] = item;
          if (with_distances) distances_km[i] = km;
        }
      });
  if (failure) return std::move(*failure);
  return Status::Ok();
}

// The rows of one block of positions.
struct WithinRows::Block {
  std::vector<std::uint32_t> counts;  // One per position of the block.
  std::vector<std::uint32_t> items;   // The block's rows, one after another.
  std::vector<double> km;             // Beside items, when kept.
};

WithinRows::WithinRows(std::size_t positions, bool with_distances)
    : positions_(positions),
      with_distances_(with_distances),
      blocks_((positions + kBlock - 1) / kBlock) {}
WithinRows::WithinRows(WithinRows&&) noexcept = default;
WithinRows& WithinRows::operator=(WithinRows&&) noexcept = default;
WithinRows::~WithinRows() = default;

void WithinRows::copy_to(std::span<std::uint64_t> offsets,
                         std::span<std::uint32_t> items,
                         std::span<double> distances_km) const {
  if (offsets.size() != positions_ + 1 || items.size() != total_ ||
      distances_km.size() != (with_distances_ ? total_ : 0)) {
    panic("within-radius outputs do not match the results");
  }
  std::uint64_t at = 0;
  std::size_t position = 0;
  offsets[0] = 0;
  for (const Block& block : blocks_) {
    for (const std::uint32_t count : block.counts) {
      at += count;
      offsets[++position] = at;
    }
    const std::uint64_t start = at - block.items.size();
    std::copy(block.items.begin(), block.items.end(), items.begin() + start);
    if (with_distances_) {
      std::copy(block.km.begin(), block.km.end(), distances_km.begin() + start);
    }
  }
}

// Fills the blocks of a WithinRows; a friend of it.
class WithinSearch {
 public:
  static Result<WithinRows> run(const ReverseGeocoder& geocoder,
                                const NumberColumn& lats,
                                const NumberColumn& lons,
                                const NumberColumn& radii_km, std::size_t n,
                                bool with_distances, bool sort,
                                unsigned workers) {
    WithinRows rows(n, with_distances);
    const kdtree::ImmutableKdTree& tree = geocoder.tree();
    std::atomic<bool> corrupt{false};
    run_blocks(n, workers, corrupt,
               [&](Scratch& scratch, std::size_t block_index, std::size_t begin,
                   std::size_t end) {
                 scratch.convert(lats, lons, begin, end);
                 WithinRows::Block& block = rows.blocks_[block_index];
                 block.counts.assign(end - begin, 0);
                 RadiusReader radius(radii_km);
                 for (std::size_t i = begin; i < end; ++i) {
                   if (!scratch.finite[i - begin]) continue;
                   const double km = radius.at(i);
                   const ChordBounds& bounds = radius.bounds();
                   scratch.found.clear();
                   const kdtree::QueryStatus status =
                       kdtree::append_within(tree, scratch.points[i - begin],
                                             bounds.maybe, scratch.found);
                   if (status == kdtree::QueryStatus::kNoPoints) continue;
                   if (status != kdtree::QueryStatus::kOk) {
                     corrupt.store(true, std::memory_order_relaxed);
                     return;
                   }
                   auto kept = std::remove_if(
                       scratch.found.begin(), scratch.found.end(),
                       [&](const kdtree::NearestResult& r) {
                         return !within_km(r.distance, bounds, km);
                       });
                   if (sort) std::sort(scratch.found.begin(), kept, before);
                   for (auto r = scratch.found.begin(); r != kept; ++r) {
                     block.items.push_back(r->item);
                     if (with_distances) {
                       block.km.push_back(chord_to_km(r->distance));
                     }
                   }
                   block.counts[i - begin] =
                       static_cast<std::uint32_t>(kept - scratch.found.begin());
                 }
               });
    if (corrupt.load()) return corrupt_index();
    for (const WithinRows::Block& block : rows.blocks_) {
      rows.total_ += block.items.size();
    }
    return rows;
  }
};

Result<WithinRows> records_within(const ReverseGeocoder& geocoder,
                                  const NumberColumn& lats,
                                  const NumberColumn& lons,
                                  const NumberColumn& radii_km, std::size_t n,
                                  bool with_distances, bool sort,
                                  unsigned workers) {
  return WithinSearch::run(geocoder, lats, lons, radii_km, n, with_distances,
                           sort, workers);
}

Status count_records_within(const ReverseGeocoder& geocoder,
                            const NumberColumn& lats, const NumberColumn& lons,
                            const NumberColumn& radii_km,
                            std::span<std::uint64_t> counts, unsigned workers) {
  const kdtree::ImmutableKdTree& tree = geocoder.tree();
  std::atomic<bool> corrupt{false};
  run_blocks(
      counts.size(), workers, corrupt,
      [&](Scratch& scratch, std::size_t, std::size_t begin, std::size_t end) {
        scratch.convert(lats, lons, begin, end);
        RadiusReader radius(radii_km);
        for (std::size_t i = begin; i < end; ++i) {
          counts[i] = 0;
          if (!scratch.finite[i - begin]) continue;
          const double km = radius.at(i);
          const ChordBounds& bounds = radius.bounds();
          scratch.borderline.clear();
          const kdtree::CountOutcome found = kdtree::count_within(
              tree, scratch.points[i - begin], {bounds.sure, bounds.maybe},
              scratch.borderline);
          if (found.status == kdtree::QueryStatus::kNoPoints) continue;
          if (found.status != kdtree::QueryStatus::kOk) {
            corrupt.store(true, std::memory_order_relaxed);
            return;
          }
          std::uint64_t count = found.count;
          for (const kdtree::NearestResult& r : scratch.borderline) {
            count += chord_to_km(r.distance) <= km;
          }
          counts[i] = count;
        }
      });
  if (corrupt.load()) return corrupt_index();
  return Status::Ok();
}

}  // namespace quorvel
