// Construction from arbitrary CSV text with an arbitrary separator and
// drop_coordinates. A geocoder that builds must find every record at its own
// coordinates, re-parse every stored line, and survive a save/load round
// trip unchanged. No input may end in an internal failure.
//
// Input layout: byte 0 is the separator (a byte of 128 or more is passed as
// that code point, which must be refused), byte 1 bit 0 is drop_coordinates,
// the rest is the text.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "csv/csv.h"
#include "fuzz_check.h"
#include "geocoder/float_parse.h"
#include "geocoder/geocoder.h"
#include "kdtree/kdtree.h"
#include "persist/saved_file.h"

namespace {

using quorvel::ReverseGeocoder;

// Cuts `text` into lines the way construction does: after every LF, dropping
// the LF and one CR right before it.
std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    if (lf != std::string_view::npos && !line.empty() && line.back() == '\r') {
      line.remove_suffix(1);
    }
    lines.push_back(line);
    text =
        lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
  }
  return lines;
}

// The positions of the data lines, as construction reads them. Only called
// for a text that built, so every line after the header parses (except an
// empty last line).
std::vector<std::pair<double, double>> positions(std::string_view text,
                                                 std::uint8_t sep) {
  std::vector<std::pair<double, double>> out;
  const std::vector<std::string_view> lines = split_lines(text);
  for (std::size_t i = 1; i < lines.size(); ++i) {
    if (i + 1 == lines.size() && lines[i].empty()) break;
    auto record = quorvel::csv::parse_csv_line(lines[i], sep);
    FUZZ_CHECK(record.ok() && record.value().size() >= 2);
    auto lat = quorvel::parse_float(record.value().field(0));
    auto lon = quorvel::parse_float(record.value().field(1));
    FUZZ_CHECK(lat.ok() && lon.ok());
    out.emplace_back(lat.value(), lon.value());
  }
  return out;
}

void check_geocoder(const ReverseGeocoder& g, std::string_view text,
                    std::uint8_t sep) {
  const auto where = positions(text, sep);
  FUZZ_CHECK(where.size() == g.indexed_data().size());
  // Records at identical points share one tree entry.
  FUZZ_CHECK(g.tree().size() <= where.size());
  for (const auto& [lat, lon] : where) {
    auto line = g.get_nearest(lat, lon);
    FUZZ_CHECK(line.ok());
    const auto found =
        g.tree().nearest_one(quorvel::lat_lon_to_point(lat, lon));
    FUZZ_CHECK(found.status == quorvel::kdtree::QueryStatus::kOk);
    FUZZ_CHECK(found.result.distance == 0.0);
    auto record = g.get_nearest_record(lat, lon);
    // A two-column text without coordinates keeps no columns, and the one
    // empty field its lines re-parse into has no name.
    FUZZ_CHECK(record.ok() || g.columns().empty());
  }

  auto bytes = quorvel::persist::dumps(g);
  FUZZ_CHECK(bytes.ok());
  auto loaded = quorvel::persist::loads(bytes.value());
  FUZZ_CHECK(loaded.ok());
  const ReverseGeocoder& h = loaded.value();
  FUZZ_CHECK(h.csv() == g.csv() && h.value_sep() == g.value_sep() &&
             h.columns() == g.columns());
  auto again = quorvel::persist::dumps(h);
  FUZZ_CHECK(again.ok() && again.value() == bytes.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t sep = data[0];
  const bool drop = (data[1] & 1) != 0;
  const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

  auto built = ReverseGeocoder::build(text, sep, drop);
  if (sep >= 128) {
    FUZZ_CHECK(!built.ok());
    return 0;
  }
  if (built.ok()) check_geocoder(built.value(), text, sep);
  return 0;
}
