// The saved-geocoder file: layout, round trips, map forms, damaged files and
// the checks that keep a loaded geocoder safe to query.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "geocoder/geocoder.h"
#include "persist/saved_file.h"
#include "persist_bytes.h"

namespace quorvel::persist {
namespace {

using quorvel::test_support::GeocoderParts;
using quorvel::test_support::parts_of;
using test_support::arr;
using test_support::f64;
using test_support::fixmap;
using test_support::hex;
using test_support::raw;
using test_support::saved_bytes;
using test_support::str;
using test_support::u;

ReverseGeocoder build(const std::string& csv, bool drop = false) {
  Result<ReverseGeocoder> g = ReverseGeocoder::build(csv, U',', drop);
  if (!g.ok()) ADD_FAILURE() << g.error().report();
  return std::move(g).value();
}

// A CSV of n records at fixed-seed random places, some with quoted names.
std::string random_csv(int n, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::ostringstream out;
  out.precision(17);
  out << "lat,lon,name,note\n";
  for (int k = 0; k < n; ++k) {
    out << lat(rng) << ',' << lon(rng) << ",place " << k << ','
        << (k % 3 == 0 ? "\"a, b\"" : "caf\xc3\xa9") << '\n';
  }
  return out.str();
}

std::string dump(const ReverseGeocoder& g) {
  Result<std::string> bytes = dumps(g);
  if (!bytes.ok()) ADD_FAILURE() << bytes.error().report();
  return std::move(bytes).value();
}

// The report of a failing loads(), or "loaded".
std::string load_error(const std::string& bytes) {
  Result<ReverseGeocoder> g = loads(bytes);
  return g.ok() ? "loaded" : g.error().report();
}

std::string be64(double v) {
  std::string out;
  auto bits = std::bit_cast<std::uint64_t>(v);
  for (int k = 7; k >= 0; --k) out += static_cast<char>(bits >> (8 * k));
  return out;
}

TEST(SavedFileLayout, OneRecordExampleIsExactly960Bytes) {
  ReverseGeocoder g = build("lat,lon,name\n10,20,a\n");
  kdtree::Point p = lat_lon_to_point(10, 20);
  std::string expected =
      raw({0x95, 0xb5}) + "lat,lon,name\n10,20,a\n" +
      raw({0xa1, 0x2c, 0x93, 0xa3}) + "lat" + raw({0xa3}) + "lon" +
      raw({0xa4}) + "name" +
      raw({0x91, 0x92, 0x0d, 0x07, 0x93, 0x91, 0x93, 0xdc, 0x00, 0x60});
  for (int row = 0; row < 3; ++row) {
    for (int slot = 0; slot < 32; ++slot) {
      expected += '\xcb';
      expected += be64(slot == 0 ? p[row] : 0.0);
    }
  }
  expected += raw({0xdc, 0x00, 0x20}) + std::string(32, '\0') + raw({0x01});
  expected += raw({0x91, 0xcb, 0x7f, 0xf0, 0, 0, 0, 0, 0, 0, 0x01});
  ASSERT_EQ(expected.size(), 960u);
  EXPECT_EQ(hex(dump(g)), hex(expected));
}

void expect_same(const ReverseGeocoder& a, const ReverseGeocoder& b) {
  EXPECT_EQ(a.csv(), b.csv());
  EXPECT_EQ(a.value_sep(), b.value_sep());
  EXPECT_EQ(a.columns(), b.columns());
  ASSERT_EQ(a.indexed_data().size(), b.indexed_data().size());
  for (std::size_t k = 0; k < a.indexed_data().size(); ++k) {
    EXPECT_EQ(a.indexed_data()[k].offset, b.indexed_data()[k].offset);
    EXPECT_EQ(a.indexed_data()[k].len, b.indexed_data()[k].len);
  }
  ASSERT_EQ(a.tree().leaves().size(), b.tree().leaves().size());
  for (std::size_t k = 0; k < a.tree().leaves().size(); ++k) {
    EXPECT_EQ(a.tree().leaves()[k].size, b.tree().leaves()[k].size);
    EXPECT_EQ(a.tree().leaves()[k].content_items,
              b.tree().leaves()[k].content_items);
    EXPECT_EQ(0, std::memcmp(&a.tree().leaves()[k].content_points,
                             &b.tree().leaves()[k].content_points,
                             sizeof a.tree().leaves()[k].content_points));
  }
  ASSERT_EQ(a.tree().stems().size(), b.tree().stems().size());
  EXPECT_EQ(0, std::memcmp(a.tree().stems().data(), b.tree().stems().data(),
                           a.tree().stems().size() * sizeof(double)));
  EXPECT_EQ(a.tree().size(), b.tree().size());
}

TEST(SavedFileRoundTrip, SaveLoadSaveIsByteIdentical) {
  for (bool drop : {false, true}) {
    for (int n : {0, 1, 31, 33, 700, 5000}) {
      SCOPED_TRACE("n=" + std::to_string(n) + " drop=" + std::to_string(drop));
      ReverseGeocoder g = build(random_csv(n, 7 + n), drop);
      std::string first = dump(g);
      ASSERT_EQ(static_cast<unsigned char>(first[0]), 0x95);
      Result<ReverseGeocoder> back = loads(first);
      ASSERT_TRUE(back.ok()) << back.error().report();
      expect_same(g, back.value());
      EXPECT_EQ(dump(back.value()), first);
      std::mt19937 rng(n);
      std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
      for (int q = 0; q < 50 && n > 0; ++q) {
        double a = lat(rng), b = lon(rng);
        EXPECT_EQ(back.value().get_nearest(a, b).value(),
                  g.get_nearest(a, b).value());
      }
    }
  }
}

// A geocoder of `csv` whose stored separator is `sep`, as a file may hold.
ReverseGeocoder with_separator(const std::string& csv, char32_t sep) {
  GeocoderParts parts = parts_of(build(csv));
  parts.value_sep = sep;
  return quorvel::test_support::from_parts(std::move(parts)).value();
}

TEST(SavedFileRoundTrip, NonAsciiSeparatorIsKeptAsStored) {
  ReverseGeocoder g = with_separator("lat,lon\n1,2\n", U'\u00e9');
  std::string bytes = dump(g);
  EXPECT_NE(bytes.find(raw({0xa2, 0xc3, 0xa9})), std::string::npos);
  EXPECT_EQ(loads(bytes).value().value_sep(), U'\u00e9');
}

TEST(SavedFileRoundTrip, UnwritableSeparatorFailsBeforeWriting) {
  ReverseGeocoder g = with_separator("lat,lon\n1,2\n", 0xD800);
  EXPECT_EQ(dumps(g).error().report(),
            "cannot save the geocoder: value_sep U+D800 is not a Unicode "
            "scalar value");
}

TEST(SavedFileRoundTrip, TrailingBytesAreIgnored) {
  std::string bytes = dump(build(random_csv(40, 3)));
  EXPECT_EQ(dump(loads(bytes + "garbage\xc1\xff").value()), bytes);
  EXPECT_EQ(dump(loads(bytes + bytes).value()), bytes);
}

TEST(SavedFileRoundTrip, TruncationAtEveryOffsetFailsCleanly) {
  std::string bytes = dump(build(random_csv(40, 5)));
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    Result<ReverseGeocoder> g = loads(std::string_view(bytes).substr(0, cut));
    ASSERT_FALSE(g.ok()) << cut;
    const std::string& m = g.error().message();
    EXPECT_TRUE(m.starts_with("IO error while reading ")) << cut << ": " << m;
  }
}

TEST(SavedFileRoundTrip, RandomlyDamagedFilesLoadSafelyOrFail) {
  ReverseGeocoder g = build(random_csv(40, 9));
  std::string good = dump(g);
  std::mt19937 rng(301);
  for (int round = 0; round < 3000; ++round) {
    std::string bytes = good;
    for (int k = 0, n = 1 + round % 4; k < n; ++k) {
      bytes[rng() % bytes.size()] = static_cast<char>(rng());
    }
    Result<ReverseGeocoder> back = loads(bytes);
    if (!back.ok()) {
      EXPECT_FALSE(back.error().message().empty());
      continue;
    }
    // Whatever loads must be safe to query.
    (void)back.value().get_nearest(12.5, -40.25);
  }
}

// The five fields of a geocoder's file, each as its own bytes.
struct Fields {
  std::string csv, sep, columns, indexed_data, tree;
};

Fields fields_of(const ReverseGeocoder& g) {
  Fields f;
  f.csv = str(g.csv());
  f.sep = str(",");
  f.columns = arr(g.columns().size());
  for (const auto& c : g.columns()) f.columns += str(c);
  f.indexed_data = arr(g.indexed_data().size());
  for (const auto& s : g.indexed_data()) {
    f.indexed_data += arr(2) + u(s.offset) + u(s.len);
  }
  std::string all = dump(g);
  std::size_t head = 1 + f.csv.size() + f.sep.size() + f.columns.size() +
                     f.indexed_data.size();
  EXPECT_EQ(all.substr(0, head),
            "\x95" + f.csv + f.sep + f.columns + f.indexed_data);
  f.tree = all.substr(head);
  return f;
}

class SavedFileDecode : public ::testing::Test {
 protected:
  ReverseGeocoder g_ = build("lat,lon,name\n10,20,a\n-5,7,b\n");
  Fields f_ = fields_of(g_);
  std::string good_ = dump(g_);

