// Geocoding a table of positions held as CSV bytes, a chunk at a time: the
// command line's fast path, which never turns a row into Python objects.
//
// split_table_rows cuts a chunk into rows (quoted fields may hold separators
// and line breaks, per the dialect of csv/csv.h) and reads each row's
// latitude and longitude; PlaceAppender then writes every row back followed
// by the fields of its nearest record. A position that is missing, not a
// number or outside [-90, 90] x [-180, 180] is not an error: its row gets
// empty place fields and is reported to the caller by its line.
//
// With borders, each row's region (its country, say) is looked up first; the
// row gets the region's chosen fields, then the nearest record whose match
// field equals the region's match field, so that a position in Windsor is
// labelled with a Canadian place even where Detroit's are nearer.
//
// Thread safety: split_table_rows is a pure function. A PlaceAppender keeps a
// cache of encoded records and scratch buffers, so one instance belongs to one
// thread at a time; it only reads its geocoder, regions and value index, which
// must outlive it.

#ifndef QUORVEL_GEOCODER_TABLE_ROWS_H_
#define QUORVEL_GEOCODER_TABLE_ROWS_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/interrupt.h"
#include "geocoder/geocoder.h"
#include "geocoder/value_index.h"
#include "regions/regions.h"

namespace quorvel {

// Why a row's position cannot be looked up, or kValid.
enum class PositionState : std::uint8_t {
  kValid,
  kMissing,      // The row has no such field, or the field is empty.
  kUnparseable,  // The field is not a decimal number.
  kOutOfRange,   // A latitude beyond +-90 or a longitude beyond +-180.
};

// The rows found in one chunk. Row i's bytes, without their line ending, are
// chunk[begins[i], ends[i]); it starts line_offsets[i] line breaks after the
// chunk's start. lats[i] and lons[i] are NaN unless states[i] is kValid.
struct TableRows {
  std::vector<std::size_t> begins;
  std::vector<std::size_t> ends;
  std::vector<std::size_t> line_offsets;
  std::vector<double> lats;
  std::vector<double> lons;
  std::vector<PositionState> states;
  // For each row that is not kValid, whether the latitude is at fault (else
  // the longitude), and the field's decoded text, for messages.
  std::vector<bool> lat_at_fault;
  std::vector<std::string> fault_texts;
  // The bytes of the complete rows (line endings and skipped empty lines
  // included); a caller hands the rest to the next call, with more bytes.
  std::size_t consumed = 0;
  // Line breaks within the consumed bytes (CR LF counts once).
  std::size_t line_breaks = 0;

  std::size_t size() const { return begins.size(); }
  // Empties every list, keeping their capacity.
  void clear();
};

// Splits `chunk` into rows with separator `sep` and reads the fields
// `lat_column` and `lon_column` of each as decimal degrees (ASCII spaces and
// tabs around the number are ignored). Without `final`, a row is taken only
// when its line ending is in the chunk (a CR at the very end waits for a
// possible LF); with `final`, the chunk's end also ends the last row. Empty
// lines are skipped. `out` is cleared first.
void split_table_rows(std::string_view chunk, std::uint8_t sep,
                      std::size_t lat_column, std::size_t lon_column,
                      bool final, TableRows& out);

// The "field" text of a message about a row that is not kValid, such as
// "latitude \"abc\" is not a number" or "no longitude field".
// REQUIRES: i < rows.size() and rows.states[i] != kValid.
std::string position_fault(const TableRows& rows, std::size_t i);

// `text` as one CSV field with separator `sep`: quoted, quotes doubled, when
// it holds the separator, a quote, CR or LF; as it is otherwise.
std::string encode_csv_field(std::string_view text, std::uint8_t sep);

// The region lookup that restricts each row's place, for PlaceAppender.
struct BorderOptions {
  // The regions; null appends places without borders.
  const regions::Regions* regions = nullptr;
  // The value index over the geocoder's match column (see value_index.h).
  const ValueIndex* values = nullptr;
  // The regions' column whose field a place's match field must equal. An
  // empty field restricts nothing: the row gets the plain nearest record.
  std::size_t region_match = 0;
  // Regions' column indices written before the place's fields, in order.
  std::vector<std::size_t> region_fields;
  // A position outside every region takes the region whose boundary is
  // nearest within this many kilometres (see Regions::lookup).
  double max_distance_km = 0.0;
};

// What PlaceAppender writes after each row.
struct AppendOptions {
  std::uint8_t sep = ',';
  // Column indices of the geocoder's records, in output order.
  std::vector<std::size_t> fields;
  // Append the great-circle distance in kilometres as a last field.
  bool distance = false;
  // Beyond this distance in kilometres the place fields stay empty (the
  // distance too); infinity keeps every answer.
  double max_distance_km = std::numeric_limits<double>::infinity();
  // Region fields first and places on the region's side of its borders.
  BorderOptions borders;
};

// Writes rows followed by the fields of their nearest record.
class PlaceAppender {
 public:
  // An appender over `geocoder`. Fails with kInvalidArgument when a field
  // index is not one of the geocoder's (or the regions') columns or a
  // distance is NaN or negative, and when a region's field does not parse.
  // REQUIRES: geocoder, and with borders the regions and the value index
  // (built over this geocoder), outlive the appender.
  static Result<PlaceAppender> create(const ReverseGeocoder& geocoder,
                                      AppendOptions options);

  // Looks up every kValid row of `rows` (cut from `chunk`) on up to `workers`
  // threads and appends, for each row, its bytes, with borders the region's
  // chosen fields (empty where there is no region), the chosen fields of its
  // nearest record (empty for a row that is not kValid or lies too far, and
  // with borders where no record is in the row's region) and, with
  // `distance`, the distance, each after a separator, then LF. Fails as
  // nearest_records does (interrupted() included, when `stop_check` stops
  // the search), or when a stored record does not parse; `out` then holds
  // an unspecified prefix.
  // REQUIRES: workers >= 1.
  Status append(std::string_view chunk, const TableRows& rows, unsigned workers,
                std::string& out, StopCheck& stop_check = never_stop());

  // The separator written between fields.
  std::uint8_t sep() const { return options_.sep; }

 private:
  PlaceAppender(const ReverseGeocoder& geocoder, AppendOptions options);

  // The encoded fields of record `item` (without a leading separator),
  // encoded on first use and kept.
  Result<std::string_view> encoded(std::uint32_t item);

  const ReverseGeocoder* geocoder_;
  AppendOptions options_;
  // What a row without a place gets: the separators between empty fields.
  std::string empty_fields_;
  // Record i's encoded fields are cache_[cache_begin_[i], cache_end_[i]),
  // unless cache_end_[i] is kNotEncoded. Encoding on first use keeps a run
  // over a few places from paying for every record of a large geocoder.
  static constexpr std::size_t kNotEncoded = static_cast<std::size_t>(-1);
  std::string cache_;
  std::vector<std::size_t> cache_begin_;
  std::vector<std::size_t> cache_end_;
  // With borders: each region's encoded fields (each after a separator) and
  // its value id in the value index (kAnyValue for an empty match field);
  // what a row without a region gets.
  std::vector<std::string> region_texts_;
  std::vector<std::uint32_t> region_values_;
  std::string no_region_;
  // Per-call scratch, kept for its capacity.
  std::vector<std::uint32_t> regions_found_;
  std::vector<std::uint32_t> value_ids_;
  std::vector<std::uint32_t> items_;
  std::vector<double> chords_;
};

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_TABLE_ROWS_H_
