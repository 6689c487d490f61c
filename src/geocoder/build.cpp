// The build of a geocoder from CSV text: reading the header, accepting the
// data lines (checking each and computing its point), naming the columns,
// and building the tree. See ReverseGeocoder::build.

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "base/utf8.h"
#include "csv/lines.h"
#include "geocoder/build_errors.h"
#include "geocoder/float_parse.h"
#include "geocoder/geocoder.h"
#include "geocoder/messages.h"
#include "geocoder/sphere.h"

namespace quorvel {
namespace {

// Item numbers are 32-bit, and the tree needs fewer points than 2^32.
constexpr std::size_t kMaxRecords = std::numeric_limits<std::uint32_t>::max();

// Lines are checked for a stop request once per this many: a few
// microseconds of work, so the check's clock read costs nothing measurable.
constexpr std::size_t kLinesPerStopCheck = 4096;

// Which fields of a data line hold the latitude and the longitude.
struct CoordinateColumns {
  std::size_t lat;
  std::size_t lon;
};

// What construction reads from one data line: its field count and the text
// of its two coordinate fields (empty for a field the line lacks).
struct LineFields {
  std::size_t count = 0;
  std::string_view lat;
  std::string_view lon;
};

LineFields fields_of(const csv::Record& record, CoordinateColumns at) {
  LineFields fields;
  fields.count = record.size();
  if (at.lat < fields.count) fields.lat = record.field(at.lat);
  if (at.lon < fields.count) fields.lon = record.field(at.lon);
  return fields;
}

// Splits lines without quotes or carriage returns. The CSV reader splits
// such a line at every separator and changes no byte, so counting separators
// and keeping views of the coordinate fields gives the same answer without
// copying the line into a record.
class PlainLineSplitter {
 public:
  // REQUIRES: `sep` is ASCII and none of '"', CR, LF.
  PlainLineSplitter(char sep, CoordinateColumns at) : at_(at) {
    kind_[static_cast<unsigned char>(sep)] = kSeparator;
    kind_['"'] = kNeedsReader;
    kind_['\r'] = kNeedsReader;
  }

  // REQUIRES: `line` is valid UTF-8 (so no field can be invalid UTF-8).
  // Returns false when the line needs the full reader: it is empty or holds
  // a quote or a carriage return.
  bool split(std::string_view line, LineFields& out) const {
    if (line.empty()) return false;
    out.lat = std::string_view();
    out.lon = std::string_view();
    std::size_t field = 0;
    std::size_t field_start = 0;
    const auto close_field = [&](std::size_t end) {
      if (field == at_.lat) {
        out.lat = line.substr(field_start, end - field_start);
      } else if (field == at_.lon) {
        out.lon = line.substr(field_start, end - field_start);
      }
      ++field;
      field_start = end + 1;
    };
    // This loop sees every byte of the input: one table load and one
    // branch for each ordinary byte, instead of a comparison per special
    // byte.
    for (std::size_t i = 0; i < line.size(); ++i) {
      const std::uint8_t kind = kind_[static_cast<unsigned char>(line[i])];
      if (kind == kOrdinary) continue;
      if (kind == kNeedsReader) return false;
      close_field(i);
    }
    close_field(line.size());
    out.count = field;
    return true;
  }

 private:
  static constexpr std::uint8_t kOrdinary = 0;
  static constexpr std::uint8_t kSeparator = 1;
  static constexpr std::uint8_t kNeedsReader = 2;

