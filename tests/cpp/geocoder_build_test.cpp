// Building a geocoder from CSV text: what it stores, every failure message,
// and which failure wins when a text has several.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/interrupt.h"
#include "geocoder/geocoder.h"
#include "kdtree_test_support.h"

namespace quorvel {
namespace {

ReverseGeocoder built(std::string csv, char32_t sep = U',', bool drop = false) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(std::move(csv), sep, drop);
  EXPECT_TRUE(g.ok()) << g.error().message();
  return std::move(g).value();
}

std::string failure(std::string csv, char32_t sep = U',', bool drop = false) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(std::move(csv), sep, drop);
  EXPECT_FALSE(g.ok()) << "built from it";
  return g.ok() ? std::string() : g.error().message();
}

std::vector<std::string_view> stored_lines(const ReverseGeocoder& g) {
  std::vector<std::string_view> out;
  for (const StringSlice& s : g.indexed_data()) {
    out.push_back(std::string_view(g.csv()).substr(s.offset, s.len));
  }
  return out;
}

using Lines = std::vector<std::string_view>;
using Names = std::vector<std::string>;

TEST(GeocoderBuild, KeepsTextColumnsAndOneSlicePerLine) {
  const std::string text = "lat,lon,name\n10,20,a\n";
  ReverseGeocoder g = built(text);
  EXPECT_EQ(g.csv(), text);
  EXPECT_EQ(g.columns(), (Names{"lat", "lon", "name"}));
  ASSERT_EQ(g.indexed_data().size(), 1u);
  EXPECT_EQ(g.indexed_data()[0].offset, 13);
  EXPECT_EQ(g.indexed_data()[0].len, 7u);
  EXPECT_EQ(g.tree().size(), 1u);
  EXPECT_EQ(g.value_sep(), U',');
}

TEST(GeocoderBuild, LineEndings) {
  // CR LF: the carriage return is not part of the slice.
  ReverseGeocoder crlf = built("lat,lon,name\r\n10,20,a\r\n30,40,b\r\n");
  EXPECT_EQ(stored_lines(crlf), (Lines{"10,20,a", "30,40,b"}));
  // A last line ending in a lone CR keeps it; the record drops it.
  ReverseGeocoder lone_cr = built("lat,lon,name\n10,20,a\r");
  EXPECT_EQ(stored_lines(lone_cr), Lines{"10,20,a\r"});
  // A CR in the middle of a line would end the record there and lose the
  // rest: refused (see TextAfterACarriageReturnIsRefusedNotDropped).
  EXPECT_NE(failure("lat,lon\n1,2\rjunk\n").find("would be lost"),
            std::string::npos);
  // No line feed at all after the last record.
  EXPECT_EQ(stored_lines(built("lat,lon\n1,2")), Lines{"1,2"});
}

TEST(GeocoderBuild, FinalEmptyLineIsSkippedOthersFail) {
  EXPECT_EQ(built("lat,lon\n1,2\n\n").indexed_data().size(), 1u);
  EXPECT_EQ(built("lat,lon\n1,2\n\r\n").indexed_data().size(), 1u);
  ReverseGeocoder dropped = built("lat,lon,n\n1,2,a\n\n", U',', true);
  EXPECT_EQ(dropped.csv(), "a\n");
  EXPECT_EQ(stored_lines(dropped), Lines{"a"});
  for (bool drop : {false, true}) {
    EXPECT_EQ(failure("lat,lon\n1,2\n\n3,4\n", U',', drop),
              "Internal error - failed to parse CSV line");
  }
}

TEST(GeocoderBuild, TextAfterACarriageReturnIsRefusedNotDropped) {
  const std::string lost =
      ": a carriage return outside quotes ends the record, and the text "
      "after it would be lost";
  for (bool drop : {false, true}) {
    EXPECT_EQ(failure("lat,lon,n\r1,2,a\r3,4,b\r", U',', drop),
              "line 0" + lost);
    EXPECT_EQ(failure("lat,lon,n\n1,2,a\rjunk,more\n", U',', drop),
              "line 1" + lost);
    EXPECT_EQ(failure("lat,lon,n\n1,2,a\n3,4,\"b\"\rc", U',', drop),
              "line 2" + lost);
    // Carriage returns that lose nothing: ending a line, leading, quoted.
    EXPECT_EQ(
        built("lat,lon,n\r\n1,2,a\r\r\n\r3,4,\"b\rc\"\r", U',', drop).size(),
        2u);
  }
}

