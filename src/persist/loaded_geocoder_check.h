// The consistency check a geocoder read from a file must pass before any
// lookup can see it.
//
// A built geocoder satisfies these invariants by construction; a file may
// have been damaged or crafted. The lookups read the text through the slices
// and the tree through its own indices, so every index must land inside its
// array, and a NaN coordinate in a filled slot would end every query that
// scans its leaf in an internal failure.
//
// Thread safety: reads its argument only.

#ifndef QUORVEL_PERSIST_LOADED_GEOCODER_CHECK_H_
#define QUORVEL_PERSIST_LOADED_GEOCODER_CHECK_H_

#include "lib/error.h"
#include "lib/geocoder.h"

namespace quorvel::persist {

// Ok when:
// - every slice has a non-negative offset, lies inside `csv`, and starts and
//   ends on UTF-8 character boundaries;
// - every leaf's size is at most 32, and the sizes add up to tree.size;
// - every item of a filled slot is below the number of slices, and no
//   filled slot holds a NaN coordinate;
// - the stem slot count is a power of two, the leaves are no more than the
//   stem slots, and every leaf that a query with finite coordinates can
//   reach exists (a tree holding no points is exempt: lookups stop before
//   descending into it).
// Otherwise a runtime error naming the broken invariant and where it broke.
// `value_sep` and the width of `columns` are not checked: lookups handle
// any separator and any column count.
Status check_loaded_geocoder(const ReverseGeocoder& geocoder);

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_LOADED_GEOCODER_CHECK_H_
