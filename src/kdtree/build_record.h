// What both builds of the tree (the planned one and the distinct-split one)
// rearrange while they choose split values: points with their items.
//
// Thread safety: plain values and constants.

#ifndef QUORVEL_KDTREE_BUILD_RECORD_H_
#define QUORVEL_KDTREE_BUILD_RECORD_H_

#include <cstdint>

#include "kdtree/kdtree.h"

namespace quorvel::kdtree {

// The leaf capacity as a 64-bit count: the builds' capacities, requests and
// shifts are 64-bit, so mixing in the narrower constant would only add casts.
inline constexpr std::uint64_t kBucket = kBucketSize;

// A point with its item. The builds keep arrays of these rather than of bare
// point numbers: selections then read contiguous memory instead of missing
// the cache on nearly every comparison, which makes builds of a million
// points several times faster. The arrangement, and so the tree, is the same
// as with bare numbers.
struct Record {
  Point point;
  std::uint32_t item;
};

}  // namespace quorvel::kdtree

#endif  // QUORVEL_KDTREE_BUILD_RECORD_H_