  std::string as_array(int n, const std::vector<std::string>& parts) {
    std::string out = arr(n);
    for (const auto& p : parts) out += p;
    return out;
  }
};

TEST_F(SavedFileDecode, MapFormInAnyKeyOrderLoadsLikeTheArray) {
  std::array<std::pair<std::string, std::string>, 5> pairs = {{
      {str("csv"), f_.csv},
      {str("value_sep"), f_.sep},
      {str("columns"), f_.columns},
      {str("indexed_data"), f_.indexed_data},
      {str("tree"), f_.tree},
  }};
  std::sort(pairs.begin(), pairs.end());
  int orders = 0;
  do {
    std::string bytes = fixmap(5);
    for (const auto& [k, v] : pairs) bytes += k + v;
    Result<ReverseGeocoder> g = loads(bytes);
    ASSERT_TRUE(g.ok()) << g.error().report();
    ASSERT_EQ(dump(g.value()), good_);
    ++orders;
  } while (std::next_permutation(pairs.begin(), pairs.end()));
  EXPECT_EQ(orders, 120);
}

TEST_F(SavedFileDecode, MapKeysByPositionByteStringAndUnknownKeysSkipped) {
  std::string bytes = fixmap(8) + u(4) + f_.tree + raw({0xc4, 3}) + "csv" +
                      f_.csv + str("zzz") + arr(2) + fixmap(1) + str("a") +
                      raw({0xc7, 2, 1, 9, 9}) + u(0) +      // unknown: skipped
                      u(1) + f_.sep + u(99) + u(5) +        // unknown position
                      raw({0xa2, 0xff, 0xfe}) + str("x") +  // non-UTF-8 key
                      str("columns") + f_.columns + u(3) + f_.indexed_data;
  Result<ReverseGeocoder> g = loads(bytes);
  ASSERT_TRUE(g.ok()) << g.error().report();
  EXPECT_EQ(dump(g.value()), good_);
}

// The value of an unknown key is decoded by the rules of a kept value before
// it is thrown away.
TEST_F(SavedFileDecode, UnknownKeysValuesAreDecodedBeforeBeingDropped) {
  auto with_unknown = [&](const std::string& value) {
    return fixmap(6) + str("csv") + f_.csv + str("zz") + value +
           str("value_sep") + f_.sep + str("columns") + f_.columns +
           str("indexed_data") + f_.indexed_data + str("tree") + f_.tree;
  };
  EXPECT_EQ(load_error(with_unknown(raw({0xa1, 0xff}))),
            "string found to be invalid utf8: invalid utf-8 sequence of 1 "
            "bytes from index 0\n\nCaused by:\n    invalid utf-8 sequence "
            "of 1 bytes from index 0");
  // The same string as a field fails the same way.
  EXPECT_EQ(
      load_error(as_array(5, {f_.csv, f_.sep, arr(1) + raw({0xa1, 0xff})})),
      load_error(with_unknown(raw({0xa1, 0xff}))));
  EXPECT_EQ(load_error(with_unknown(arr(1) + fixmap(1) + str("k") +
                                    raw({0xa2, 'x', 0x80}))),
            "string found to be invalid utf8: invalid utf-8 sequence of 1 "
            "bytes from index 1\n\nCaused by:\n    invalid utf-8 sequence "
            "of 1 bytes from index 1");
  EXPECT_EQ(load_error(with_unknown(raw({0xc1}))),
            "wrong msgpack marker Reserved");
  EXPECT_EQ(load_error(with_unknown(raw({0xc4, 2, 0xff, 0xfe}))), "loaded");
  EXPECT_EQ(load_error(with_unknown(str("\xc3\xa9t\xc3\xa9"))), "loaded");
}

TEST_F(SavedFileDecode, MapMissingDuplicateAndSignedKeys) {
  std::string no_tree = fixmap(4) + str("csv") + f_.csv + str("value_sep") +
                        f_.sep + str("columns") + f_.columns +
                        str("indexed_data") + f_.indexed_data;
  EXPECT_EQ(load_error(no_tree), "missing field `tree`");
  EXPECT_EQ(load_error(fixmap(0)), "missing field `csv`");
  EXPECT_EQ(load_error(fixmap(2) + str("csv") + f_.csv + u(0) + f_.csv),
            "duplicate field `csv`");
  // Reported on the second key, before its (here broken) value is read.
  EXPECT_EQ(load_error(fixmap(2) + str("csv") + f_.csv + str("csv")),
            "duplicate field `csv`");
  EXPECT_EQ(load_error(fixmap(1) + raw({0xff}) + f_.csv),
            "invalid type: integer `-1`, expected field identifier");
  EXPECT_EQ(load_error(fixmap(1) + raw({0xd0, 0x01}) + f_.csv),
            "invalid type: integer `1`, expected field identifier");
  EXPECT_EQ(load_error(fixmap(1) + raw({0xc0}) + f_.csv),
            "invalid type: unit value, expected field identifier");
  EXPECT_EQ(load_error(fixmap(1) + raw({0xc1})),
            "wrong msgpack marker Reserved");
  // A slice record in map form inside the array form.
  std::string slices = arr(2) + fixmap(2) + str("len") + u(7) + str("offset") +
                       u(13) + arr(2) + u(21) + u(6);
  EXPECT_EQ(
      dump(loads(as_array(5, {f_.csv, f_.sep, f_.columns, slices, f_.tree}))
               .value()),
      good_);
  std::string slice_missing = arr(1) + fixmap(1) + str("offset") + u(13);
  EXPECT_EQ(load_error(as_array(
                5, {f_.csv, f_.sep, f_.columns, slice_missing, f_.tree})),
            "missing field `len`");
}

TEST_F(SavedFileDecode, NestingDepthInSkippedValues) {
  // The geocoder map is level 1, so an unknown key's value may open 1022
  // more containers but not 1023.
  auto with_nesting = [&](int depth) {
    std::string deep;
    for (int k = 0; k < depth; ++k) deep += arr(1);
    deep += u(0);
    return fixmap(6) + str("deep") + deep + str("csv") + f_.csv +
           str("value_sep") + f_.sep + str("columns") + f_.columns +
           str("indexed_data") + f_.indexed_data + str("tree") + f_.tree;
  };
  EXPECT_EQ(load_error(with_nesting(1022)), "loaded");
  EXPECT_EQ(load_error(with_nesting(1023)), "depth limit exceeded");
}

TEST_F(SavedFileDecode, RecordAndArrayLengths) {
  EXPECT_EQ(load_error(as_array(6, {f_.csv, f_.sep, f_.columns, f_.indexed_data,
                                    f_.tree, u(0)})),
            "array had incorrect length, expected 5");
  EXPECT_EQ(
      load_error(as_array(4, {f_.csv, f_.sep, f_.columns, f_.indexed_data})),
      "invalid length 4, expected struct ReverseGeocoder with 5 elements");
  EXPECT_EQ(
      load_error(as_array(2, {f_.csv, f_.sep})),
      "invalid length 2, expected struct ReverseGeocoder with 5 elements");
  EXPECT_EQ(load_error(str("x")),
            "invalid type: string \"x\", expected struct ReverseGeocoder");
  EXPECT_EQ(load_error(raw({0xc4, 1, 5})),
            "invalid type: integer `5`, expected a string");
  EXPECT_EQ(load_error(u(3)),
            "invalid type: integer `3`, expected struct ReverseGeocoder");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, str("ab")})),
            "invalid value: string \"ab\", expected a character");
  EXPECT_EQ(load_error(as_array(5, {str("\xff")})),
            "string found to be invalid utf8: invalid utf-8 sequence of 1 "
            "bytes from index 0\n\nCaused by:\n    invalid utf-8 sequence of "
            "1 bytes from index 0");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, f_.sep, arr(1) + u(1)})),
            "invalid type: integer `1`, expected a string");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, f_.sep, f_.columns,
                                    arr(1) + arr(3) + u(0) + u(0) + u(0)})),
            "array had incorrect length, expected 2");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, f_.sep, f_.columns,
                                    arr(1) + arr(2) + raw({0xc0})})),
            "invalid type: unit value, expected isize");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, f_.sep, f_.columns,
                                    arr(1) + arr(2) + u(0) + raw({0xff})})),
            "invalid value: integer `-1`, expected usize");
  EXPECT_EQ(
      load_error(as_array(5, {f_.csv, f_.sep, f_.columns, raw({0xc4, 1, 9})})),
      "invalid type: integer `9`, expected struct StringSlice");
  EXPECT_EQ(load_error(as_array(5, {f_.csv, f_.sep, f_.columns, f_.indexed_data,
                                    arr(2) + arr(0) + arr(1) + f64(HUGE_VAL)})),
            "invalid length 2, expected struct ImmutableKdTree with 3 "
            "elements");
}

