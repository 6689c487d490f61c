#include "lib/geocoder.h"

#include <math.h>  // ::sincos (a GNU extension, declared for C++ by default)

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "csv/utf8.h"
#include "lib/float_parse.h"

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
    count += static_cast<std::size_t>(((zero >> 7) * 0x0101010101010101ULL) >> 56);
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

// The coordinates of one parsed data line, or the error that rejects it.
// `record` has already passed the field-count check against the header.
// The point of a line whose first field is `lat_text` and, when it has two
// or more fields, whose second is `lon_text`.
Result<kdtree::Point> coordinates_point(std::string_view lat_text,
                                        std::string_view lon_text,
                                        std::size_t field_count,
                                        std::size_t line_number) {
  Result<double> lat = parse_float(lat_text);
  if (!lat.ok()) return std::move(lat).error();
  // A non-finite coordinate would give a NaN vector that poisons every
  // search reaching its leaf; refuse it while the line is still known.
  if (!std::isfinite(lat.value())) {
    return Error(line_prefix(line_number) +
                 ": latitude is not a finite number");
  }
  // Only possible with a one-column header, which every line then matches.
  if (field_count < 2) {
    return Error(line_prefix(line_number) + " has no longitude field");
  }
  Result<double> lon = parse_float(lon_text);
  if (!lon.ok()) return std::move(lon).error();
  if (!std::isfinite(lon.value())) {
    return Error(line_prefix(line_number) +
                 ": longitude is not a finite number");
  }
  return lat_lon_to_point(lat.value(), lon.value());
}

Result<kdtree::Point> record_point(const csv::Record& record,
                                   std::size_t line_number) {
  return coordinates_point(
      record.field(0), record.size() >= 2 ? record.field(1) : std::string_view(),
      record.size(), line_number);
}

// The fields the CSV reader would find in a line without quotes or carriage
// returns: it splits such a line at every separator and changes no byte, so
// counting separators and keeping views of the first two fields gives the
// same answer without copying the line into a record.
struct PlainLine {
  std::size_t field_count;
  std::string_view first;
  std::string_view second;
};

