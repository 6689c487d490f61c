// The region of many positions in one call, on one or several threads: the
// batch form of Regions::lookup, for the binding's get_region_indices and
// the command line.
//
// Positions are read from caller columns as the nearest-place batches read
// them (any stride, any supported number format). A position with a NaN or
// infinite coordinate, or one outside [-90, 90] x [-180, 180], gets
// kNoRegion, as Regions::lookup gives it.
//
// Thread safety: only reads the Regions and the input columns and writes the
// caller's output; several batches may run on one Regions at once. Helper
// threads live only inside one call.

#ifndef QUORVEL_GEOCODER_REGION_BATCH_H_
#define QUORVEL_GEOCODER_REGION_BATCH_H_

#include <cstdint>
#include <span>

#include "base/error.h"
#include "base/interrupt.h"
#include "geocoder/batch_search.h"
#include "regions/regions.h"

namespace quorvel {

// regions[i] becomes regions.lookup(lats[i], lons[i], max_distance_km) for
// i < regions.size(). Fails only with interrupted() when `stop_check` (asked
// on the calling thread between blocks) stops it; the output is then
// unspecified.
// REQUIRES: max_distance_km >= 0 (not NaN); workers >= 1.
Status region_indices(const regions::Regions& index, const NumberColumn& lats,
                      const NumberColumn& lons, double max_distance_km,
                      std::span<std::uint32_t> out, unsigned workers,
                      StopCheck& stop_check = never_stop());

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_REGION_BATCH_H_
