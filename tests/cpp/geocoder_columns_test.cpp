// Building with the coordinates in any two columns, and the notes that say
// where in the text a build failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "geocoder/geocoder.h"

namespace quorvel {
namespace {

using Names = std::vector<std::string>;
using Notes = std::vector<std::string>;

Result<ReverseGeocoder> build_at(std::string csv, std::size_t lat,
                                 std::size_t lon, bool drop = false,
                                 char32_t sep = U',') {
  BuildOptions options;
  options.lat_column = lat;
  options.lon_column = lon;
  options.drop_coordinates = drop;
  return ReverseGeocoder::build(std::move(csv), sep, options);
}

std::string_view stored_text(const ReverseGeocoder& g) { return g.csv(); }
const Names& column_names(const ReverseGeocoder& g) { return g.columns(); }

std::vector<std::string_view> stored_lines(const ReverseGeocoder& g) {
  std::vector<std::string_view> out;
  for (const StringSlice& s : g.indexed_data()) {
    out.push_back(stored_text(g).substr(s.offset, s.len));
  }
  return out;
}

// The two coordinates first and the other fields after them, as a text with
// `fields` columns whose latitude and longitude stand at `lat` and `lon`.
struct Table {
  std::vector<std::vector<std::string>> rows;  // Header first.