TEST(GeocoderBuild, HeaderAloneHasNoRecords) {
  for (const char* text : {"lat,lon", "lat,lon\n", "lat"}) {
    ReverseGeocoder g = built(text);
    EXPECT_TRUE(g.indexed_data().empty()) << text;
    EXPECT_EQ(g.tree().size(), 0u) << text;
  }
}

TEST(GeocoderBuild, Separators) {
  ReverseGeocoder semi = built("lat;lon;name\n1;2;a,b\n", U';');
  EXPECT_EQ(semi.columns(), (Names{"lat", "lon", "name"}));
  EXPECT_EQ(semi.value_sep(), U';');
  EXPECT_EQ(built("lat\tlon\n1\t2\n", U'\t').columns(), (Names{"lat", "lon"}));
  EXPECT_EQ(failure("lat,lon\n", U'\u00e9'),
            "Value separator must by an ASII character (got 233)");
  EXPECT_EQ(failure("", U'\u00e9'),
            "Value separator must by an ASII character (got 233)");
}

struct FailureCase {
  const char* csv;
  const char* message;
};

TEST(GeocoderBuild, FailureMessages) {
  const FailureCase cases[] = {
      {"", "missing first line in CSV"},
      {"\n1,2\n", "Internal error - failed to parse CSV line"},
      {"\r\n1,2\n", "Internal error - failed to parse CSV line"},
      {"lat,lon,name\n1,2\n",
       "column mismatch: header (line 0) has 3 values, line 1 has 2 values"},
      {"lat,lon,a,b\n1,2,3,4\n1,2,3,4,5\n",
       "column mismatch: header (line 0) has 4 values, line 2 has 5 values"},
      {"lat,lon\n,5\n", "cannot parse float from empty string"},
      {"lat,lon\n5,\n", "cannot parse float from empty string"},
      {"lat,lon\n 1,5\n", "invalid float literal"},
      {"lat,lon\n1,5 \n", "invalid float literal"},
      // A line break inside quotes is not supported: the rest of the quoted
      // field becomes a line of its own.
      {"lat,lon,n\n1,2,\"a\nb\"\n",
       "column mismatch: header (line 0) has 3 "
       "values, line 2 has 1 values"},
      // Bytes that are not UTF-8 are refused before any line is read.
      {"lat,lon\n1,2,\xFF\n",
       "invalid utf-8 sequence of 1 bytes from index 12"},
  };
  for (const FailureCase& c : cases) {
    EXPECT_EQ(failure(c.csv), c.message) << c.csv;
  }
}

// A one-column header matches every one-field line, which has no longitude.
TEST(GeocoderBuild, SingleColumnHeaderNamesTheLine) {
  EXPECT_EQ(failure("lat\n5\n"), "line 1 has no longitude field");
  EXPECT_EQ(failure("lat\n5\n", U',', true), "line 1 has no longitude field");
  EXPECT_EQ(failure("lat\nx\n"), "invalid float literal");
}

// Coordinates that parse but are not finite would poison every search.
TEST(GeocoderBuild, NonFiniteCoordinatesNameLineAndField) {
  const FailureCase cases[] = {
      {"lat,lon\nnan,1\n", "line 1: latitude is not a finite number"},
      {"lat,lon\n1,2\n3,4\ninf,1\n", "line 3: latitude is not a finite number"},
      {"lat,lon\n-Infinity,1\n", "line 1: latitude is not a finite number"},
      {"lat,lon\n1e999,1\n", "line 1: latitude is not a finite number"},
      {"lat,lon\n1,NaN\n", "line 1: longitude is not a finite number"},
      {"lat,lon\n1,-1e400\n", "line 1: longitude is not a finite number"},
  };
  for (const FailureCase& c : cases) {
    EXPECT_EQ(failure(c.csv), c.message) << c.csv;
    EXPECT_EQ(failure(c.csv, U',', true), c.message) << c.csv;
  }
  // Underflow is a zero, not a failure.
  EXPECT_EQ(built("lat,lon\n1e-400,-1e-400\n").indexed_data().size(), 1u);
}