// A one-leaf tree whose leaf's two arrays are replaced by the given bytes.
std::string tree_with_leaf(const std::string& points, const std::string& items,
                           const std::string& size) {
  return arr(3) + arr(1) + arr(3) + points + items + size + arr(1) +
         f64(HUGE_VAL) + u(2);
}

// n coordinates of 1/sqrt(3): whole points of them are unit vectors.
std::string points(int n) {
  std::string out = arr(n);
  for (int k = 0; k < n; ++k) out += f64(1.0 / std::sqrt(3.0));
  return out;
}

std::string items(int n) {
  std::string out = arr(n);
  for (int k = 0; k < n; ++k) out += u(k % 2);
  return out;
}

TEST_F(SavedFileDecode, LeafArraysOfTheWrongLength) {
  auto with_tree = [&](const std::string& tree) {
    return load_error(
        as_array(5, {f_.csv, f_.sep, f_.columns, f_.indexed_data, tree}));
  };
  EXPECT_EQ(with_tree(tree_with_leaf(points(96), items(32), u(2))), "loaded");
  EXPECT_EQ(with_tree(tree_with_leaf(points(95), items(32), u(2))),
            "invalid length 95, expected an array of arrays, dimensions of "
            "32x3");
  EXPECT_EQ(with_tree(tree_with_leaf(points(97), items(32), u(2))),
            "array had incorrect length, expected 96");
  EXPECT_EQ(with_tree(tree_with_leaf(points(96), items(31), u(2))),
            "invalid length 31, expected an array of length 32");
  EXPECT_EQ(with_tree(tree_with_leaf(points(96), items(33), u(2))),
            "array had incorrect length, expected 32");
  // Byte strings: one element per byte, extra bytes ignored.
  std::string bin_points = raw({0xc4, 100}) + std::string(100, '\0');
  std::string bin_items = raw({0xc4, 33, 0, 1}) + std::string(31, '\0');
  // Decoded as far as the points, which are zero vectors, not unit ones.
  EXPECT_EQ(with_tree(tree_with_leaf(bin_points, bin_items, u(2))),
            "invalid saved geocoder: tree.leaves[0] slot 0 holds a point that "
            "is not a unit vector");
  EXPECT_EQ(with_tree(tree_with_leaf(raw({0xc4, 3, 1, 2, 3}), items(32), u(2))),
            "invalid length 3, expected an array of arrays, dimensions of "
            "32x3");
  EXPECT_EQ(with_tree(arr(3) + arr(1) + arr(4) + points(96) + items(32) + u(2) +
                      u(0)),
            "array had incorrect length, expected 3");
  EXPECT_EQ(with_tree(tree_with_leaf(str("p"), items(32), u(2))),
            "invalid type: string \"p\", expected an array of arrays, "
            "dimensions of 32x3");
  EXPECT_EQ(
      with_tree(tree_with_leaf(points(96), arr(32) + u(4294967296u), u(2))),
      "invalid value: integer `4294967296`, expected u32");
  EXPECT_EQ(with_tree(arr(3) + raw({0xc4, 1, 7})),
            "invalid type: integer `7`, expected struct LeafNode");
  // Stems from a byte string become floats; a tree without points may
  // have no leaf.
  EXPECT_EQ(with_tree(arr(3) + arr(0) + raw({0xc4, 1, 7}) + u(0)), "loaded");
}