  std::array<std::uint8_t, 256> kind_{};
  CoordinateColumns at_;
};

// The point of data line `line` (number `line_number`), which already has the
// header's field count: the latitude is parsed and checked before the
// longitude is looked at, so a line with two bad fields reports the latitude.
Result<kdtree::Point> coordinates_point(const LineFields& fields,
                                        CoordinateColumns at,
                                        std::size_t line_number,
                                        std::string_view line) {
  // A column beyond the header's can only be asked for by a caller who named
  // it by position; the default columns (0 and 1) only miss the longitude,
  // with a one-column header, which every line then matches.
  if (at.lat >= fields.count) {
    return build_errors::missing_coordinate(line_number, line, "latitude");
  }
  Result<double> lat = parse_float(fields.lat);
  if (!lat.ok()) {
    return build_errors::unparsed_coordinate(
        std::move(lat).error(), line_number, line, "lat", fields.lat);
  }
  // A non-finite coordinate would give a NaN vector that poisons every
  // search reaching its leaf; refuse it while the line is still known.
  if (!std::isfinite(lat.value())) {
    return build_errors::non_finite_coordinate(line_number, line, "lat",
                                               "latitude", fields.lat);
  }
  if (at.lon >= fields.count) {
    return build_errors::missing_coordinate(line_number, line, "longitude");
  }
  Result<double> lon = parse_float(fields.lon);
  if (!lon.ok()) {
    return build_errors::unparsed_coordinate(
        std::move(lon).error(), line_number, line, "lon", fields.lon);
  }
  if (!std::isfinite(lon.value())) {
    return build_errors::non_finite_coordinate(line_number, line, "lon",
                                               "longitude", fields.lon);
  }
  return lat_lon_to_point(lat.value(), lon.value());
}

// Parses `line` (number `line_number`) into `record`, refusing a line whose
// first record leaves text out.
Status parse_whole_line(std::string_view line, std::uint8_t sep,
                        std::size_t line_number, csv::Record& record) {
  std::size_t dropped_at = std::string_view::npos;
  if (Status s = csv::parse_csv_line_into(line, sep, record, &dropped_at);
      !s.ok()) {
    return build_errors::in_line(std::move(s).error(), line_number, line);
  }
  if (dropped_at != std::string_view::npos) {
    return build_errors::lost_text(line_number, line);
  }
  return Status::Ok();
}

// Rejects inputs that do not fit in 32-bit item numbers. `lines` counts the
// data lines, `rest` is the text after the header.
Status check_record_count(std::size_t lines, std::string_view rest) {
  // A final empty line holds no record.
  const bool last_empty = rest.ends_with("\n\n") || rest.ends_with("\n\r\n") ||
                          rest == "\n" || rest == "\r\n";
  const std::size_t records = lines - (last_empty ? 1 : 0);
  if (records <= kMaxRecords) return Status::Ok();
  return build_errors::too_many_records(records, kMaxRecords);
}

// The records accepted so far, in item order: point k and slice k belong to
// item k.
struct AcceptedRecords {
  std::vector<kdtree::Point> points;
  std::vector<StringSlice> slices;
};

// The checks every data line goes through, whichever way it was split: its
// field count against the header's, then its latitude, then its longitude.
Result<kdtree::Point> data_line_point(const LineFields& fields,
                                      std::size_t header_fields,
                                      CoordinateColumns at,
                                      std::size_t line_number,
                                      std::string_view line) {
  if (fields.count != header_fields) {
    return build_errors::in_line(
        build_errors::field_count(header_fields, line_number, fields.count),
        line_number, line);
  }
  return coordinates_point(fields, at, line_number, line);
}

// What the data lines of one build share: the text, the separator, the
// header's width and where the coordinates stand.
struct DataLines {
  std::string_view csv;
  std::uint8_t sep;
  std::size_t header_fields;
  CoordinateColumns at;
  std::size_t count;  // Lines after the header, a final empty one included.
};

// Accepts every data line with the stored text being the input itself: each
// slice is the line's place in `lines.csv`.
Status accept_lines_as_they_stand(const DataLines& lines,
                                  csv::LineSplitter& split,
                                  AcceptedRecords& out, StopCheck& stop_check) {
  const char plain_sep = static_cast<char>(lines.sep);
  const bool plain_lines_possible =
      plain_sep != '"' && plain_sep != '\r' && plain_sep != '\n';
  const PlainLineSplitter plain(plain_sep, lines.at);
  csv::Record record;
  LineFields fields;
  csv::Line line;
  for (std::size_t number = 1; split.next(line); ++number) {
    if (number == lines.count && line.len == 0) break;
    if (number % kLinesPerStopCheck == 0 && stop_check.due()) {
      return interrupted();
    }
    const std::string_view text = lines.csv.substr(line.start, line.len);
    // Most lines of a gazetteer hold no quote: they are split in place, and
    // only the others pay for the reader's decoded copy.
    if (!plain_lines_possible || !plain.split(text, fields)) {
      if (Status s = parse_whole_line(text, lines.sep, number, record);
          !s.ok()) {
        return s;
      }
      fields = fields_of(record, lines.at);
    }
    Result<kdtree::Point> point =
        data_line_point(fields, lines.header_fields, lines.at, number, text);
    if (!point.ok()) return std::move(point).error();
    out.points.push_back(point.value());
    out.slices.push_back({static_cast<std::ptrdiff_t>(line.start), line.len});
  }
  return Status::Ok();
}

// Accepts every data line and gives the stored text: the records re-encoded
// without their coordinate fields, one per line, each slice pointing into it.
Result<std::string> accept_lines_rewritten(const DataLines& lines,
                                           csv::LineSplitter& split,
                                           AcceptedRecords& out,
                                           StopCheck& stop_check) {
  // One pass does both jobs: each line is parsed once, re-encoded without
  // its coordinates, and checked. Every parse or writer failure must still
  // win over any line's field-count or coordinate failure, whatever their
  // order, so the first of the latter is held until the writer is done.
  csv::RecordWriter writer(lines.sep, lines.csv.size());
  csv::Record record;
  csv::Record dropped;
  std::optional<Error> held;
  csv::Line line;
  for (std::size_t number = 1; split.next(line); ++number) {
    if (number == lines.count && line.len == 0) break;
    if (number % kLinesPerStopCheck == 0 && stop_check.due()) {
      return interrupted();
    }
    const std::string_view text = lines.csv.substr(line.start, line.len);
    if (Status s = parse_whole_line(text, lines.sep, number, record); !s.ok()) {
      return std::move(s).error();
    }
    csv::drop_fields_into(record, lines.at.lat, lines.at.lon, dropped);
    const std::size_t start = writer.bytes().size();
    if (Status s = writer.write_record(dropped); !s.ok()) {
      return build_errors::in_line(std::move(s).error(), number, text);
    }
    if (held) continue;
    Result<kdtree::Point> point =
        data_line_point(fields_of(record, lines.at), lines.header_fields,
                        lines.at, number, text);
    if (!point.ok()) {
      held = std::move(point).error();
      continue;
    }
    // The written record holds no line feed of its own (its fields come
    // from a single line), so the rewritten text splits back into exactly
    // one line per record, cut by the same rule as any line.
    csv::Line written;
    csv::LineSplitter(writer.bytes(), start).next(written);
    out.points.push_back(point.value());
    out.slices.push_back(
        {static_cast<std::ptrdiff_t>(written.start), written.len});
  }
  if (held) return std::move(*held);
  Result<std::string> finished = writer.finish();
  if (!finished.ok()) return finished;
  if (const utf8::Validation v = utf8::validate(finished.value()); !v.ok) {
    return Error(utf8::describe(v));
  }
  return finished;
}

// The header's fields, read from the first line of `csv`; `split` is left at
// the first data line.
Result<csv::Record> read_header(std::string_view csv, csv::AsciiSeparator sep,
                                csv::LineSplitter& split) {
  csv::Line header;
  if (!split.next(header)) return Error(messages::kMissingFirstLine);
  csv::Record record;
  if (Status s = parse_whole_line(csv.substr(header.start, header.len),
                                  sep.byte(), 0, record);
      !s.ok()) {
    return std::move(s).error();
  }
  return record;
}

// Every data line accepted, and the text the geocoder stores: `csv` itself
// (moved out of the caller's string once every line is accepted, as `lines`
// views it until then), or with `drop_coordinates` the records re-encoded
// without their coordinate fields.
Result<std::string> accept_lines(std::string& csv, const DataLines& lines,
                                 csv::LineSplitter& split,
                                 bool drop_coordinates, AcceptedRecords& out,
                                 StopCheck& stop_check) {
  out.points.reserve(lines.count);
  out.slices.reserve(lines.count);
  if (drop_coordinates) {
    return accept_lines_rewritten(lines, split, out, stop_check);
  }
  if (Status s = accept_lines_as_they_stand(lines, split, out, stop_check);
      !s.ok()) {
    return std::move(s).error();
  }
  return std::move(csv);
}

// The column names: the header's fields, without the coordinate fields when
// they are dropped from the records.
std::vector<std::string> name_columns(csv::Record header, CoordinateColumns at,
                                      bool drop_coordinates) {
  csv::Record names;
  if (drop_coordinates) {
    csv::drop_fields_into(header, at.lat, at.lon, names);
  } else {
    names = std::move(header);
  }
  std::vector<std::string> columns;
  columns.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    columns.emplace_back(names.field(i));
  }
  return columns;
}

}  // namespace

