#include "csv/csv.h"

#include <cstring>

#include "base/utf8.h"

namespace quorvel::csv {

namespace {

constexpr std::uint8_t kQuote = '"';

inline bool is_terminator(std::uint8_t b) { return b == '\r' || b == '\n'; }

}  // namespace

void Record::push_field(std::string_view field) {
  bytes_.append(field);
  ends_.push_back(bytes_.size());
}

// The reader's state machine. It works on the line in place rather than
// through a read buffer, and copies runs of ordinary bytes at once: lines are
// mostly plain text, and per-byte appends dominated the cost otherwise.
class RecordReader {
 public:
  // Reads the first record of `line` into `out` (cleared first) and sets
  // `*end_offset` to the offset just past its last field: where the terminator
  // that ends it stands, or line.size(). False when the line holds only
  // terminator bytes.
  static bool read_first(std::string_view line, std::uint8_t sep, Record& out,
                         std::size_t* end_offset) {
    out.clear();
    const char* p = line.data();
    const char* const end = p + line.size();
    // Start of record: empty lines are skipped.
    while (p < end && is_terminator(static_cast<std::uint8_t>(*p))) ++p;
    if (p == end) return false;

    enum class State { kStartField, kUnquoted, kQuoted, kAfterQuote };
    State state = State::kStartField;
    std::string& bytes = out.bytes_;
    std::vector<std::size_t>& ends = out.ends_;
    while (p < end) {
      const auto b = static_cast<std::uint8_t>(*p);
      switch (state) {
        case State::kStartField:
          // The order of the tests matters when the delimiter is itself the
          // quote or a terminator byte: quote first, then delimiter.
          if (b == kQuote) {
            state = State::kQuoted;
            ++p;
          } else if (b == sep) {
            ends.push_back(bytes.size());
            ++p;
          } else if (is_terminator(b)) {
            ends.push_back(bytes.size());
            *end_offset = static_cast<std::size_t>(p - line.data());
            return true;
          } else {
            state = State::kUnquoted;
          }
          break;
        case State::kUnquoted: {
          const char* run = p;
          while (p < end) {
            const auto c = static_cast<std::uint8_t>(*p);
            if (c == sep || is_terminator(c)) break;
            ++p;
          }
          bytes.append(run, static_cast<std::size_t>(p - run));
          if (p == end) break;
          ends.push_back(bytes.size());
          if (static_cast<std::uint8_t>(*p) == sep) {
            state = State::kStartField;
            ++p;
          } else {
            *end_offset = static_cast<std::size_t>(p - line.data());
            return true;
          }
          break;
        }
        case State::kQuoted: {
          const char* run = p;
          const void* quote = std::memchr(p, kQuote, end - p);
          p = quote ? static_cast<const char*>(quote) : end;
          bytes.append(run, static_cast<std::size_t>(p - run));
          if (p < end) {
            state = State::kAfterQuote;
            ++p;
          }
          break;
        }
        case State::kAfterQuote:
          if (b == kQuote) {
            bytes.push_back('"');
            state = State::kQuoted;
            ++p;
          } else if (b == sep) {
            ends.push_back(bytes.size());
            state = State::kStartField;
            ++p;
          } else if (is_terminator(b)) {
            ends.push_back(bytes.size());
            *end_offset = static_cast<std::size_t>(p - line.data());
            return true;
          } else {
            // A closing quote followed by more text joins it to the field.
            state = State::kUnquoted;
          }
          break;
      }
    }
    // End of input inside a begun record: the current field ends it, an
    // unterminated quoted field included.
    ends.push_back(bytes.size());
    *end_offset = static_cast<std::size_t>(p - line.data());
    return true;
  }

  // Whether every field but the first begins on a character boundary.
  static bool starts_on_characters(const Record& record) {
    for (const std::size_t end : record.ends_) {
      if (end < record.bytes_.size() &&
          utf8::is_continuation_byte(record.bytes_[end])) {
        return false;
      }
    }
    return true;
  }