// Loads the saved form of a geocoder's parts after `damage` was done to
// them. The same parts handed to from_parts directly must fare the same.
template <typename F>
std::string damaged(F damage) {
  GeocoderParts g = parts_of(build(random_csv(100, 11)));
  damage(g);
  Result<ReverseGeocoder> direct = quorvel::test_support::from_parts(g);
  const std::string loaded = load_error(saved_bytes(g));
  EXPECT_EQ(direct.ok() ? "loaded" : direct.error().report(), loaded);
  return loaded;
}

TEST(SavedFileValidation, TestEncoderWritesWhatTheWriterWrites) {
  const ReverseGeocoder g = build(random_csv(100, 11));
  EXPECT_EQ(hex(saved_bytes(parts_of(g))), hex(dump(g)));
}

TEST(SavedFileValidation, SlicesMustLieInsideTheTextOnCharBoundaries) {
  EXPECT_EQ(
      damaged([](GeocoderParts& g) { g.indexed_data[3].offset = -1; }),
      "invalid saved geocoder: indexed_data[3] (offset -1, len " +
          std::to_string(build(random_csv(100, 11)).indexed_data()[3].len) +
          ") has a negative offset");
  EXPECT_TRUE(damaged([](GeocoderParts& g) {
                g.indexed_data[5].len = g.csv.size();
              }).find("indexed_data[5]") != std::string::npos);
  EXPECT_TRUE(damaged([](GeocoderParts& g) {
                g.indexed_data[0].offset = g.csv.size() + 1;
                g.indexed_data[0].len = 0;
              })
                  .ends_with("reaches past the end of csv (" +
                             std::to_string(random_csv(100, 11).size()) +
                             " bytes)"));
  // An empty slice at the very end of the text is fine.
  EXPECT_EQ(damaged([](GeocoderParts& g) {
              g.indexed_data[0].offset = g.csv.size();
              g.indexed_data[0].len = 0;
            }),
            "loaded");
  // Record 1 ends in "café": cutting the é in half is refused.
  EXPECT_TRUE(damaged([](GeocoderParts& g) {
                g.indexed_data[1].len -= 1;
              }).ends_with("cuts a UTF-8 character of csv"));
}

