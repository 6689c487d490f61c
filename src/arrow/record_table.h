// Result tables from record numbers: the nearest places (or any records) as
// Arrow columns, one dictionary-encoded string column per chosen field of
// the geocoder's records, plus an optional float64 distance column; and
// likewise the regions found for positions, from a Regions' records.
//
// The dictionary of a column holds each distinct value of the field among
// the records the rows name, once, in the order the records first occur:
// consumers turn it into a categorical type, which refuses repeated values.
// The rows are first numbered by distinct record, once for all columns;
// a column whose values are all distinct among those records (typically a
// name) uses that numbering as its indices, shared with the other such
// columns, and the others get indices of their own. So the string columns
// cost at most 4 bytes and 1 bit per row each, often less, plus their
// dictionaries. A column has a bitmap of its own only when some record named
// is too short to have its field; that row is then null in that column
// alone.
//
// Thread safety: reads the immutable geocoder or regions only; calls on one
// of them may run at once.

#ifndef QUORVEL_ARROW_RECORD_TABLE_H_
#define QUORVEL_ARROW_RECORD_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "arrow/table.h"
#include "base/error.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"
#include "regions/regions.h"

namespace quorvel::arrow {

// The name of the distance column.
inline constexpr const char* kDistanceColumn = "distance_km";

// What a result table holds.
struct RecordColumns {
  // Indexes into the source's columns(), in the order the columns appear; a
  // field may be chosen more than once. Column names are the source's.
  std::vector<std::size_t> fields;
  // When set, a "distance_km" column last: entry i for row i, taken over
  // without copying; null wherever the row is null.
  std::optional<std::vector<double>> distances_km;
};

// A table of one batch with a row for each of `items`: row i shows record
// items[i], or nulls when it is kNoRecord (what the
// batch search gives a missing position). Fails with kInvalidArgument for a
// field beyond the geocoder's columns, a record number beyond its records,
// distances of another length than `items`, or 2^31 or more distinct records
// (more than int32 indices can name); and with the geocoder's error when a
// named record does not parse.
Result<std::shared_ptr<const Table>> build_record_table(
    const ReverseGeocoder& geocoder, std::span<const std::uint32_t> items,
    RecordColumns columns);

// The same table over the records of `regions`: row i shows region
// items[i], or nulls when it is regions::kNoRegion (what a region lookup
// gives a position in no region). Fails as above, a region number beyond
// the regions standing for a record beyond the records.
Result<std::shared_ptr<const Table>> build_record_table(
    const regions::Regions& regions, std::span<const std::uint32_t> items,
    RecordColumns columns);

}  // namespace quorvel::arrow

#endif  // QUORVEL_ARROW_RECORD_TABLE_H_
