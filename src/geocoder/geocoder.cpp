#include "geocoder/geocoder.h"

#include <math.h>  // ::sincos (a GNU extension, declared for C++ by default)

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "base/utf8.h"
#include "geocoder/float_parse.h"

namespace quorvel {
namespace {

// Item numbers are 32-bit, and the tree needs fewer points than 2^32.
constexpr std::size_t kMaxRecords = std::numeric_limits<std::uint32_t>::max();

// "must by an ASII character" is the message callers have always matched:
// a contract kept exactly as it reads (see docs/errors.md), not a typo to
// correct.
Error separator_error(char32_t value_sep) {
  return Error("Value separator must by an ASII character (got " +
               std::to_string(static_cast<std::uint32_t>(value_sep)) + ")");
}

// One line of a text: where it starts and its length without the line ending.
struct Line {
  std::size_t start;
  std::size_t len;
};

// Cuts a text after every line feed. The line feed is removed and, only then,
// one carriage return just before it; a final piece without a line feed is a
// line too and keeps any trailing carriage return.
class LineSplitter {
 public:
  explicit LineSplitter(std::string_view text, std::size_t from = 0)
      : text_(text), pos_(from) {}

  // False when the text is exhausted.
  bool next(Line& line) {
    if (pos_ >= text_.size()) return false;
    const char* base = text_.data();
    const void* lf = std::memchr(base + pos_, '\n', text_.size() - pos_);
    line.start = pos_;
    if (lf == nullptr) {
      line.len = text_.size() - pos_;
      pos_ = text_.size();
      return true;
    }
    std::size_t end = static_cast<const char*>(lf) - base;
    pos_ = end + 1;
    if (end > line.start && base[end - 1] == '\r') --end;
    line.len = end - line.start;
    return true;
  }

  std::size_t position() const { return pos_; }

 private:
  std::string_view text_;
  std::size_t pos_;
};

// Number of line feeds in `text`, eight bytes at a time: this pass touches
// the whole input before any parsing, so it has to be cheap.
std::size_t count_line_feeds(std::string_view text) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  constexpr std::uint64_t kFeeds = 0x0A0A0A0A0A0A0A0AULL;
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, 8);
    const std::uint64_t x = word ^ kFeeds;  // Zero bytes mark line feeds.
    // The top bit of each byte ends up set exactly when the byte is zero.
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    // One bit per byte at most, at bit 7 of each: a multiply sums them into
    // the top byte. (std::popcount is a library call on baseline x86-64.)
    count +=
        static_cast<std::size_t>(((zero >> 7) * 0x0101010101010101ULL) >> 56);
  }
  for (; i < n; ++i) count += p[i] == '\n';
  return count;
}

// Number of lines that LineSplitter yields from `text`.
std::size_t count_lines(std::string_view text) {
  if (text.empty()) return 0;
  return count_line_feeds(text) + (text.back() == '\n' ? 0 : 1);
}

std::string line_prefix(std::size_t line_number) {
  return "line " + std::to_string(line_number);
}

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

// Notes show at most this many characters of a line or a field: enough to
// recognise it, and still one line of a traceback.
constexpr std::size_t kExcerptChars = 80;

// `text` in single quotes for a note, cut after kExcerptChars characters
// (never inside one), with backslashes and control characters escaped so
// that the note stays on one line. Sets `*cut` when something was left out.
// REQUIRES: `text` is valid UTF-8.
std::string quoted_excerpt(std::string_view text, bool* cut) {
  std::string out = "'";
  std::size_t chars = 0;
  std::size_t i = 0;
  for (; i < text.size() && chars < kExcerptChars; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!utf8::is_continuation_byte(text[i])) ++chars;
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += static_cast<char>(c);
    }
  }
  // The last character taken may have continuation bytes still to come.
  while (i < text.size() && utf8::is_continuation_byte(text[i])) {
    out += text[i++];
  }
  *cut = i < text.size();
  out += '\'';
  return out;
}

// `error` with a note naming data line `line_number` and showing its start.
[[gnu::cold, gnu::noinline]] Error in_line(Error error, std::size_t line_number,
                                           std::string_view line) {
  bool cut = false;
  std::string shown = quoted_excerpt(line, &cut);
  error.with_note(
      line_prefix(line_number) +
      (cut ? " (cut to " + std::to_string(kExcerptChars) + " characters): "
           : ": ") +
      shown);
  return error;
}

