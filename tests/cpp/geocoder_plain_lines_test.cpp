// Lines without quotes or carriage returns take a shortcut past the CSV
// reader during construction. Quoting every field forces the reader on the
// same content, so both texts must give identical geocoders or identical
// errors.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "geocoder/geocoder.h"

namespace quorvel {
namespace {

std::string quote_every_field(const std::string& line, char sep) {
  std::string out = "\"";
  for (char c : line) {
    if (c == sep) {
      out += "\"";
      out += sep;
      out += "\"";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

TEST(GeocoderPlainLines, ShortcutAgreesWithTheReader) {
  std::mt19937_64 rng(301);
  const std::vector<std::string> values = {
      "10",  "-33.9", "1e1", "+.5", "",     " 1", "abc", "nan",
      "inf", "1e999", "0",   "-0",  "90.0", "5.", ".",   "1e-400"};
  for (char sep : {',', ';', '\t', '|'}) {
    for (int trial = 0; trial < 400; ++trial) {
      const int columns = 1 + static_cast<int>(rng() % 4);
      std::string plain = "lat";
      std::string forced = "lat";
      for (int c = 1; c < columns; ++c) {
        for (std::string* text : {&plain, &forced}) {
          *text += sep;
          *text += 'h';
          *text += std::to_string(c);
        }
      }
      plain += "\n";
      forced += "\n";
      const int lines = 1 + static_cast<int>(rng() % 4);
      for (int l = 0; l < lines; ++l) {
        // Mostly the header's width, sometimes one more or one less.
        int fields = columns;
        if (rng() % 8 == 0) fields += (rng() % 2 == 0) ? 1 : -1;
        if (fields < 1) fields = 1;
        std::string line;
        for (int f = 0; f < fields; ++f) {
          if (f > 0) line += sep;
          if (f < 2) {
            line += values[rng() % values.size()];
          } else {
            line += 'v';
            line += std::to_string(rng() % 100);
          }
        }
        // An empty line holds no record at all, while "" holds one empty
        // field: not the same content, so leave such lines out.
        if (line.empty()) line = "1";
        plain += line + "\n";
        forced += quote_every_field(line, sep) + "\n";
      }
      SCOPED_TRACE(plain);
      const char32_t separator = static_cast<unsigned char>(sep);
      Result<ReverseGeocoder> a =
          ReverseGeocoder::build(plain, separator, false);
      Result<ReverseGeocoder> b =
          ReverseGeocoder::build(forced, separator, false);
      ASSERT_EQ(a.ok(), b.ok());
      if (!a.ok()) {
        EXPECT_EQ(a.error().message(), b.error().message());
        continue;
      }
      const kdtree::ImmutableKdTree& ta = a.value().tree();
      const kdtree::ImmutableKdTree& tb = b.value().tree();
      ASSERT_EQ(ta.leaves().size(), tb.leaves().size());
      ASSERT_EQ(a.value().indexed_data().size(),
                b.value().indexed_data().size());
      for (std::size_t i = 0; i < ta.leaves().size(); ++i) {
        EXPECT_EQ(0, std::memcmp(&ta.leaves()[i], &tb.leaves()[i],
                                 sizeof(kdtree::LeafNode)));
      }
    }
  }
}

}  // namespace
}  // namespace quorvel