  std::string text(std::size_t lat, std::size_t lon, std::size_t fields) const {
    std::string out;
    for (const auto& row : rows) {
      std::vector<std::string> placed(fields);
      placed[lat] = row[0];
      placed[lon] = row[1];
      std::size_t next = 2;
      for (std::size_t i = 0; i < fields; ++i) {
        if (i != lat && i != lon) placed[i] = row[next++];
      }
      for (std::size_t i = 0; i < fields; ++i) {
        if (i > 0) out += ',';
        out += placed[i];
      }
      out += '\n';
    }
    return out;
  }
};

TEST(GeocoderColumns, AnyPlacementAnswersAsCoordinatesFirst) {
  std::mt19937_64 rng(301);
  std::uniform_real_distribution<double> lat(-89.0, 89.0), lon(-179.0, 179.0);
  const std::vector<std::string> extras = {"plain", "\"quoted, comma\"", "",
                                           "\"a \"\"b\"\"\"", "é"};
  for (int trial = 0; trial < 60; ++trial) {
    const std::size_t fields = 2 + rng() % 4;
    Table table;
    std::vector<std::string> header = {"y", "x"};
    for (std::size_t i = 2; i < fields; ++i)
      header.push_back("c" + std::to_string(i));
    table.rows.push_back(header);
    const int records = 1 + static_cast<int>(rng() % 40);
    for (int r = 0; r < records; ++r) {
      std::vector<std::string> row = {std::to_string(lat(rng)),
                                      std::to_string(lon(rng))};
      for (std::size_t i = 2; i < fields; ++i) {
        row.push_back(extras[rng() % extras.size()]);
      }
      table.rows.push_back(row);
    }
    std::size_t at_lat = rng() % fields;
    std::size_t at_lon = rng() % (fields - 1);
    if (at_lon >= at_lat) ++at_lon;

    for (bool drop : {false, true}) {
      SCOPED_TRACE(table.text(at_lat, at_lon, fields) +
                   (drop ? " (drop)" : ""));
      Result<ReverseGeocoder> first =
          ReverseGeocoder::build(table.text(0, 1, fields), U',', drop);
      Result<ReverseGeocoder> placed =
          build_at(table.text(at_lat, at_lon, fields), at_lat, at_lon, drop);
      ASSERT_TRUE(first.ok()) << first.error().message();
      ASSERT_TRUE(placed.ok()) << placed.error().message();
      if (drop) {
        // Without the coordinates both texts are the same records.
        EXPECT_EQ(stored_text(placed.value()), stored_text(first.value()));
        EXPECT_EQ(stored_lines(placed.value()), stored_lines(first.value()));
        EXPECT_EQ(column_names(placed.value()), column_names(first.value()));
      } else {
        EXPECT_EQ(stored_text(placed.value()),
                  table.text(at_lat, at_lon, fields));
      }
      // The same points: every query finds the same record in both.
      const std::vector<std::string_view> a = stored_lines(first.value());
      const std::vector<std::string_view> b = stored_lines(placed.value());
      for (int q = 0; q < 20; ++q) {
        const double qlat = lat(rng), qlon = lon(rng);
        Result<std::string_view> x = first.value().get_nearest(qlat, qlon);
        Result<std::string_view> y = placed.value().get_nearest(qlat, qlon);
        ASSERT_TRUE(x.ok() && y.ok());
        const auto ix = std::find(a.begin(), a.end(), x.value()) - a.begin();
        const auto iy = std::find(b.begin(), b.end(), y.value()) - b.begin();
        if (drop) {
          EXPECT_EQ(x.value(), y.value());
        } else {
          EXPECT_EQ(ix, iy);
        }
      }
    }
  }
}

TEST(GeocoderColumns, DropLeavesTheTwoOutOfColumnsWhereverTheyStand) {
  Result<ReverseGeocoder> g =
      build_at("name,lon,pop,lat\na,20,5,10\n\"b, c\",40,6,30\n", 3, 1, true);
  ASSERT_TRUE(g.ok()) << g.error().message();
  EXPECT_EQ(column_names(g.value()), (Names{"name", "pop"}));
  EXPECT_EQ(stored_text(g.value()), "a,5\n\"b, c\",6\n");
  EXPECT_EQ(g.value().get_nearest(10, 20).value(), "a,5");
}

TEST(GeocoderColumns, RefusesOneColumnForBothAndMissingColumnsPerLine) {
  Result<ReverseGeocoder> same = build_at("a,b\n1,2\n", 1, 1);
  ASSERT_FALSE(same.ok());
  EXPECT_EQ(same.error().kind(), ErrorKind::kInvalidArgument);
  EXPECT_EQ(same.error().message(),
            "latitude and longitude are the same column: 1");

  // A column beyond the header's is missing from every line, so a header
  // alone still builds, as it does with the default columns.
  EXPECT_EQ(build_at("a,b\n1,2\n", 2, 0).error().message(),
            "line 1 has no latitude field");
  EXPECT_EQ(build_at("a,b\n1,2\n", 0, 5).error().message(),
            "line 1 has no longitude field");
  EXPECT_TRUE(build_at("a,b\n", 7, 9).ok());
}

Notes notes_of(std::string csv, bool drop = false, std::size_t lat = 0,
               std::size_t lon = 1) {
  Result<ReverseGeocoder> g = build_at(std::move(csv), lat, lon, drop);
  EXPECT_FALSE(g.ok());
  return g.ok() ? Notes{} : g.error().notes();
}

TEST(GeocoderNotes, NameTheLineAndForACoordinateTheField) {
  for (bool drop : {false, true}) {
    EXPECT_EQ(notes_of("lat,lon,name\n1,2,a\n3,x4,b\n", drop),
              (Notes{"line 2: '3,x4,b'", "lon field: 'x4'"}));
    EXPECT_EQ(notes_of("lat,lon\n1,2\n,5\n", drop),
              (Notes{"line 2: ',5'", "lat field: ''"}));
    EXPECT_EQ(notes_of("lat,lon\n1,2\nnan,5\n", drop),
              (Notes{"line 2: 'nan,5'", "lat field: 'nan'"}));
    EXPECT_EQ(notes_of("lat,lon,name\n1,2\n", drop), (Notes{"line 1: '1,2'"}));
    EXPECT_EQ(notes_of("lat,lon\n1,2\n\n3,4\n", drop), (Notes{"line 2: ''"}));
    // Coordinates elsewhere: the field is still named by what it holds.
    EXPECT_EQ(notes_of("name,lat,lon\na,1,\"2e\"\n", drop, 1, 2),
              (Notes{"line 1: 'a,1,\"2e\"'", "lon field: '2e'"}));
  }
  // The rewriting fails on the second record's width before any line is
  // checked against the header; its note names the line it was writing.
  EXPECT_EQ(notes_of("a,b,c,d\n1,2,3,4\n1,2,3,4,5\n", true),
            (Notes{"line 2: '1,2,3,4,5'"}));
  // A text whose first line is empty fails on the header, line 0.
  EXPECT_EQ(notes_of("\nlat,lon\n"), (Notes{"line 0: ''"}));
  // Failures that belong to no line carry no note.
  EXPECT_EQ(notes_of(""), Notes{});
}

TEST(GeocoderNotes, ShowAtMostEightyCharactersOnOneLine) {
  // 79 ASCII characters, then two-byte characters: the cut falls after the
  // first of these, never inside one.
  const std::string name = std::string(75, 'n') + "éé";
  const std::string line = "1,2," + name;
  const Notes notes = notes_of("lat,lon,x\n1,2,a\n" + line + ",z\n");
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "line 2 (cut to 80 characters): '1,2," +
                          std::string(75, 'n') + "é'");

  // A carriage return inside the line, a tab and a backslash stay visible
  // without breaking the note's line.
  EXPECT_EQ(notes_of("lat,lon\n1,2\n3\t\\,4\r\r\n"),
            (Notes{"line 2: '3\\t\\\\,4\\r'", "lat field: '3\\t\\\\'"}));
}

TEST(GeocoderNotes, AreKeptOutOfTheReport) {
  Result<ReverseGeocoder> g =
      ReverseGeocoder::build("lat,lon\nx,1\n", U',', false);
  ASSERT_FALSE(g.ok());
  EXPECT_EQ(g.error().report(), "invalid float literal");
  EXPECT_EQ(g.error().notes().size(), 2u);
}

}  // namespace
}  // namespace quorvel
