// Batch searches beyond the single nearest record: the k nearest, the
// nearest within a distance limit, and every record within a radius (as
// rows or as counts), for many positions in one call on one or several
// threads. Plain C++; the Python binding reads the inputs and builds the
// results.
//
// Positions are read and converted exactly as nearest_records reads and
// converts them (the same unit vector as the scalar lookup). A position with
// a NaN or infinite latitude or longitude is not an error: it gets an empty
// answer (see each function).
//
// Distances. The engine measures the squared chord between unit vectors and
// reports chord_to_km of it. A limit or radius in kilometres is applied to
// that reported number, inclusively: a record is inside exactly when
// chord_to_km(its squared chord) <= the limit, so a record reported at
// exactly the limit is inside. The trees are searched with a squared-chord
// bound a hair wider than the limit, and the membership test on the
// kilometres decides. Results are ordered by squared chord, then by record
// number; the kilometres follow that order (the conversion only rounds).
//
// Records that share one position are separate results, in record-number
// order. A group of identical positions too large for one bucket of the
// index is stored there once, under its lowest record number; only that
// record is found.
//
// Thread safety: the functions only read the geocoder and the input columns
// and write the caller's outputs; several batches may run on one geocoder at
// once. Worker threads live only inside one call, each with its own scratch
// buffers, and nothing larger than a few hundred bytes goes on any thread's
// stack.

#ifndef QUORVEL_GEOCODER_BATCH_QUERIES_H_
#define QUORVEL_GEOCODER_BATCH_QUERIES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "base/error.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"

namespace quorvel {

// Squared-chord bounds for a limit in kilometres: every squared chord up to
// `sure` is within the limit, and none beyond `maybe` is; in between only
// chord_to_km can tell. A limit at or beyond half the Earth's circumference
// (or +inf) admits every record: both bounds are +inf.
struct ChordBounds {
  double sure;
  double maybe;
};

// The bounds for `max_km`.
// REQUIRES: max_km >= 0 (not NaN).
ChordBounds chord_bounds_for_km(double max_km);

// For positions (lats[i], lons[i]), i < n = items.size() / k: row i of
// items (items[i*k, i*k + k)) becomes the record numbers of the k nearest
// records within `max_km`, nearest first, and row i of `distances_km`, when
// it is not empty, their distances. A slot with no record (fewer than k
// records within the limit) holds kNoRecord and +inf; a non-finite position
// fills its row with kNoRecord and NaN. Pass +inf for no limit.
// Fails like nearest_records: on a geocoder without records when the batch
// is not empty, and on a corrupt index; the outputs are then unspecified.
// REQUIRES: k >= 1; items.size() is a multiple of k; distances_km is empty
// or as long as items; max_km >= 0; workers >= 1.
Status nearest_k_records(const ReverseGeocoder& geocoder,
                         const NumberColumn& lats, const NumberColumn& lons,
                         std::size_t k, double max_km,
                         std::span<std::uint32_t> items,
                         std::span<double> distances_km, unsigned workers);

// The nearest record of every position as nearest_records finds it (the
// same search, the same ties), with its distance in kilometres, dropped to
// kNoRecord and +inf when that distance is beyond `max_km`. A non-finite
// position gets kNoRecord and NaN. Fails like nearest_records.
// REQUIRES: distances_km is empty or as long as items; max_km >= 0;
// workers >= 1.
Status nearest_records_within(const ReverseGeocoder& geocoder,
                              const NumberColumn& lats,
                              const NumberColumn& lons, double max_km,
                              std::span<std::uint32_t> items,
                              std::span<double> distances_km, unsigned workers);

// What a search for every record within a radius found, before it is laid
// out in the caller's arrays: the rows of consecutive blocks of positions,
// each block held apart so that threads never share a growing buffer.
class WithinRows {
 public:
  WithinRows(WithinRows&&) noexcept;
  WithinRows& operator=(WithinRows&&) noexcept;
  WithinRows(const WithinRows&) = delete;
  WithinRows& operator=(const WithinRows&) = delete;
  ~WithinRows();

  // Number of positions searched.
  std::size_t positions() const { return positions_; }
  // Number of records found over all positions.
  std::uint64_t total() const { return total_; }
  // Whether distances were kept.
  bool has_distances() const { return with_distances_; }

  // Writes the compressed rows: offsets[0] = 0 and offsets[i + 1] -
  // offsets[i] records for position i, at items[offsets[i], offsets[i+1])
  // and, when distances were kept, distances_km likewise.
  // REQUIRES: offsets.size() == positions() + 1; items.size() == total();
  // distances_km.size() is total() when has_distances(), otherwise 0.
  void copy_to(std::span<std::uint64_t> offsets, std::span<std::uint32_t> items,
               std::span<double> distances_km) const;

 private:
  struct Block;
  friend class WithinSearch;
  WithinRows(std::size_t positions, bool with_distances);

  std::size_t positions_;
  bool with_distances_;
  std::uint64_t total_ = 0;
  // One entry per block of positions, in input order.
  std::vector<Block> blocks_;
};

// Every record within radii_km[i] of position i, for i < n. `radii_km` is a
// column of n values, or one value for all (a stride of 0). With `sort`
// each row is ordered by distance, then record number; otherwise in any
// order. A non-finite position gets an empty row. The geocoder without
// records gives empty rows. Fails on a corrupt index.
// Throws std::bad_alloc when the results do not fit in memory; every buffer
// of the call is then released and nothing is returned.
// REQUIRES: every radius is >= 0 (not NaN); workers >= 1.
Result<WithinRows> records_within(const ReverseGeocoder& geocoder,
                                  const NumberColumn& lats,
                                  const NumberColumn& lons,
                                  const NumberColumn& radii_km, std::size_t n,
                                  bool with_distances, bool sort,
                                  unsigned workers);

// counts[i] becomes the number of records within radii_km[i] of position i
// (0 for a non-finite position), as records_within would find them, without
// collecting the records. Fails on a corrupt index; counts are then
// unspecified.
// REQUIRES: every radius is >= 0 (not NaN); workers >= 1.
Status count_records_within(const ReverseGeocoder& geocoder,
                            const NumberColumn& lats, const NumberColumn& lons,
                            const NumberColumn& radii_km,
                            std::span<std::uint64_t> counts, unsigned workers);

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_BATCH_QUERIES_H_
