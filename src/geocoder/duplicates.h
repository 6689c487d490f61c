// Records that share one exact position with a record the index holds.
//
// The index may store a group of identical points once, under the lowest
// record number of the group, so its searches find only that record. Every
// record is still an answer of its own: the searches beyond the single
// nearest expand each stored record into its group, at the same distance.
//
// The records the index does not hold are placed by their own coordinates,
// read back from their stored lines: the two fields that give, for records
// the index does hold, exactly the unit vectors it holds. A geocoder whose
// records were stored without their coordinates has no such fields; its
// table stays empty, and a search finds one record (the lowest) per group.
//
// Thread safety: a DuplicateTable never changes once built. LazyDuplicates
// builds its table once, on the first get() from any thread.

#ifndef QUORVEL_GEOCODER_DUPLICATES_H_
#define QUORVEL_GEOCODER_DUPLICATES_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "geocoder/geocoder.h"

namespace quorvel {

class DuplicateTable {
 public:
  // The table of `geocoder`: for every record the index holds, the records
  // at exactly its position that the index does not hold.
  static DuplicateTable build(const ReverseGeocoder& geocoder);

  // True when every record is in the index (nothing to expand).
  bool empty() const { return ranges_.empty(); }

  // The records at the position of indexed record `item` that the index
  // does not hold, ascending (all above `item`); empty for most records.
  std::span<const std::uint32_t> followers(std::uint32_t item) const {
    if (ranges_.empty()) return {};
    const auto it = ranges_.find(item);
    if (it == ranges_.end()) return {};
    return std::span<const std::uint32_t>(members_).subspan(it->second.first,
                                                            it->second.second);
  }

 private:
  // Indexed record -> (start, count) of its followers in members_.
  std::unordered_map<std::uint32_t, std::pair<std::size_t, std::size_t>>
      ranges_;
  std::vector<std::uint32_t> members_;
};

// The table of one geocoder, built on first use.
class LazyDuplicates {
 public:
  // REQUIRES: `geocoder` outlives this object.
  explicit LazyDuplicates(const ReverseGeocoder& geocoder) noexcept
      : geocoder_(geocoder) {}
  LazyDuplicates(const LazyDuplicates&) = delete;
  LazyDuplicates& operator=(const LazyDuplicates&) = delete;

  // The table, built by the first caller while any others wait. Throws
  // std::bad_alloc when it does not fit in memory (a later call tries again).
  const DuplicateTable& get() const;

 private:
  const ReverseGeocoder& geocoder_;
  mutable std::once_flag once_;
  mutable std::unique_ptr<DuplicateTable> table_;
};

// Widens the rows of a k-nearest search to the records the index does not
// hold: row i (items[i*k, i*k+k), distances_km beside it) becomes the k
// first of its records and their followers, by distance and then record
// number; empty slots (kNoRecord) stay last with their distance.
// REQUIRES: distances_km as long as items; items.size() % k == 0.
void expand_k_rows(const DuplicateTable& table, std::size_t k,
                   std::span<std::uint32_t> items,
                   std::span<double> distances_km);

// Widens compressed rows (offsets of n + 1, items, and distances_km beside
// them or empty) to the records the index does not hold: each record is
// followed by its followers, at its distance. With `sort`, a row that grew
// is ordered again by distance and then record number.
// REQUIRES: distances_km as long as items when `sort`.
void expand_within_rows(const DuplicateTable& table,
                        std::span<const std::uint64_t> offsets,
                        std::span<const std::uint32_t> items,
                        std::span<const double> distances_km, bool sort,
                        std::vector<std::uint64_t>* out_offsets,
                        std::vector<std::uint32_t>* out_items,
                        std::vector<double>* out_distances_km);

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_DUPLICATES_H_