// `error` with the notes of a coordinate that failed: the line, then which
// coordinate (`name`, "lat" or "lon") and the field's text.
Error in_field(Error error, std::size_t line_number, std::string_view line,
               const char* name, std::string_view field) {
  error = in_line(std::move(error), line_number, line);
  bool cut = false;
  std::string shown = quoted_excerpt(field, &cut);
  error.with_note(
      std::string(name) + " field" +
      (cut ? " (cut to " + std::to_string(kExcerptChars) + " characters): "
           : ": ") +
      shown);
  return error;
}

// The failures of one coordinate, `name` ("lat" or "lon") in notes and
// `word` ("latitude" or "longitude") in messages. Kept out of line: building
// messages and notes inline would weigh on the path every accepted line
// takes.
[[gnu::cold, gnu::noinline]] Error missing_coordinate(std::size_t line_number,
                                                      std::string_view line,
                                                      const char* word) {
  return in_line(Error(line_prefix(line_number) + " has no " + word + " field"),
                 line_number, line);
}

[[gnu::cold, gnu::noinline]] Error unparsed_coordinate(Error error,
                                                       std::size_t line_number,
                                                       std::string_view line,
                                                       const char* name,
                                                       std::string_view field) {
  return in_field(std::move(error), line_number, line, name, field);
}

[[gnu::cold, gnu::noinline]] Error non_finite_coordinate(
    std::size_t line_number, std::string_view line, const char* name,
    const char* word, std::string_view field) {
  return in_field(
      Error(line_prefix(line_number) + ": " + word + " is not a finite number"),
      line_number, line, name, field);
}

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
    return missing_coordinate(line_number, line, "latitude");
  }
  Result<double> lat = parse_float(fields.lat);
  if (!lat.ok()) {
    return unparsed_coordinate(std::move(lat).error(), line_number, line, "lat",
                               fields.lat);
  }
  // A non-finite coordinate would give a NaN vector that poisons every
  // search reaching its leaf; refuse it while the line is still known.
  if (!std::isfinite(lat.value())) {
    return non_finite_coordinate(line_number, line, "lat", "latitude",
                                 fields.lat);
  }
  if (at.lon >= fields.count) {
    return missing_coordinate(line_number, line, "longitude");
  }
  Result<double> lon = parse_float(fields.lon);
  if (!lon.ok()) {
    return unparsed_coordinate(std::move(lon).error(), line_number, line, "lon",
                               fields.lon);
  }
  if (!std::isfinite(lon.value())) {
    return non_finite_coordinate(line_number, line, "lon", "longitude",
                                 fields.lon);
  }
  return lat_lon_to_point(lat.value(), lon.value());
}

// A carriage return outside quotes ends a record, and the reader takes only
// the first record of a line: text after such a carriage return (a file with
// old Mac line ends, or a stray CR inside a field) would vanish from the
// fields while the stored line still shows it.
[[gnu::cold, gnu::noinline]] Error lost_text_error(std::size_t line_number,
                                                   std::string_view line) {
  return in_line(Error(line_prefix(line_number) +
                       ": a carriage return outside quotes ends the record, "
                       "and the text after it would be lost"),
                 line_number, line);
}

// Parses `line` (number `line_number`) into `record`, refusing a line whose
// first record leaves text out.
Status parse_whole_line(std::string_view line, std::uint8_t sep,
                        std::size_t line_number, csv::Record& record) {
  std::size_t dropped_at = std::string_view::npos;
  if (Status s = csv::parse_csv_line_into(line, sep, record, &dropped_at);
      !s.ok()) {
    return in_line(std::move(s).error(), line_number, line);
  }
  if (dropped_at != std::string_view::npos) {
    return lost_text_error(line_number, line);
  }
  return Status::Ok();
}

Error field_count_error(std::size_t header_fields, std::size_t line_number,
                        std::size_t fields) {
  return Error("column mismatch: header (line 0) has " +
               std::to_string(header_fields) + " values, line " +
               std::to_string(line_number) + " has " + std::to_string(fields) +
               " values");
}