TEST(SavedFileValidation, LeafSizesItemsAndCoordinates) {
  EXPECT_EQ(damaged([](GeocoderParts& g) { g.tree.leaves[1].size = 33; }),
            "invalid saved geocoder: tree.leaves[1].size is 33, more than the "
            "32 slots of a leaf");
  EXPECT_EQ(damaged([](GeocoderParts& g) { g.tree.size += 1; }),
            "invalid saved geocoder: the leaf sizes add up to 100, but "
            "tree.size is 101");
  EXPECT_EQ(damaged([](GeocoderParts& g) {
              g.tree.leaves[0].content_items[2] = 100;
            }),
            "invalid saved geocoder: tree.leaves[0] slot 2 holds item 100, "
            "but there are only 100 slices");
  EXPECT_EQ(damaged([](GeocoderParts& g) {
              g.tree.leaves[2].content_points[1][0] = std::nan("");
            }),
            "invalid saved geocoder: tree.leaves[2] slot 0 holds a NaN "
            "coordinate");
  // Unfilled slots are never read: anything there is harmless.
  EXPECT_EQ(damaged([](GeocoderParts& g) {
              auto& leaf = *std::find_if(
                  g.tree.leaves.begin(), g.tree.leaves.end(),
                  [](const kdtree::LeafNode& l) { return l.size < 32; });
              leaf.content_items[31] = 12345;
              leaf.content_points[0][31] = std::nan("");
            }),
            "loaded");
}

