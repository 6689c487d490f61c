#include "geocoder/table_rows.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "geocoder/batch_search.h"
#include "geocoder/float_parse.h"
#include "geocoder/region_batch.h"

namespace quorvel {

namespace {

constexpr char kQuote = '"';
constexpr std::size_t kNoField = std::numeric_limits<std::size_t>::max();
// Longer field texts are cut in messages: a row is reported by its line, the
// text only helps to recognise it.
constexpr std::size_t kFaultTextLimit = 40;

// Where one field's raw bytes (quotes included) lie in the chunk.
struct FieldSpan {
  std::size_t begin = kNoField;
  std::size_t end = kNoField;
};

// The decoded text of a raw field: quotes at the start open a quoted run in
// which doubled quotes stand for one; text after the closing quote joins the
// field, as the line codec reads it.
std::string_view decode_field(std::string_view raw, std::string& scratch) {
  if (raw.empty() || raw.front() != kQuote) return raw;
  scratch.clear();
  bool quoted = true;
  for (std::size_t i = 1; i < raw.size(); ++i) {
    const char c = raw[i];
    if (quoted && c == kQuote) {
      if (i + 1 < raw.size() && raw[i + 1] == kQuote) {
        scratch.push_back(kQuote);
        ++i;
      } else {
        quoted = false;
      }
    } else {
      scratch.push_back(c);
    }
  }
  return scratch;
}

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
    text.remove_prefix(1);
  }
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
    text.remove_suffix(1);
  }
  return text;
}

// Reads one coordinate; `limit` is 90 for a latitude, 180 for a longitude.
PositionState read_coordinate(std::string_view text, double limit,
                              double& value) {
  text = trim_blanks(text);
  if (text.empty()) return PositionState::kMissing;
  Result<double> parsed = parse_float(text);
  if (!parsed.ok()) return PositionState::kUnparseable;
  value = parsed.value();
  if (std::isnan(value)) return PositionState::kMissing;
  if (!(std::fabs(value) <= limit)) return PositionState::kOutOfRange;
  return PositionState::kValid;
}

// Line breaks in `text`: LF, and CR not followed by LF.
std::size_t count_line_breaks(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' ||
        (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))) {
      ++count;
    }
  }
  return count;
}

// The bytes that end an unquoted run: the separator, CR and LF.
std::array<bool, 256> run_stops(std::uint8_t sep) {
  std::array<bool, 256> stops{};
  stops[sep] = true;
  stops['\r'] = true;
  stops['\n'] = true;
  return stops;
}

}  // namespace

void TableRows::clear() {
  begins.clear();
  ends.clear();
  line_offsets.clear();
  lats.clear();
  lons.clear();
  states.clear();
  lat_at_fault.clear();
  fault_texts.clear();
  consumed = 0;
  line_breaks = 0;
}

void split_table_rows(std::string_view chunk, std::uint8_t sep,
                      std::size_t lat_column, std::size_t lon_column,
                      bool final, TableRows& out) {
  out.clear();
  const std::array<bool, 256> stops = run_stops(sep);
  const char* const data = chunk.data();
  const std::size_t n = chunk.size();
  std::size_t pos = 0;
  std::size_t breaks = 0;
  std::string scratch;
  while (pos < n) {
    // Empty lines are skipped, as the line codec skips them.
    if (data[pos] == '\n') {
      ++pos;
      ++breaks;
      continue;
    }
    if (data[pos] == '\r') {
      if (pos + 1 == n && !final) break;
      pos += (pos + 1 < n && data[pos + 1] == '\n') ? 2 : 1;
      ++breaks;
      continue;
    }
    // One row, field by field. It is kept only once its end is known, so an
    // incomplete row at the chunk's end leaves no trace.
    const std::size_t row_begin = pos;
    std::size_t row_breaks = 0;
    std::size_t field = 0;
    FieldSpan lat_span;
    FieldSpan lon_span;
    std::size_t p = pos;
    bool complete = false;
    std::size_t row_end = 0;
    for (;;) {
      const std::size_t field_begin = p;
      if (p < n && data[p] == kQuote) {
        // A quoted run may hold separators and line breaks; a doubled quote
        // reopens it.
        ++p;
        for (;;) {
          const void* quote = std::memchr(data + p, kQuote, n - p);
          const std::size_t close =
              quote ? static_cast<std::size_t>(static_cast<const char*>(quote) -
                                               data)
                    : n;
          row_breaks += count_line_breaks(chunk.substr(p, close - p));
          p = close;
          if (p == n) break;
          ++p;
          if (p < n && data[p] == kQuote) {
            ++p;
            continue;
          }
          break;
        }
      }
      while (p < n && !stops[static_cast<std::uint8_t>(data[p])]) ++p;
      if (field == lat_column) lat_span = {field_begin, p};
      if (field == lon_column) lon_span = {field_begin, p};
      if (p == n) {
        if (final) {
          row_end = n;
          complete = true;
        }
        break;
      }
      if (static_cast<std::uint8_t>(data[p]) == sep && data[p] != '\r' &&
          data[p] != '\n') {
        ++p;
        ++field;
        continue;
      }
      // A line ending ends the row.
      row_end = p;
      if (data[p] == '\n') {
        ++p;
      } else if (p + 1 < n) {
        p += data[p + 1] == '\n' ? 2 : 1;
      } else if (final) {
        ++p;
      } else {
        break;  // A CR at the chunk's end: an LF may follow in the next.
      }
      ++row_breaks;
      complete = true;
      break;
    }
    if (!complete) break;

    double lat = std::numeric_limits<double>::quiet_NaN();
    double lon = lat;
    PositionState state = PositionState::kMissing;
    bool lat_fault = true;
    std::string_view fault_text;
    if (lat_span.begin != kNoField) {
      fault_text = decode_field(
          chunk.substr(lat_span.begin, lat_span.end - lat_span.begin), scratch);
      state = read_coordinate(fault_text, 90.0, lat);
    }
    if (state == PositionState::kValid) {
      lat_fault = false;
      fault_text = {};
      state = PositionState::kMissing;
      if (lon_span.begin != kNoField) {
        fault_text = decode_field(
            chunk.substr(lon_span.begin, lon_span.end - lon_span.begin),
            scratch);
        state = read_coordinate(fault_text, 180.0, lon);
      }
    }
    if (state != PositionState::kValid) {
      lat = std::numeric_limits<double>::quiet_NaN();
      lon = lat;
      out.lat_at_fault.push_back(lat_fault);
      out.fault_texts.emplace_back(
          fault_text.substr(0, std::min(fault_text.size(), kFaultTextLimit)));
    }
    out.begins.push_back(row_begin);
    out.ends.push_back(row_end);
    out.line_offsets.push_back(breaks);
    out.lats.push_back(lat);
    out.lons.push_back(lon);
    out.states.push_back(state);
    breaks += row_breaks;
    pos = p;
  }
  out.consumed = pos;
  out.line_breaks = breaks;
}