// Rejects inputs that do not fit in 32-bit item numbers. `lines` counts the
// data lines, `rest` is the text after the header.
Status check_record_count(std::size_t lines, std::string_view rest) {
  // A final empty line holds no record.
  const bool last_empty = rest.ends_with("\n\n") || rest.ends_with("\n\r\n") ||
                          rest == "\n" || rest == "\r\n";
  const std::size_t records = lines - (last_empty ? 1 : 0);
  if (records <= kMaxRecords) return Status::Ok();
  return Error("too many records: " + std::to_string(records) +
               " data lines, but at most " + std::to_string(kMaxRecords) +
               " can be indexed");
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
    return in_line(field_count_error(header_fields, line_number, fields.count),
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
Status accept_lines_as_they_stand(const DataLines& lines, LineSplitter& split,
                                  AcceptedRecords& out) {
  const char plain_sep = static_cast<char>(lines.sep);
  const bool plain_lines_possible =
      plain_sep != '"' && plain_sep != '\r' && plain_sep != '\n';
  const PlainLineSplitter plain(plain_sep, lines.at);
  csv::Record record;
  LineFields fields;
  Line line;
  for (std::size_t number = 1; split.next(line); ++number) {
    if (number == lines.count && line.len == 0) break;
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
                                           LineSplitter& split,
                                           AcceptedRecords& out) {
  // One pass does both jobs: each line is parsed once, re-encoded without
  // its coordinates, and checked. Every parse or writer failure must still
  // win over any line's field-count or coordinate failure, whatever their
  // order, so the first of the latter is held until the writer is done.
  csv::RecordWriter writer(lines.sep, lines.csv.size());
  csv::Record record;
  csv::Record dropped;
  std::optional<Error> held;
  Line line;
  for (std::size_t number = 1; split.next(line); ++number) {
    if (number == lines.count && line.len == 0) break;
    const std::string_view text = lines.csv.substr(line.start, line.len);
    if (Status s = parse_whole_line(text, lines.sep, number, record); !s.ok()) {
      return std::move(s).error();
    }
    csv::drop_fields_into(record, lines.at.lat, lines.at.lon, dropped);
    const std::size_t start = writer.bytes().size();
    if (Status s = writer.write_record(dropped); !s.ok()) {
      return in_line(std::move(s).error(), number, text);
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
    // one line per record. Strip it by the same rule as any line.
    const std::string_view written = writer.bytes();
    std::size_t end = written.size() - 1;
    if (end > start && written[end - 1] == '\r') --end;
    out.points.push_back(point.value());
    out.slices.push_back({static_cast<std::ptrdiff_t>(start), end - start});
  }
  if (held) return std::move(*held);
  Result<std::string> finished = writer.finish();
  if (!finished.ok()) return finished;
  if (const utf8::Validation v = utf8::validate(finished.value()); !v.ok) {
    return Error(utf8::describe(v));
  }
  return finished;
}

}  // namespace

kdtree::Point lat_lon_to_point(double lat, double lon) {
  const double phi = lat * DEGREES_TO_RADIANS;
  const double lambda = lon * DEGREES_TO_RADIANS;
  double sin_phi, cos_phi, sin_lambda, cos_lambda;
  ::sincos(phi, &sin_phi, &cos_phi);
  ::sincos(lambda, &sin_lambda, &cos_lambda);
  return {cos_phi * cos_lambda, cos_phi * sin_lambda, sin_phi};
}

Result<ReverseGeocoder> ReverseGeocoder::build(std::string csv,
                                               char32_t value_sep,
                                               bool drop_coordinates) {
  BuildOptions options;
  options.drop_coordinates = drop_coordinates;
  return build(std::move(csv), value_sep, options);
}

Result<ReverseGeocoder> ReverseGeocoder::build(std::string csv,
                                               char32_t value_sep,
                                               const BuildOptions& options) {
  if (value_sep >= 128) return separator_error(value_sep);
  const auto sep = static_cast<std::uint8_t>(value_sep);
  // One field cannot be both: dropping it twice would lose a column silently.
  if (options.lat_column == options.lon_column) {
    const std::string column = std::to_string(options.lat_column);
    return Error("latitude and longitude are the same column: " + column,
                 ErrorKind::kInvalidArgument);
  }
  const CoordinateColumns at{options.lat_column, options.lon_column};
  const bool drop_coordinates = options.drop_coordinates;

  // Callers from Python always pass valid text, but the slices handed back by
  // lookups must be whole characters for any caller.
  if (const utf8::Validation v = utf8::validate(csv); !v.ok) {
    return Error(utf8::describe(v));
  }

  LineSplitter split(csv);
  Line header;
  if (!split.next(header)) return Error("missing first line in CSV");
  csv::Record header_record;
  const std::string_view header_text =
      std::string_view(csv).substr(header.start, header.len);
  if (Status s = parse_whole_line(header_text, sep, 0, header_record);
      !s.ok()) {
    return std::move(s).error();
  }

  const std::string_view rest = std::string_view(csv).substr(split.position());
  const DataLines lines{csv, sep, header_record.size(), at, count_lines(rest)};
  if (Status s = check_record_count(lines.count, rest); !s.ok()) {
    return std::move(s).error();
  }

  AcceptedRecords accepted;
  accepted.points.reserve(lines.count);
  accepted.slices.reserve(lines.count);
  std::string stored;
  if (drop_coordinates) {
    Result<std::string> rewritten =
        accept_lines_rewritten(lines, split, accepted);
    if (!rewritten.ok()) return std::move(rewritten).error();
    stored = std::move(rewritten).value();
  } else {
    if (Status s = accept_lines_as_they_stand(lines, split, accepted);
        !s.ok()) {
      return std::move(s).error();
    }
    stored = std::move(csv);
  }

  csv::Record names;
  if (drop_coordinates) {
    csv::drop_fields_into(header_record, lines.at.lat, lines.at.lon, names);
  } else {
    names = std::move(header_record);
  }
  std::vector<std::string> columns;
  columns.reserve(names.size());
  for (std::size_t i = 0; i < names.size(); ++i) {
    columns.emplace_back(names.field(i));
  }

  kdtree::ImmutableKdTree tree = kdtree::ImmutableKdTree::new_from_slice(
      std::span<const kdtree::Point>(accepted.points));
  // The slices were cut from the stored text at line boundaries of valid
  // UTF-8, and item k of the tree is slice k: the parts agree as they are.
  return ReverseGeocoder(std::move(stored), value_sep, std::move(columns),
                         std::move(accepted.slices), std::move(tree));
}

Result<std::uint32_t> ReverseGeocoder::nearest_item(double lat,
                                                    double lon) const {
  // A NaN query vector makes every distance unordered; refuse it up front.
  if (!std::isfinite(lat) || !std::isfinite(lon)) {
    return Error("latitude and longitude must be finite numbers",
                 ErrorKind::kInvalidArgument);
  }
  const kdtree::QueryOutcome found =
      tree_.nearest_one(lat_lon_to_point(lat, lon));
  switch (found.status) {
    case kdtree::QueryStatus::kOk:
      break;
    case kdtree::QueryStatus::kNoPoints:
      return Error("cannot look up a place: the geocoder has no records");
    case kdtree::QueryStatus::kQueryNotFinite:
      return Error("latitude and longitude must be finite numbers",
                   ErrorKind::kInvalidArgument);
    case kdtree::QueryStatus::kCorruptTree:
      return Error("the geocoder's spatial index is corrupt");
  }
  // The answer is a filled slot's item, or item 0 when no stored point is at
  // a finite distance; the tree holds points, so there is a slice 0 and
  // every filled slot's item has its slice.
  return found.result.item;
}

Result<std::string_view> ReverseGeocoder::get_nearest(double lat,
                                                      double lon) const {
  Result<std::uint32_t> item = nearest_item(lat, lon);
  if (!item.ok()) return std::move(item).error();
  return line(item.value());
}

Result<csv::Record> ReverseGeocoder::record_fields(std::uint32_t item) const {
  if (value_sep_ >= 128) return separator_error(value_sep_);
  Result<csv::Record> record =
      csv::parse_csv_line(line(item), static_cast<std::uint8_t>(value_sep_));
  if (!record.ok()) return record;
  if (record.value().size() > columns_.size()) {
    return Error("the nearest record has " +
                 std::to_string(record.value().size()) +
                 " fields, but the geocoder has only " +
                 std::to_string(columns_.size()) + " columns");
  }
  return record;
}

Result<csv::Record> ReverseGeocoder::get_nearest_record(double lat,
                                                        double lon) const {
  Result<std::uint32_t> item = nearest_item(lat, lon);
  if (!item.ok()) return std::move(item).error();
  return record_fields(item.value());
}

}  // namespace quorvel
