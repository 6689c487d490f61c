#include "geocoder/build_errors.h"

#include <cstdint>
#include <utility>

#include "base/utf8.h"
#include "geocoder/messages.h"

namespace quorvel::build_errors {
namespace {

std::string line_prefix(std::size_t line_number) {
  return "line " + std::to_string(line_number);
}

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

// ": " or the note's mention that the excerpt was cut.
std::string excerpt_lead(bool cut) {
  return cut ? " (cut to " + std::to_string(kExcerptChars) + " characters): "
             : ": ";
}

// `error` with the notes of a coordinate that failed: the line, then which
// coordinate (`name`, "lat" or "lon") and the field's text.
Error in_field(Error error, std::size_t line_number, std::string_view line,
               const char* name, std::string_view field) {
  error = in_line(std::move(error), line_number, line);
  bool cut = false;
  std::string shown = quoted_excerpt(field, &cut);
  error.with_note(std::string(name) + " field" + excerpt_lead(cut) + shown);
  return error;
}

}  // namespace

[[gnu::cold, gnu::noinline]] Error separator(char32_t value_sep) {
  return Error(messages::kSeparatorNotAscii +
               std::to_string(static_cast<std::uint32_t>(value_sep)) + ")");
}

[[gnu::cold, gnu::noinline]] Error in_line(Error error, std::size_t line_number,
                                           std::string_view line) {
  bool cut = false;
  std::string shown = quoted_excerpt(line, &cut);
  error.with_note(line_prefix(line_number) + excerpt_lead(cut) + shown);
  return error;
}

[[gnu::cold, gnu::noinline]] Error missing_coordinate(std::size_t line_number,
                                                      std::string_view line,
                                                      const char* word) {
  return in_line(
      Error(line_prefix(line_number) + messages::kHasNo + word + " field"),
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
  return in_field(Error(line_prefix(line_number) + ": " + word +
                        messages::kCoordinateNotFinite),
                  line_number, line, name, field);
}

[[gnu::cold, gnu::noinline]] Error lost_text(std::size_t line_number,
                                             std::string_view line) {
  return in_line(Error(line_prefix(line_number) + messages::kLostText),
                 line_number, line);
}

[[gnu::cold, gnu::noinline]] Error field_count(std::size_t header_fields,
                                               std::size_t line_number,
                                               std::size_t fields) {
  return Error(messages::kColumnMismatch + std::to_string(header_fields) +
               " values, line " + std::to_string(line_number) + " has " +
               std::to_string(fields) + " values");
}

[[gnu::cold, gnu::noinline]] Error too_many_records(std::size_t records,
                                                    std::size_t max_records) {
  return Error(messages::kTooManyRecords + std::to_string(records) +
               " data lines, but at most " + std::to_string(max_records) +
               " can be indexed");
}

}  // namespace quorvel::build_errors
