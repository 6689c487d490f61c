// The geocoder core: a record store built from CSV text and the nearest-place
// lookups over it. Plain C++; the Python binding only converts arguments and
// results.
//
// A ReverseGeocoder owns its stored text, the column names, one StringSlice
// per record and the k-d tree over the records' unit vectors. It never changes
// after construction, so any number of threads may run lookups on one
// instance concurrently.

#ifndef QUORVEL_LIB_GEOCODER_H_
#define QUORVEL_LIB_GEOCODER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv.h"
#include "kdtree/kdtree.h"
#include "lib/error.h"

namespace quorvel {

// The double nearest to pi / 180.
inline constexpr double DEGREES_TO_RADIANS = 0.017453292519943295;

// Where one stored line lies in the geocoder's text, without its line ending.
struct StringSlice {
  std::ptrdiff_t offset;
  std::size_t len;
};

// The unit vector of a latitude and longitude in degrees. Construction and
// lookups both use it, so identical inputs give bit-identical vectors.
kdtree::Point lat_lon_to_point(double lat, double lon);

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
  // Fields in declaration order; the saved file writes them in this order.
  std::string csv;             // The stored text every slice points into.
  char32_t value_sep = U',';   // The separator exactly as passed.
  std::vector<std::string> columns;
  std::vector<StringSlice> indexed_data;  // Entry i belongs to tree item i.
  kdtree::ImmutableKdTree tree;

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
  // want of that field. Equal columns fail with kInvalidArgument.
  static Result<ReverseGeocoder> build(std::string csv, char32_t value_sep,
                                       const BuildOptions& options);

  // The stored line of the record nearest to (lat, lon), as a view into
  // `csv` (valid as long as this geocoder). Fails with kInvalidArgument for
  // a non-finite position, and with a runtime error for a geocoder without
  // records or one whose loaded parts disagree.
  Result<std::string_view> get_nearest(double lat, double lon) const;

  // The nearest record re-parsed into its fields, for the dictionary form.
  // Fails like get_nearest, when the line does not parse, when the stored
  // separator is not ASCII, and when the line has more fields than there are
  // columns. Field i belongs to columns[i].
  Result<csv::Record> get_nearest_record(double lat, double lon) const;
};

}  // namespace quorvel

#endif  // QUORVEL_LIB_GEOCODER_H_
