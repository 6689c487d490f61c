// The CSV line codec: any line parses into valid UTF-8 fields or fails with
// an error, and what the record writer produces reads back into the same
// fields (a record with no fields reads back as one empty field).
//
// Input layout: byte 0 is the separator; the rest is both a raw line for
// the reader and, split at 0xFF bytes (never part of UTF-8), the fields of a
// record for the writer. An empty rest is the record with no fields.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "csv/csv.h"
#include "fuzz_check.h"

namespace {

using quorvel::csv::Record;

void check_reader(std::string_view line, std::uint8_t sep) {
  auto parsed = quorvel::csv::parse_csv_line(line, sep);
  if (!parsed.ok()) return;
  const Record& record = parsed.value();
  FUZZ_CHECK(record.size() >= 1);
  for (std::size_t i = 0; i < record.size(); ++i) {
    FUZZ_CHECK(quorvel::utf8::is_valid(record.field(i)));
  }
}

void check_round_trip(std::string_view rest, std::uint8_t sep) {
  // The quote character and the line-ending bytes cannot delimit fields in
  // a dialect that also uses them for quoting and for ending records.
  if (sep == '"' || sep == '\r' || sep == '\n') return;
  std::vector<std::string_view> fields;
  if (!rest.empty()) {
    for (;;) {
      const std::size_t cut = rest.find('\xff');
      fields.push_back(rest.substr(0, cut));
      if (cut == std::string_view::npos) break;
      rest.remove_prefix(cut + 1);
    }
  }
  Record record;
  for (std::string_view f : fields) {
    if (!quorvel::utf8::is_valid(f)) return;
    record.push_field(f);
  }

  quorvel::csv::RecordWriter writer(sep, 0);
  FUZZ_CHECK(writer.write_record(record).ok());
  auto written = writer.finish();
  FUZZ_CHECK(written.ok());
  std::string_view line = written.value();
  FUZZ_CHECK(!line.empty() && line.back() == '\n');
  line.remove_suffix(1);

  auto read = quorvel::csv::parse_csv_line(line, sep);
  FUZZ_CHECK(read.ok());
  const Record& back = read.value();
  if (fields.empty()) {
    FUZZ_CHECK(back.size() == 1 && back.field(0).empty());
    return;
  }
  FUZZ_CHECK(back.size() == fields.size());
  for (std::size_t i = 0; i < fields.size(); ++i) {
    FUZZ_CHECK(back.field(i) == fields[i]);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t sep = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1),
                              size - 1);
  check_reader(rest, sep);
  check_round_trip(rest, sep);
  return 0;
}