Result<ReverseGeocoder> ReverseGeocoder::build(std::string csv,
                                               char32_t value_sep,
                                               bool drop_coordinates) {
  BuildOptions options;
  options.drop_coordinates = drop_coordinates;
  return build(std::move(csv), value_sep, options);
}

Result<ReverseGeocoder> ReverseGeocoder::build(std::string csv,
                                               char32_t value_sep,
                                               const BuildOptions& options,
                                               StopCheck& stop_check) {
  const std::optional<csv::AsciiSeparator> sep =
      csv::AsciiSeparator::from(value_sep);
  if (!sep) return build_errors::separator(value_sep);
  // One field cannot be both: dropping it twice would lose a column silently.
  if (options.lat_column == options.lon_column) {
    return Error(messages::kSameColumn + std::to_string(options.lat_column),
                 ErrorKind::kInvalidArgument);
  }
  const CoordinateColumns at{options.lat_column, options.lon_column};

  // Callers from Python always pass valid text, but the slices handed back by
  // lookups must be whole characters for any caller.
  if (const utf8::Validation v = utf8::validate(csv); !v.ok) {
    return Error(utf8::describe(v));
  }

  csv::LineSplitter split(csv);
  Result<csv::Record> header = read_header(csv, *sep, split);
  if (!header.ok()) return std::move(header).error();

  const std::string_view rest = std::string_view(csv).substr(split.position());
  const DataLines lines{csv, sep->byte(), header.value().size(), at,
                        csv::count_lines(rest)};
  if (Status s = check_record_count(lines.count, rest); !s.ok()) {
    return std::move(s).error();
  }

  AcceptedRecords accepted;
  Result<std::string> stored = accept_lines(
      csv, lines, split, options.drop_coordinates, accepted, stop_check);
  if (!stored.ok()) return std::move(stored).error();

  std::vector<std::string> columns =
      name_columns(std::move(header).value(), at, options.drop_coordinates);

  Result<kdtree::ImmutableKdTree> tree =
      kdtree::ImmutableKdTree::new_from_slice(
          std::span<const kdtree::Point>(accepted.points), stop_check);
  if (!tree.ok()) return std::move(tree).error();
  // The slices were cut from the stored text at line boundaries of valid
  // UTF-8, and item k of the tree is slice k: the parts agree as they are.
  return ReverseGeocoder(std::move(stored).value(), value_sep,
                         std::move(columns), std::move(accepted.slices),
                         std::move(tree).value());
}

}  // namespace quorvel