TEST(GeocoderBuild, FailuresComeInTheirOrder) {
  // Separator before a missing header.
  EXPECT_EQ(failure("", U'\u00e9'),
            "Value separator must by an ASII character (got 233)");
  // Line by line: an earlier mismatch before a later bad float, and within a
  // line the latitude before the longitude.
  EXPECT_EQ(
      failure("lat,lon\n1,2,3\nx,2\n"),
      "column mismatch: header (line 0) has 2 values, line 1 has 3 values");
  EXPECT_EQ(failure("lat,lon\nx,\n"), "invalid float literal");
  EXPECT_EQ(failure("lat,lon\n,x\n"), "cannot parse float from empty string");
  EXPECT_EQ(failure("lat,lon\nnan,x\n"),
            "line 1: latitude is not a finite number");
  // With drop_coordinates every line goes through the writer first: a later
  // line's writer or parse failure beats an earlier mismatch or bad float.
  EXPECT_EQ(failure("lat,lon,a,b\n1,2,3,4\n1,2,3,4,5\n", U',', true),
            "CSV error: found record with 3 fields, but the previous record "
            "has 2 fields");
  EXPECT_EQ(failure("lat,lon,a\nx,2,3\n1,2,3,4\n", U',', true),
            "CSV error: found record with 2 fields, but the previous record "
            "has 1 fields");
  EXPECT_EQ(failure("lat,lon,a\n1\n\n1,2\n", U',', true),
            "Internal error - failed to parse CSV line");
  EXPECT_EQ(
      failure("lat,lon,a\n1\n\n1,2\n"),
      "column mismatch: header (line 0) has 3 values, line 1 has 1 values");
  // Once the writer is satisfied, the first failing line wins.
  EXPECT_EQ(failure("lat,lon,a\n1,2,3\nx,2,3\n1,y,3\n", U',', true),
            "invalid float literal");
  EXPECT_EQ(failure("lat,lon,a\n1,2,3\n1,,3\nx,2,3\n", U',', true),
            "cannot parse float from empty string");
}

TEST(GeocoderBuild, DropCoordinatesRewritesTheText) {
  ReverseGeocoder g =
      built("lat,lon,name,pop\n1,2,\"x, y\",5\n3,4,\"plain\",6\n", U',', true);
  EXPECT_EQ(g.csv(), "\"x, y\",5\nplain,6\n");
  EXPECT_EQ(g.columns(), (Names{"name", "pop"}));
  ASSERT_EQ(g.indexed_data().size(), 2u);
  EXPECT_EQ(g.indexed_data()[0].offset, 0);
  EXPECT_EQ(g.indexed_data()[0].len, 8u);
  EXPECT_EQ(g.indexed_data()[1].offset, 9);
  EXPECT_EQ(g.indexed_data()[1].len, 7u);

  ReverseGeocoder two = built("lat,lon\n1,2\n3,4\r\n", U',', true);
  EXPECT_EQ(two.csv(), "\"\"\n\"\"\n");
  EXPECT_TRUE(two.columns().empty());
  EXPECT_EQ(stored_lines(two), (Lines{"\"\"", "\"\""}));

  // Quoting follows the separator, and a field holding CR keeps its quotes.
  ReverseGeocoder semi = built("a;b;c;d\n1;2;x,y;\"p\rq\"\n", U';', true);
  EXPECT_EQ(stored_lines(semi), Lines{"x,y;\"p\rq\""});
}

