// The CSV line codec: one line in, one record out, and the record writer used
// to re-encode records without their coordinates.
//
// Dialect: the caller's one-byte delimiter, the double quote as quote
// character (doubled inside quoted fields), CR, LF or CR LF ending a record,
// empty lines skipped, no trimming, no comments, no escape character. Every
// field read must be valid UTF-8. What the writer produces reads back into
// the same fields, except that a record with no fields reads back as one
// empty field.
//
// Thread safety: no shared state. Readers are per call; a RecordWriter and a
// Record belong to one thread at a time.

#ifndef QUORVEL_CSV_CSV_H_
#define QUORVEL_CSV_CSV_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace quorvel::csv {

// An ordered list of text fields, stored as one byte buffer with the fields
// back to back plus one end offset per field. May hold zero fields.
class Record {
 public:
  std::size_t size() const { return ends_.size(); }
  bool empty() const { return ends_.empty(); }

  // Field i's decoded bytes. REQUIRES: i < size().
  std::string_view field(std::size_t i) const {
    std::size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }

  // Appends `field` as the last field.
  void push_field(std::string_view field);
  // Removes every field but keeps the buffers' capacity for reuse.
  void clear() {
    bytes_.clear();
    ends_.clear();
  }

 private:
  friend class RecordReader;
  // Invariant: ends_ is non-decreasing and its last entry (if any) equals
  // bytes_.size(); the reader may hold bytes of an unfinished field beyond it.
  std::string bytes_;
  std::vector<std::size_t> ends_;
};

// Decodes the first record of `line` (a line without its line feed; it may
// still contain carriage returns) with delimiter `sep`. Fails with
// "Internal error - failed to parse CSV line" when the line holds no record,
// and with the CSV parse error when a field is not valid UTF-8.
Result<Record> parse_csv_line(std::string_view line, std::uint8_t sep);

// As above, but decodes into `out`, reusing its buffers: the hot path of
// construction, which parses every line. On failure `out` is unspecified.
// When `dropped_at` is given and the parse succeeds, it is set to the offset
// of the first byte that the record leaves out, a byte other than CR or LF
// after the terminator that ends it (as in "1,2\rmore"), or to npos when the
// record loses no text of the line.
Status parse_csv_line_into(std::string_view line, std::uint8_t sep, Record& out,
                           std::size_t* dropped_at = nullptr);

// A new record holding the fields of `record` from the third on (no fields
// when it has two or fewer).
Record drop_record_coordinates(const Record& record);

// As above, into `out` (cleared first), reusing its buffers.
// REQUIRES: &out != &record.
void drop_record_coordinates_into(const Record& record, Record& out);

// Every field of `record` but fields `first` and `second`, in order, into
// `out` (cleared first). An index at or beyond the record's end drops
// nothing; equal indexes drop one field.
// REQUIRES: &out != &record.
void drop_fields_into(const Record& record, std::size_t first,
                      std::size_t second, Record& out);

// Encodes records with delimiter `sep`, quoting a field only when it holds the
// delimiter, a quote, CR or LF, doubling quotes, ending each record with LF.
// Every record must have as many fields as the first one written. A record
// that would produce no bytes (no fields, or one empty field) is written as
// `""` so that it keeps a line of its own.
class RecordWriter {
 public:
  // `capacity` is the number of output bytes to make room for up front
  // (0 is allowed); the output does not depend on it.
  RecordWriter(std::uint8_t sep, std::size_t capacity);

  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Appends `record` and its terminator. On a field-count mismatch the
  // record's fields stay written and the writer must not be used again.
  Status write_record(const Record& record);

  // Every byte written so far (valid until the next write or finish()).
  std::string_view bytes() const { return output_; }

  // Hands back every byte written. The writer is empty afterwards.
  Result<std::string> finish();

 private:
  bool needs_quotes(std::string_view field) const;

  std::uint8_t sep_;
  // The bytes go straight into the output string, reserved to the caller's
  // capacity: an intermediate buffer flushed into memory would only add a
  // copy of every byte.
  std::string output_;
  // needs_quotes_[b] is non-zero for the bytes that force a field into quotes.
  std::array<std::uint8_t, 256> needs_quotes_{};
  std::size_t expected_fields_ = 0;
  bool has_first_record_ = false;
};

}  // namespace quorvel::csv

#endif  // QUORVEL_CSV_CSV_H_