  // Index of the first field that is not valid UTF-8 and the validation
  // result within it, or false when every field is valid.
  static bool find_invalid_field(const Record& record, std::size_t& field,
                                 utf8::Validation& where) {
    // One pass over all field bytes settles the common case, provided no
    // field starts inside a character: the bytes of two invalid fields (say
    // C3 and 82) can join into a valid text.
    if (utf8::is_valid(record.bytes_) && starts_on_characters(record)) {
      return false;
    }
    for (std::size_t i = 0; i < record.size(); ++i) {
      where = utf8::validate(record.field(i));
      if (!where.ok) {
        field = i;
        return true;
      }
    }
    return false;
  }
};

Status parse_csv_line_into(std::string_view line, std::uint8_t sep, Record& out,
                           std::size_t* dropped_at) {
  std::size_t end = 0;
  if (!RecordReader::read_first(line, sep, out, &end)) {
    return Error("Internal error - failed to parse CSV line");
  }
  if (dropped_at != nullptr) {
    *dropped_at = std::string_view::npos;
    for (std::size_t i = end; i < line.size(); ++i) {
      if (!is_terminator(static_cast<std::uint8_t>(line[i]))) {
        *dropped_at = i;
        break;
      }
    }
  }
  std::size_t field = 0;
  utf8::Validation where{};
  if (RecordReader::find_invalid_field(out, field, where)) {
    const std::string index = std::to_string(field);
    return Error("CSV parse error: record 0 (line 1, field: " + index +
                 ", byte: 0): invalid utf-8: invalid UTF-8 in field " + index +
                 " near byte index " + std::to_string(where.valid_up_to));
  }
  return Status::Ok();
}

Result<Record> parse_csv_line(std::string_view line, std::uint8_t sep) {
  Record record;
  Status status = parse_csv_line_into(line, sep, record);
  if (!status.ok()) return std::move(status).error();
  return record;
}

void drop_record_coordinates_into(const Record& record, Record& out) {
  drop_fields_into(record, 0, 1, out);
}

void drop_fields_into(const Record& record, std::size_t first,
                      std::size_t second, Record& out) {
  out.clear();
  for (std::size_t i = 0; i < record.size(); ++i) {
    if (i != first && i != second) out.push_field(record.field(i));
  }
}

Record drop_record_coordinates(const Record& record) {
  Record out;
  drop_record_coordinates_into(record, out);
  return out;
}

RecordWriter::RecordWriter(std::uint8_t sep, std::size_t capacity) : sep_(sep) {
  output_.reserve(capacity);
  needs_quotes_[sep] = 1;
  needs_quotes_[kQuote] = 1;
  needs_quotes_['\r'] = 1;
  needs_quotes_['\n'] = 1;
}

bool RecordWriter::needs_quotes(std::string_view field) const {
  const auto* p = reinterpret_cast<const std::uint8_t*>(field.data());
  const std::size_t n = field.size();
  const std::uint8_t* t = needs_quotes_.data();
  std::size_t i = 0;
  // Eight lookups OR-ed together per step: one branch per eight bytes.
  for (; i + 8 <= n; i += 8) {
    if (t[p[i]] | t[p[i + 1]] | t[p[i + 2]] | t[p[i + 3]] | t[p[i + 4]] |
        t[p[i + 5]] | t[p[i + 6]] | t[p[i + 7]]) {
      return true;
    }
  }
  for (; i < n; ++i) {
    if (t[p[i]]) return true;
  }
  return false;
}

Status RecordWriter::write_record(const Record& record) {
  const std::size_t start = output_.size();
  const std::size_t count = record.size();
  // A quoted field is closed only when the next delimiter or the terminator
  // is written.
  bool quote_open = false;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (quote_open) output_.push_back('"');
      quote_open = false;
      output_.push_back(static_cast<char>(sep_));
    }
    const std::string_view field = record.field(i);
    if (!needs_quotes(field)) {
      output_.append(field);
      continue;
    }
    output_.push_back('"');
    for (char c : field) {
      if (c == '"') output_.push_back('"');
      output_.push_back(c);
    }
    quote_open = true;
  }
  if (!has_first_record_) {
    expected_fields_ = count;
    has_first_record_ = true;
  } else if (count != expected_fields_) {
    return Error("CSV error: found record with " + std::to_string(count) +
                 " fields, but the previous record has " +
                 std::to_string(expected_fields_) + " fields");
  }
  // An empty line would vanish on reading; `""` keeps the record.
  if (output_.size() == start) output_.append("\"\"");
  if (quote_open) output_.push_back('"');
  output_.push_back('\n');
  return Status::Ok();
}

Result<std::string> RecordWriter::finish() {
  std::string out = std::move(output_);
  output_.clear();
  return out;
}

}  // namespace quorvel::csv