TEST(SavedFileValidation, TreeShapeMustKeepEveryReachableLeafInside) {
  EXPECT_EQ(
      damaged([](GeocoderParts& g) { g.tree.stems.push_back(0.0); }),
      "invalid saved geocoder: tree.stems has " +
          std::to_string(build(random_csv(100, 11)).tree().stems().size() + 1) +
          " slots, not a power of two");
  EXPECT_EQ(damaged([](GeocoderParts& g) { g.tree.stems.clear(); }),
            "invalid saved geocoder: tree.stems has 0 slots, not a power of "
            "two");
  EXPECT_TRUE(damaged([](GeocoderParts& g) {
                std::size_t stems = g.tree.stems.size();
                while (g.tree.leaves.size() <= stems) {
                  g.tree.leaves.emplace_back();
                }
              }).ends_with("stem slots"));
  // Dropping the last leaf leaves a finite split pointing at nothing.
  EXPECT_TRUE(damaged([](GeocoderParts& g) {
                g.tree.size -= g.tree.leaves.back().size;
                g.tree.leaves.pop_back();
              }).find("but tree.leaves has only") != std::string::npos);
}

TEST(SavedFileValidation, ReachabilityFollowsTheSplitValues) {
  // Two stem slots, one leaf: only +inf at the root keeps queries left.
  GeocoderParts g = parts_of(build("lat,lon\n1,2\n"));
  ASSERT_EQ(g.tree.stems.size(), 1u);
  g.tree.stems = {0.0, HUGE_VAL};
  EXPECT_EQ(load_error(saved_bytes(g)), "loaded");
  for (double split : {0.25, -HUGE_VAL, std::nan("")}) {
    g.tree.stems = {0.0, split};
    EXPECT_EQ(load_error(saved_bytes(g)),
              "invalid saved geocoder: tree node 3 leads to leaf 1, but "
              "tree.leaves has only 1")
        << split;
  }
  // -inf and NaN send finite queries right, so leaf 0 may be absent only
  // if the tree were empty; here leaf 1 must exist and leaf 0 is unused.
  g.tree.leaves.push_back(g.tree.leaves[0]);
  g.tree.leaves[0] = kdtree::LeafNode{};
  g.tree.stems = {0.0, -HUGE_VAL};
  EXPECT_EQ(load_error(saved_bytes(g)), "loaded");
  // No leaf at all is fine only for a tree without points.
  ReverseGeocoder empty = build("lat,lon\n");
  EXPECT_TRUE(empty.tree().leaves().empty());
  EXPECT_EQ(load_error(dump(empty)), "loaded");
  g = parts_of(build("lat,lon\n1,2\n"));
  g.tree.leaves.clear();
  g.tree.size = 0;
  g.indexed_data.clear();
  EXPECT_EQ(load_error(saved_bytes(g)), "loaded");
}