std::string position_fault(const TableRows& rows, std::size_t i) {
  // Faults are stored for the rows that have one, in row order.
  std::size_t fault = 0;
  for (std::size_t j = 0; j < i; ++j) {
    if (rows.states[j] != PositionState::kValid) ++fault;
  }
  const std::string name = rows.lat_at_fault[fault] ? "latitude" : "longitude";
  const std::string& text = rows.fault_texts[fault];
  switch (rows.states[i]) {
    case PositionState::kMissing:
      return text.empty() ? name + " is missing"
                          : name + " \"" + text + "\" is missing";
    case PositionState::kUnparseable:
      return name + " \"" + text + "\" is not a number";
    case PositionState::kOutOfRange:
      return name + " " + text + " is out of range";
    case PositionState::kValid:
      break;
  }
  panic("position_fault called for a valid row");
}

std::string encode_csv_field(std::string_view text, std::uint8_t sep) {
  const bool quote = std::any_of(text.begin(), text.end(), [sep](char c) {
    return static_cast<std::uint8_t>(c) == sep || c == kQuote || c == '\r' ||
           c == '\n';
  });
  if (!quote) return std::string(text);
  std::string encoded;
  encoded.reserve(text.size() + 2);
  encoded.push_back(kQuote);
  for (const char c : text) {
    if (c == kQuote) encoded.push_back(kQuote);
    encoded.push_back(c);
  }
  encoded.push_back(kQuote);
  return encoded;
}

Result<PlaceAppender> PlaceAppender::create(const ReverseGeocoder& geocoder,
                                            AppendOptions options) {
  for (const std::size_t field : options.fields) {
    if (field >= geocoder.columns().size()) {
      return Error(
          "field " + std::to_string(field) + " is not a column of the geocoder",
          ErrorKind::kInvalidArgument);
    }
  }
  if (!(options.max_distance_km >= 0)) {
    return Error("max_distance_km must be zero or more",
                 ErrorKind::kInvalidArgument);
  }
  const BorderOptions& borders = options.borders;
  if (borders.regions != nullptr) {
    const std::size_t columns = borders.regions->columns().size();
    if (borders.values == nullptr) {
      return Error("borders need the value index of the match column",
                   ErrorKind::kInvalidArgument);
    }
    if (borders.region_match >= columns) {
      return Error("the match column is not a column of the regions",
                   ErrorKind::kInvalidArgument);
    }
    for (const std::size_t field : borders.region_fields) {
      if (field >= columns) {
        return Error("field " + std::to_string(field) +
                         " is not a column of the regions",
                     ErrorKind::kInvalidArgument);
      }
    }
    if (!(borders.max_distance_km >= 0)) {
      return Error("the border distance must be zero or more",
                   ErrorKind::kInvalidArgument);
    }
  }
  return PlaceAppender(geocoder, std::move(options));
}

