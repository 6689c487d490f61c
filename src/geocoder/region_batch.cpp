#include "geocoder/region_batch.h"

#include "geocoder/parallel_blocks.h"

namespace quorvel {
namespace {

// Positions per block: a lookup takes tens of nanoseconds, so a block is a
// few hundred microseconds of work, short enough for a prompt Ctrl-C and
// long enough that taking the next block costs nothing.
constexpr std::size_t kRegionBlock = 8192;

// Positions per block when a lookup may measure distances to borders: a
// position at sea then measures every edge within the allowance, which
// takes up to a millisecond for an allowance of a couple of thousand
// kilometres. 8192 such positions would run for seconds between two looks
// at Ctrl-C; 64 stay near a tenth of a second, and taking a block still
// costs next to nothing beside the measuring.
constexpr std::size_t kMeasuringBlock = 64;

}  // namespace

Status region_indices(const regions::Regions& index, const NumberColumn& lats,
                      const NumberColumn& lons, double max_distance_km,
                      std::span<std::uint32_t> out, unsigned workers,
                      StopCheck& stop_check) {
  // A lookup near a coast with a distance allowance measures edges, which
  // costs far more than a plain lookup: the threads are worth starting
  // sooner then.
  const unsigned threads =
      max_distance_km > 0
          ? std::min<unsigned>(workers, (out.size() + 1023) / 1024 + 1)
          : batch_threads(out.size(), workers);
  const bool done = run_blocks(
      out.size(), max_distance_km > 0 ? kMeasuringBlock : kRegionBlock,
      std::max(threads, 1u), stop_check,
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          out[i] = index.lookup(column_value(lats, i), column_value(lons, i),
                                max_distance_km);
        }
      });
  if (!done) return interrupted();
  return {};
}

}  // namespace quorvel
