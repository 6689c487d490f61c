// Nearest records restricted by a field's value: the core of `where=`.
//
// A ValueIndex covers one column of one geocoder. It groups the records by
// the text of that field and keeps, per distinct value, a k-d tree over the
// points of that value's records, so that "the nearest record whose field
// equals v" searches only those records. The answer is exactly that of a
// brute-force scan over them: the least squared chord, and among equal
// distances the lowest record number (the k-nearest rule; each value's tree
// carries its records in ascending order, and a search for one nearest
// orders ties by item). A record too short to have the field matches no
// value. The points are the geocoder's own index points; a record that the
// index stores only as part of a group of identical points takes the
// group's point (see duplicates.h), so it is found by its own value even
// where the group's lowest record has another. A geocoder stored without
// coordinates cannot tell its groups apart: only their lowest records are
// found.
//
// A ValueIndexCache builds each column's ValueIndex on first use and keeps
// it for the life of the geocoder.
//
// Thread safety: a ValueIndex never changes once built; any number of
// threads may search it. ValueIndexCache::get may be called from several
// threads at once; a column is built once, the others waiting for it.

#ifndef QUORVEL_GEOCODER_VALUE_INDEX_H_
#define QUORVEL_GEOCODER_VALUE_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/error.h"
#include "base/interrupt.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"
#include "kdtree/kdtree.h"

namespace quorvel {

// A value id meaning "no restriction": the plain nearest record.
inline constexpr std::uint32_t kAnyValue = 0xFFFFFFFFu;
// A value id meaning "a value no record has": no record.
inline constexpr std::uint32_t kAbsentValue = 0xFFFFFFFEu;

class ValueIndex {
 public:
  // Groups the records of `geocoder` by field `column` and builds one tree
  // per distinct value. Fails when a record does not parse.
  // REQUIRES: column < geocoder.columns().size().
  static Result<ValueIndex> build(const ReverseGeocoder& geocoder,
                                  std::size_t column);

  ValueIndex(ValueIndex&&) = default;
  ValueIndex& operator=(ValueIndex&&) = default;

  // The id of `value`, or kAbsentValue when no record has it.
  std::uint32_t find(std::string_view value) const;

  // The number of distinct values.
  std::size_t values() const { return trees_.size(); }

  // The nearest record with value `id` to the unit vector `query` and its
  // squared chord, or kNoRecord and NaN when the query is not finite or no
  // record of that value has a point.
  // REQUIRES: id < values().
  kdtree::NearestResult nearest(std::uint32_t id,
                                const kdtree::Point& query) const;

  // Bytes held, roughly (trees, record lists, value texts).
  std::size_t memory_bytes() const;

 private:
  ValueIndex() = default;

  std::unordered_map<std::string, std::uint32_t> ids_;
  // Per value: its tree (item k is records_[id][k]) and its records in
  // ascending order.
  std::vector<kdtree::ImmutableKdTree> trees_;
  std::vector<std::vector<std::uint32_t>> records_;
};

// For positions (lats[i], lons[i]): items[i] becomes the nearest record
// whose value id is values[i] (any record for kAnyValue, none for
// kAbsentValue), and squared_chords[i], when not empty, its squared chord
// (NaN where there is no record, as for a non-finite position). Positions
// without a restriction are searched as nearest_records searches them. Fails
// like nearest_records. REQUIRES: values and items have the same length;
// squared_chords is empty or as long as items; every id is below index.values()
// or one of the two constants; workers >= 1.
Status nearest_records_where(const ReverseGeocoder& geocoder,
                             const ValueIndex& index, const NumberColumn& lats,
                             const NumberColumn& lons,
                             std::span<const std::uint32_t> values,
                             std::span<std::uint32_t> items,
                             std::span<double> squared_chords, unsigned workers,
                             StopCheck& stop_check = never_stop());

// The ValueIndex of each column of one geocoder, built on first use.
class ValueIndexCache {
 public:
  ValueIndexCache() = default;
  ValueIndexCache(const ValueIndexCache&) = delete;
  ValueIndexCache& operator=(const ValueIndexCache&) = delete;

  // The index of `column`, built now if no earlier call built it. The
  // pointer stays valid as long as this cache.
  // REQUIRES: column < geocoder.columns().size(); the same geocoder on
  // every call.
  Result<const ValueIndex*> get(const ReverseGeocoder& geocoder,
                                std::size_t column);

 private:
  std::mutex mutex_;
  std::unordered_map<std::size_t, std::unique_ptr<ValueIndex>> built_;
};

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_VALUE_INDEX_H_