// ---- Files ----

class SavedFileOnDisk : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/quorvel_persist_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::remove(path("a").c_str());
    std::remove(path("empty").c_str());
    rmdir(path("sub").c_str());
    rmdir(dir_.c_str());
  }
  std::string path(const std::string& name) { return dir_ + "/" + name; }
  static std::string contents(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string dir_;
};

TEST_F(SavedFileOnDisk, SaveWritesDumpsBytesAndLoadReadsThemBack) {
  ReverseGeocoder g = build(random_csv(3000, 1));  // Several read blocks.
  ASSERT_TRUE(save(g, path("a")).ok());
  std::string bytes = dump(g);
  EXPECT_GT(bytes.size(), 200000u);
  EXPECT_EQ(contents(path("a")), bytes);
  Result<ReverseGeocoder> back = load(path("a"));
  ASSERT_TRUE(back.ok()) << back.error().report();
  EXPECT_EQ(dump(back.value()), bytes);
  struct stat st;
  ASSERT_EQ(stat(path("a").c_str(), &st), 0);
  mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
}

TEST_F(SavedFileOnDisk, SavingOntoALongerFileTruncatesIt) {
  ReverseGeocoder big = build(random_csv(500, 2));
  ReverseGeocoder small = build("lat,lon,name\n10,20,a\n");
  ASSERT_TRUE(save(big, path("a")).ok());
  ASSERT_TRUE(save(small, path("a")).ok());
  EXPECT_EQ(contents(path("a")), dump(small));
  EXPECT_EQ(dump(load(path("a")).value()), dump(small));
}