PlaceAppender::PlaceAppender(const ReverseGeocoder& geocoder,
                             AppendOptions options)
    : geocoder_(&geocoder),
      options_(std::move(options)),
      empty_fields_(options_.fields.empty() ? 0 : options_.fields.size() - 1,
                    static_cast<char>(options_.sep)),
      cache_begin_(geocoder.size(), 0),
      cache_end_(geocoder.size(), kNotEncoded) {
  const BorderOptions& borders = options_.borders;
  if (borders.regions == nullptr) return;
  const char sep = static_cast<char>(options_.sep);
  // A few hundred regions at most in practice: encoded once, up front.
  region_texts_.reserve(borders.regions->size());
  region_values_.reserve(borders.regions->size());
  for (std::size_t g = 0; g < borders.regions->size(); ++g) {
    std::string text;
    for (const std::size_t field : borders.region_fields) {
      text.push_back(sep);
      text += encode_csv_field(borders.regions->field(g, field), options_.sep);
    }
    region_texts_.push_back(std::move(text));
    const std::string& match = borders.regions->field(g, borders.region_match);
    region_values_.push_back(match.empty() ? kAnyValue
                                           : borders.values->find(match));
  }
  no_region_.assign(borders.region_fields.size(), sep);
}

Result<std::string_view> PlaceAppender::encoded(std::uint32_t item) {
  if (cache_end_[item] == kNotEncoded) {
    Result<csv::Record> record = geocoder_->record_fields(item);
    if (!record.ok()) return std::move(record).error();
    cache_begin_[item] = cache_.size();
    bool first = true;
    for (const std::size_t field : options_.fields) {
      if (!first) cache_.push_back(static_cast<char>(options_.sep));
      first = false;
      if (field < record.value().size()) {
        cache_ += encode_csv_field(record.value().field(field), options_.sep);
      }
    }
    cache_end_[item] = cache_.size();
  }
  return std::string_view(cache_).substr(cache_begin_[item],
                                         cache_end_[item] - cache_begin_[item]);
}

Status PlaceAppender::append(std::string_view chunk, const TableRows& rows,
                             unsigned workers, std::string& out,
                             StopCheck& stop_check) {
  const std::size_t n = rows.size();
  const bool limited = std::isfinite(options_.max_distance_km);
  items_.resize(n);
  chords_.resize(options_.distance || limited ? n : 0);
  const NumberColumn lats = NumberColumn::of(rows.lats);
  const NumberColumn lons = NumberColumn::of(rows.lons);
  const BorderOptions& borders = options_.borders;
  if (borders.regions != nullptr) {
    regions_found_.resize(n);
    Status located =
        region_indices(*borders.regions, lats, lons, borders.max_distance_km,
                       regions_found_, workers, stop_check);
    if (!located.ok()) return located;
    value_ids_.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t region = regions_found_[i];
      value_ids_[i] =
          region == regions::kNoRegion ? kAnyValue : region_values_[region];
    }
    Status found =
        nearest_records_where(*geocoder_, *borders.values, lats, lons,
                              value_ids_, items_, chords_, workers, stop_check);
    if (!found.ok()) return found;
  } else {
    Status found = nearest_records(*geocoder_, lats, lons, items_, chords_,
                                   workers, stop_check);
    if (!found.ok()) return found;
  }
  const char sep = static_cast<char>(options_.sep);
  // Room for the rows and a short place each; the string grows if needed.
  out.reserve(out.size() + chunk.size() + n * 32);
  for (std::size_t i = 0; i < n; ++i) {
    out.append(chunk.substr(rows.begins[i], rows.ends[i] - rows.begins[i]));
    if (borders.regions != nullptr) {
      const std::uint32_t region = regions_found_[i];
      out.append(region == regions::kNoRegion ? no_region_
                                              : region_texts_[region]);
    }
    const std::uint32_t item = items_[i];
    double km = std::numeric_limits<double>::quiet_NaN();
    bool place = item != kNoRecord;
    if (place && !chords_.empty()) {
      km = chord_to_km(chords_[i]);
      place = !(km > options_.max_distance_km);
    }
    if (!options_.fields.empty()) {
      out.push_back(sep);
      if (place) {
        Result<std::string_view> fields = encoded(item);
        if (!fields.ok()) return std::move(fields).error();
        out.append(fields.value());
      } else {
        out.append(empty_fields_);
      }
    }
    if (options_.distance) {
      out.push_back(sep);
      if (place) {
        // Three decimals: metres, finer than any place's extent.
        std::array<char, 32> text;
        auto [end, ec] = std::to_chars(text.data(), text.data() + text.size(),
                                       km, std::chars_format::fixed, 3);
        if (ec != std::errc()) panic("distance does not fit its buffer");
        out.append(text.data(), static_cast<std::size_t>(end - text.data()));
      }
    }
    out.push_back('\n');
  }
  return Status::Ok();
}

}  // namespace quorvel