// A carriage return as separator: a written record can then end in CR, which
// line splitting strips, exactly as it would on re-reading the text.
TEST(GeocoderBuild, CarriageReturnSeparatorWithDropCoordinates) {
  ReverseGeocoder g = built("a\rb\rc\rd\n1\r2\rx\r\r\n", U'\r', true);
  EXPECT_EQ(g.csv(), "x\r\n");
  EXPECT_EQ(stored_lines(g), Lines{"x"});
}

// Enough lines that the line loops ask the check (they ask once per few
// thousand lines).
std::string many_lines(std::size_t n) {
  std::string csv = "lat,lon,name\n";
  for (std::size_t i = 0; i < n; ++i) {
    csv += std::to_string(static_cast<double>(i % 180) - 89.5) + "," +
           std::to_string(static_cast<double>(i % 360) - 179.5) + ",p" +
           std::to_string(i) + "\n";
  }
  return csv;
}

TEST(GeocoderBuild, AStopCheckThatSaysStopEndsTheBuild) {
  for (const bool drop : {false, true}) {
    StopCheck stop([] { return true; });
    ASSERT_TRUE(stop.check_now());
    BuildOptions options;
    options.drop_coordinates = drop;
    Result<ReverseGeocoder> g =
        ReverseGeocoder::build(many_lines(10'000), U',', options, stop);
    ASSERT_FALSE(g.ok()) << "drop " << drop;
    EXPECT_TRUE(is_interrupted(g.error())) << g.error().message();
  }
}

TEST(GeocoderBuild, AStopCheckThatNeverStopsChangesNothing) {
  for (const bool drop : {false, true}) {
    StopCheck never([] { return false; });
    BuildOptions options;
    options.drop_coordinates = drop;
    Result<ReverseGeocoder> g =
        ReverseGeocoder::build(many_lines(20'000), U',', options, never);
    ASSERT_TRUE(g.ok()) << g.error().message();
    const ReverseGeocoder plain = built(many_lines(20'000), U',', drop);
    EXPECT_EQ(g.value().csv(), plain.csv());
    EXPECT_EQ(g.value().columns(), plain.columns());
    EXPECT_EQ(stored_lines(g.value()), stored_lines(plain));
    EXPECT_EQ(g.value().tree().stems(), plain.tree().stems());
  }
}

TEST(GeocoderParts, AStopCheckThatSaysStopEndsTheChecks) {
  const ReverseGeocoder g = built(many_lines(100'000));
  for (const bool stop : {true, false}) {
    StopCheck check([stop] { return stop; });
    check.check_now();
    Result<ReverseGeocoder> rebuilt = ReverseGeocoder::from_parts(
        g.csv(), g.value_sep(), g.columns(), g.indexed_data(),
        kdtree::test_support::parts_of(g.tree()), check);
    if (stop) {
      ASSERT_FALSE(rebuilt.ok());
      EXPECT_TRUE(is_interrupted(rebuilt.error()));
    } else {
      ASSERT_TRUE(rebuilt.ok()) << rebuilt.error().message();
      EXPECT_EQ(rebuilt.value().size(), g.size());
    }
  }
}

TEST(LatLonToPoint, UnitVectors) {
  const double c = 6.123233995736766e-17;  // cos of the rounded right angle.
  const kdtree::Point north = lat_lon_to_point(90, 0);
  EXPECT_EQ(north[0], c);
  EXPECT_EQ(north[1], 0.0);
  EXPECT_EQ(north[2], 1.0);
  const kdtree::Point east = lat_lon_to_point(0, 90);
  EXPECT_EQ(east[0], c);
  EXPECT_EQ(east[1], 1.0);
  EXPECT_EQ(east[2], 0.0);
  EXPECT_EQ(lat_lon_to_point(0, 0), (kdtree::Point{1.0, 0.0, 0.0}));
  // Past the pole: latitude 100 is latitude 80 on the opposite meridian.
  const kdtree::Point over = lat_lon_to_point(100, 20);
  const kdtree::Point back = lat_lon_to_point(80, -160);
  for (int d = 0; d < 3; ++d) EXPECT_NEAR(over[d], back[d], 1e-15);
}

}  // namespace
}  // namespace quorvel