TEST_F(SavedFileOnDisk, FileErrorsCarryTheOperatingSystemText) {
  EXPECT_EQ(load(path("missing")).error().report(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(save(build("lat,lon\n"), path("no/such/dir")).error().report(),
            "No such file or directory (os error 2)");
  EXPECT_EQ(save(build("lat,lon\n"), dir_).error().report(),
            "Is a directory (os error 21)");
  EXPECT_EQ(load(dir_).error().report(),
            "IO error while reading marker: Is a directory (os error "
            "21)\n\nCaused by:\n    Is a directory (os error 21)");
  std::ofstream(path("empty")).close();
  EXPECT_EQ(load(path("empty")).error().report(),
            "IO error while reading marker: failed to fill whole "
            "buffer\n\nCaused by:\n    failed to fill whole buffer");
}

TEST_F(SavedFileOnDisk, AFullDiskIsTheEncodeErrorChain) {
  Status s = save(build(random_csv(200, 4)), "/dev/full");
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().report(),
            "invalid value write: error while writing multi-byte MessagePack "
            "value\n\nCaused by:\n"
            "    0: error while writing multi-byte MessagePack value\n"
            "    1: No space left on device (os error 28)");
}

TEST_F(SavedFileOnDisk, TruncatedFilesFailAtEveryCutWithTheRightKind) {
  std::string bytes = dump(build("lat,lon,name\n10,20,a\n"));
  for (std::size_t cut : {0, 1, 5, 30, 31, 60, 959}) {
    std::ofstream(path("a"), std::ios::binary) << bytes.substr(0, cut);
    Result<ReverseGeocoder> g = load(path("a"));
    ASSERT_FALSE(g.ok());
    EXPECT_EQ(
        g.error().message(),
        load_error(bytes.substr(0, cut)).substr(0, g.error().message().size()))
        << cut;
  }
}

}  // namespace
}  // namespace quorvel::persist
