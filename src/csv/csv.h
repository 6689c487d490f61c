// The CSV line codec: one line in, one record out, and the record writer used
// to re-encode records without their coordinates.
//
// Dialect: the caller's one-byte delimiter, the double quote as quote
// character (doubled inside quoted fields), CR, LF or CR LF ending a record,
// empty lines skipped, no trimming, no comments, no escape character. Every
// field read must be valid UTF-8.
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

#include "lib/error.h"

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

  void push_field(std::string_view field);
  // Removes every field but keeps the buffers' capacity for reuse.
  void clear() {
    bytes_.clear();
    ends_.clear();
  }

 private:
  friend class RecordReader;
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
Status parse_csv_line_into(std::string_view line, std::uint8_t sep,
                           Record& out);

// A new record holding the fields of `record` from the third on (no fields
// when it has two or fewer).
Record drop_record_coordinates(const Record& record);

// Encodes records with delimiter `sep`, quoting a field only when it holds the
// delimiter, a quote, CR or LF, doubling quotes, ending each record with LF.
// Every record must have as many fields as the first one written.
class RecordWriter {
 public:
  // `capacity` is the size of the write buffer in bytes (0 is allowed).
  RecordWriter(std::uint8_t sep, std::size_t capacity);

  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;

  // Appends `record` and its terminator. After a failure the writer must not
  // be used again.
  Status write_record(const Record& record);

  // Flushes the buffer and hands back every byte written.
  Result<std::string> finish();

 private:
  std::uint8_t sep_;
  std::size_t capacity_;
  std::string buffer_;
  std::string output_;
  // needs_quotes_[b] is true for the bytes that force a field into quotes.
  std::array<std::uint8_t, 256> needs_quotes_{};
  std::size_t expected_fields_ = 0;
  bool has_first_record_ = false;
};

}  // namespace quorvel::csv

#endif  // QUORVEL_CSV_CSV_H_