// REQUIRES: `sep` is ASCII and none of '"', CR, LF; `line` is valid UTF-8
// (so no field can be invalid UTF-8). Returns false when the line needs the
// full reader: it is empty or holds a quote or a carriage return.
bool split_plain_line(std::string_view line, char sep, PlainLine& out) {
  if (line.empty()) return false;
  std::size_t fields = 1;
  std::size_t first_end = line.size();
  std::size_t second_end = line.size();
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == sep) {
      if (fields == 1) {
        first_end = i;
      } else if (fields == 2) {
        second_end = i;
      }
      ++fields;
    } else if (c == '"' || c == '\r') {
      return false;
    }
  }
  out.field_count = fields;
  out.first = line.substr(0, first_end);
  out.second = fields >= 2 ? line.substr(first_end + 1, second_end - first_end - 1)
                           : std::string_view();
  return true;
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
  if (value_sep >= 128) return separator_error(value_sep);
  const auto sep = static_cast<std::uint8_t>(value_sep);

  // Callers from Python always pass valid text, but the slices handed back by
  // lookups must be whole characters for any caller.
  if (const utf8::Validation v = utf8::validate(csv); !v.ok) {
    return Error(utf8::describe(v));
  }

  LineSplitter lines(csv);
  Line header;
  if (!lines.next(header)) return Error("missing first line in CSV");
  csv::Record header_record;
  if (Status s = csv::parse_csv_line_into(
          std::string_view(csv).substr(header.start, header.len), sep,
          header_record);
      !s.ok()) {
    return std::move(s).error();
  }
  const std::size_t header_fields = header_record.size();

  const std::string_view rest = std::string_view(csv).substr(lines.position());
  const std::size_t n = count_lines(rest);
  if (Status s = check_record_count(n, rest); !s.ok()) {
    return std::move(s).error();
  }

  std::vector<kdtree::Point> points;
  std::vector<StringSlice> slices;
  points.reserve(n);
  slices.reserve(n);
  csv::Record record;
  std::string stored;

  if (!drop_coordinates) {
    const char plain_sep = static_cast<char>(sep);
    const bool plain_lines_possible =
        plain_sep != '"' && plain_sep != '\r' && plain_sep != '\n';
    Line line;
    PlainLine plain;
    for (std::size_t number = 1; lines.next(line); ++number) {
      if (number == n && line.len == 0) break;
      const std::string_view text =
          std::string_view(csv).substr(line.start, line.len);
      if (plain_lines_possible && split_plain_line(text, plain_sep, plain)) {
        if (plain.field_count != header_fields) {
          return field_count_error(header_fields, number, plain.field_count);
        }
        Result<kdtree::Point> point = coordinates_point(
            plain.first, plain.second, plain.field_count, number);
        if (!point.ok()) return std::move(point).error();
        points.push_back(point.value());
        slices.push_back({static_cast<std::ptrdiff_t>(line.start), line.len});
        continue;
      }
      if (Status s = csv::parse_csv_line_into(text, sep, record); !s.ok()) {
        return std::move(s).error();
      }
      if (record.size() != header_fields) {
        return field_count_error(header_fields, number, record.size());
      }
      Result<kdtree::Point> point = record_point(record, number);
      if (!point.ok()) return std::move(point).error();
      points.push_back(point.value());
      slices.push_back({static_cast<std::ptrdiff_t>(line.start), line.len});
    }
  } else {
    // One pass does both jobs: each line is parsed once, re-encoded without
    // its coordinates, and checked. Every parse or writer failure must still
    // win over any line's field-count or coordinate failure, whatever their
    // order, so the first of the latter is held until the writer is done.
    csv::RecordWriter writer(sep, csv.size());
    csv::Record dropped;
    std::optional<Error> held;
    Line line;
    for (std::size_t number = 1; lines.next(line); ++number) {
      if (number == n && line.len == 0) break;
      const std::string_view text =
          std::string_view(csv).substr(line.start, line.len);
      if (Status s = csv::parse_csv_line_into(text, sep, record); !s.ok()) {
        return std::move(s).error();
      }
      csv::drop_record_coordinates_into(record, dropped);
      const std::size_t start = writer.bytes().size();
      if (Status s = writer.write_record(dropped); !s.ok()) {
        return std::move(s).error();
      }
      if (held) continue;
      if (record.size() != header_fields) {
        held = field_count_error(header_fields, number, record.size());
        continue;
      }
      Result<kdtree::Point> point = record_point(record, number);
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
      points.push_back(point.value());
      slices.push_back({static_cast<std::ptrdiff_t>(start), end - start});
    }
    if (held) return std::move(*held);
    Result<std::string> finished = writer.finish();
    if (!finished.ok()) return std::move(finished).error();
    stored = std::move(finished).value();
    if (const utf8::Validation v = utf8::validate(stored); !v.ok) {
      return Error(utf8::describe(v));
    }
  }

  std::vector<std::string> columns;
  const std::size_t first_column = drop_coordinates ? 2 : 0;
  for (std::size_t i = first_column; i < header_fields; ++i) {
    columns.emplace_back(header_record.field(i));
  }
  kdtree::ImmutableKdTree tree = kdtree::ImmutableKdTree::new_from_slice(
      std::span<const kdtree::Point>(points));
  // The slices were cut from the stored text at line boundaries of valid
  // UTF-8, and item k of the tree is slice k: the parts agree as they are.
  return ReverseGeocoder(drop_coordinates ? std::move(stored) : std::move(csv),
                         value_sep, std::move(columns), std::move(slices),
                         std::move(tree));
}

Result<std::string_view> ReverseGeocoder::get_nearest(double lat,
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
  return line(found.result.item);
}

Result<csv::Record> ReverseGeocoder::get_nearest_record(double lat,
                                                        double lon) const {
  Result<std::string_view> line = get_nearest(lat, lon);
  if (!line.ok()) return std::move(line).error();
  if (value_sep_ >= 128) return separator_error(value_sep_);
  Result<csv::Record> record =
      csv::parse_csv_line(line.value(), static_cast<std::uint8_t>(value_sep_));
  if (!record.ok()) return record;
  if (record.value().size() > columns_.size()) {
    return Error("the nearest record has " +
                 std::to_string(record.value().size()) +
                 " fields, but the geocoder has only " +
                 std::to_string(columns_.size()) + " columns");
  }
  return record;
}

}  // namespace quorvel
