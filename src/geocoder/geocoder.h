// The geocoder core: a record store built from CSV text and the nearest-place
// lookups over it. Plain C++; the Python binding only converts arguments and
// results.
//
// A ReverseGeocoder owns its stored text, the column names, one StringSlice
// per record and the k-d tree over the records' unit vectors. It never changes
// after construction, so any number of threads may run lookups on one
// instance concurrently. The parts always agree with each other: build()
// makes them so, and from_parts() refuses parts that do not.

#ifndef QUORVEL_GEOCODER_GEOCODER_H_
#define QUORVEL_GEOCODER_GEOCODER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/interrupt.h"
#include "csv/csv.h"
#include "geocoder/sphere.h"
#include "kdtree/kdtree.h"

namespace quorvel {

// Where one stored line lies in the geocoder's text, without its line ending.
struct StringSlice {
  std::ptrdiff_t offset;
  std::size_t len;
};

// Where build() finds the coordinates in each line, and what it stores.
struct BuildOptions {
  std::size_t lat_column = 0;  // Field index of the latitude.
  std::size_t lon_column = 1;  // Field index of the longitude.
  // Store the records without their two coordinate fields, and leave those
  // two out of the column names.
  bool drop_coordinates = false;
};

class ReverseGeocoder {
 public:
  // Builds a geocoder from CSV text: a header line, then one record per line
  // whose first two fields are latitude and longitude in decimal degrees.
  // With `drop_coordinates` the stored text is the records re-encoded without
  // their first two fields. All or nothing: on failure nothing is kept.
  // Besides malformed lines, refuses a non-ASCII separator, text that is not
  // UTF-8, a latitude or longitude that is not finite, a line without a
  // longitude (one-column header) and more than 2^32 - 1 records. A failure
  // in a line carries notes: the line's number (the header is line 0) and
  // its start, and for a coordinate, which one it is and the field's text.
  static Result<ReverseGeocoder> build(std::string csv, char32_t value_sep,
                                       bool drop_coordinates);

  // As above, with the latitude and longitude in the fields that `options`
  // names, wherever they stand; the default options give exactly the build
  // above. A coordinate column beyond the header's fails every data line for
  // want of that field. Equal columns fail with kInvalidArgument. The build
  // asks `stop_check` as it goes (between blocks of lines and during the
  // tree's build) and fails with interrupted() once it says stop.
  static Result<ReverseGeocoder> build(std::string csv, char32_t value_sep,
                                       const BuildOptions& options,
                                       StopCheck& stop_check = never_stop());

  // A geocoder of parts that come from elsewhere (a saved file), or a runtime
  // error "invalid saved geocoder: ..." naming the first rule they break and
  // where. The rules: every slice has a non-negative offset, lies inside
  // `csv`, and starts and ends on UTF-8 character boundaries; every item of a
  // filled slot of the tree is below the number of slices. `value_sep` and
  // the width of `columns` are not checked: lookups handle any separator and
  // any column count.
  static Result<ReverseGeocoder> from_parts(
      std::string csv, char32_t value_sep, std::vector<std::string> columns,
      std::vector<StringSlice> indexed_data, kdtree::ImmutableKdTree tree);

  // The same from the tree's unchecked fields, which must also pass the
  // tree's own rules (kdtree::ImmutableKdTree::from_parts). The slices are
  // checked first, then the tree, then its items. Asks `stop_check` between
  // runs of slices and leaves, failing with interrupted() once it says stop.
  static Result<ReverseGeocoder> from_parts(
      std::string csv, char32_t value_sep, std::vector<std::string> columns,
      std::vector<StringSlice> indexed_data, kdtree::TreeParts tree,
      StopCheck& stop_check = never_stop());

  // Fields in declaration order; the saved file writes them in this order.

  // The stored text every slice points into.
  const std::string& csv() const { return csv_; }
  // The separator exactly as passed.
  char32_t value_sep() const { return value_sep_; }
  const std::vector<std::string>& columns() const { return columns_; }
  // Entry i belongs to tree item i.
  const std::vector<StringSlice>& indexed_data() const { return indexed_data_; }
  const kdtree::ImmutableKdTree& tree() const { return tree_; }

  // Number of records.
  std::size_t size() const { return indexed_data_.size(); }

  // The record nearest to `unit` (a unit vector from lat_lon_to_point) and
  // its squared chord distance on the unit sphere, or the lookup error: a
  // runtime error for a geocoder without records or with a corrupt index,
  // kInvalidArgument for a vector with a non-finite coordinate. The one
  // search behind get_nearest and every batch, so that a batch answers what
  // a single lookup answers because it is the same code. Inline: a batch
  // calls it once per position, and the success path is one test.
  Result<kdtree::NearestResult> nearest_to(const kdtree::Point& unit) const {
    const kdtree::QueryOutcome found = tree_.nearest_one(unit);
    if (found.status == kdtree::QueryStatus::kOk) [[likely]] {
      return found.result;
    }
    return lookup_error(found.status);
  }

  // Fails with the lookups' error for a geocoder without records, which no
  // position can be looked up in; a batch asks before it starts, so that it
  // fails even when none of its positions is finite.
  Status check_has_records() const;

  // The stored line of record `item`, a view into csv() valid as long as
  // this geocoder.
  // REQUIRES: item < size().
  std::string_view line(std::uint32_t item) const {
    const StringSlice slice = indexed_data_[item];
    return std::string_view(csv_.data() + slice.offset, slice.len);
  }

  // Record `item` re-parsed into its fields, field i belonging to
  // columns()[i]. Fails when the line does not parse, when the stored
  // separator is not ASCII, and when the line has more fields than there are
  // columns. REQUIRES: item < size().
  Result<csv::Record> record_fields(std::uint32_t item) const;

  // The stored line of the record nearest to (lat, lon). Fails with
  // kInvalidArgument for a non-finite position, and with a runtime error for
  // a geocoder without records.
  Result<std::string_view> get_nearest(double lat, double lon) const;

  // The nearest record re-parsed into its fields, for the dictionary form.
  // Fails like get_nearest, when the line does not parse, when the stored
  // separator is not ASCII, and when the line has more fields than there are
  // columns. Field i belongs to columns()[i].
  Result<csv::Record> get_nearest_record(double lat, double lon) const;

 private:
  // The record nearest to (lat, lon), failing as get_nearest does.
  Result<std::uint32_t> nearest_item(double lat, double lon) const;

  // The one mapping of the tree's reasons for having no answer to the
  // lookup errors. REQUIRES: status is not kOk.
  [[gnu::cold, gnu::noinline]] static Error lookup_error(
      kdtree::QueryStatus status);

  // Takes parts that already agree with each other.
  ReverseGeocoder(std::string csv, char32_t value_sep,
                  std::vector<std::string> columns,
                  std::vector<StringSlice> indexed_data,
                  kdtree::ImmutableKdTree tree)
      : csv_(std::move(csv)),
        value_sep_(value_sep),
        columns_(std::move(columns)),
        indexed_data_(std::move(indexed_data)),
        tree_(std::move(tree)) {}

  // Every slice lies inside csv_ on character boundaries and every filled
  // slot's item indexes indexed_data_, so lookups read the text without
  // checks.
  std::string csv_;
  char32_t value_sep_;
  std::vector<std::string> columns_;
  std::vector<StringSlice> indexed_data_;
  kdtree::ImmutableKdTree tree_;
};

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_GEOCODER_H_
