// The errors of building a geocoder, with the notes that say where the fault
// lies: the line's number (the header is line 0) and its start, and for a
// coordinate, which one it is and the field's text. Notes show at most
// kExcerptChars characters, escaped so that each stays one line of a
// traceback.
//
// Every function here runs only on a failure path, and is kept out of line
// so that the path every accepted line takes does not carry it.
//
// Thread safety: pure functions.

#ifndef QUORVEL_GEOCODER_BUILD_ERRORS_H_
#define QUORVEL_GEOCODER_BUILD_ERRORS_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "base/error.h"

namespace quorvel::build_errors {

// Notes show at most this many characters of a line or a field: enough to
// recognise it, and still one line of a traceback.
inline constexpr std::size_t kExcerptChars = 80;

// The error of a separator that is not ASCII.
Error separator(char32_t value_sep);

// `error` with a note naming line `line_number` and showing its start.
// REQUIRES: `line` is valid UTF-8.
Error in_line(Error error, std::size_t line_number, std::string_view line);

// A line without the coordinate `word` ("latitude" or "longitude").
Error missing_coordinate(std::size_t line_number, std::string_view line,
                         const char* word);

// A coordinate field that did not parse: `error` with the line's note and
// one for the field, `name` ("lat" or "lon") and its text.
Error unparsed_coordinate(Error error, std::size_t line_number,
                          std::string_view line, const char* name,
                          std::string_view field);

// A coordinate that parsed to NaN or an infinity.
Error non_finite_coordinate(std::size_t line_number, std::string_view line,
                            const char* name, const char* word,
                            std::string_view field);

// A line whose first record leaves text out: a carriage return outside
// quotes ends a record, and the reader takes only the first record of a
// line, so text after such a carriage return (a file with old Mac line ends,
// or a stray CR inside a field) would vanish from the fields while the
// stored line still shows it.
Error lost_text(std::size_t line_number, std::string_view line);

// A data line whose field count differs from the header's (without notes).
Error field_count(std::size_t header_fields, std::size_t line_number,
                  std::size_t fields);

// More records than 32-bit item numbers can name.
Error too_many_records(std::size_t records, std::size_t max_records);

}  // namespace quorvel::build_errors

#endif  // QUORVEL_GEOCODER_BUILD_ERRORS_H_
