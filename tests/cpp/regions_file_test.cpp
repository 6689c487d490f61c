// The saved-regions file: round trips, and damaged or crafted files refused
// with an error, never a crash.
#include "persist/regions_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "regions/regions.h"
#include "regions_test_support.h"

namespace quorvel::regions {
namespace {

using persist::dumps_regions;
using persist::load_regions;
using persist::loads_regions;
using persist::regions_checksum;
using persist::save_regions;
using test_support::box;
using test_support::build_or_die;
using test_support::Region;

std::vector<Region> sample_regions() {
  return {
      {{box(0, 0, 10, 10), box(2, 2, 4, 4)}, {{box(20, 20, 21, 21)}}},
      {{box(5, 5, 15, 15)}},
      {{{{-180, -90},
         {180, -90},
         {180, -80},
         {0, -80},
         {-180, -80},
         {-180, -90}}}},
  };
}

// Sets the header's checksum to match the payload, so that a test reaches
// the structural checks behind it.
void reseal(std::string& bytes) {
  if (bytes.size() < 32) return;
  const std::uint64_t length = bytes.size() - 32;
  std::memcpy(bytes.data() + 16, &length, 8);
  const std::uint64_t sum =
      regions_checksum(std::string_view(bytes).substr(32, length / 8 * 8));
  std::memcpy(bytes.data() + 24, &sum, 8);
}

TEST(RegionsFileTest, RoundTripKeepsEveryAnswerAndRecord) {
  Regions original = build_or_die(sample_regions(), 7);
  Result<std::string> bytes = dumps_regions(original);
  ASSERT_TRUE(bytes.ok());
  Result<Regions> loaded = loads_regions(bytes.value());
  ASSERT_TRUE(loaded.ok()) << loaded.error().report();
  const Regions& copy = loaded.value();
  EXPECT_EQ(copy.size(), original.size());
  EXPECT_EQ(copy.columns(), original.columns());
  EXPECT_EQ(copy.field(2, 0), "r2");
  EXPECT_EQ(copy.grid_rows(), 7u);
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  for (int k = 0; k < 20000; ++k) {
    const double y = lat(rng) / 4, x = lon(rng) / 8;
    ASSERT_EQ(copy.lookup(y, x, 50), original.lookup(y, x, 50));
  }
  // Saving again gives the same bytes.
  EXPECT_EQ(dumps_regions(copy).value(), bytes.value());

  const std::string path = ::testing::TempDir() + "regions_round_trip.bin";
  ASSERT_TRUE(save_regions(original, path).ok());
  Result<Regions> from_file = load_regions(path);
  ASSERT_TRUE(from_file.ok()) << from_file.error().report();
  EXPECT_EQ(from_file.value().region_at(7, 7), 0u);
  std::remove(path.c_str());
  EXPECT_FALSE(load_regions(path).ok());
}

TEST(RegionsFileTest, DamagedHeadersAreRefused) {
  const std::string bytes =
      dumps_regions(build_or_die(sample_regions())).value();
  auto message = [](const std::string& b) {
    Result<Regions> r = loads_regions(b);
    if (r.ok()) return std::string("ok");
    EXPECT_EQ(r.error().notes().size(), 1u);
    return r.error().message();
  };
  EXPECT_EQ(message(""), "invalid saved regions: no regions header");
  EXPECT_EQ(message("QRVLREGN"), "invalid saved regions: no regions header");
  std::string b = bytes;
  b[8] = 3;
  EXPECT_EQ(message(b),
            "invalid saved regions: layout version 3, this build reads "
            "versions 1 to 2");
  b = bytes;
  b.push_back('\0');
  EXPECT_EQ(message(b),
            "invalid saved regions: the payload length does not match the "
            "data");
  b = bytes;
  b[100] ^= 1;
  EXPECT_EQ(message(b), "invalid saved regions: checksum mismatch");
  b = bytes.substr(0, bytes.size() - 8);
  reseal(b);
  EXPECT_EQ(message(b),
            "invalid saved regions: edge references: the data ends early");
}

// Every byte of the payload flipped in turn (resealed, so that the
// structure is what is tested): each load either fails or gives an index
// whose lookups stay within their arrays (the sanitizer builds watch that).
TEST(RegionsFileTest, FlippedBytesAreRefusedOrHarmless) {
  const std::string bytes =
      dumps_regions(build_or_die(sample_regions(), 3)).value();
  int refused = 0;
  for (std::size_t at = 32; at < bytes.size(); ++at) {
    for (unsigned char mask : {0x01, 0x80, 0xff}) {
      std::string b = bytes;
      b[at] = static_cast<char>(b[at] ^ mask);
      reseal(b);
      Result<Regions> loaded = loads_regions(b);
      if (!loaded.ok()) {
        ++refused;
        continue;
      }
      for (double y : {-90.0, -85.0, 0.0, 3.0, 7.0, 20.5, 90.0}) {
        for (double x : {-180.0, 0.0, 3.0, 7.0, 20.5, 180.0}) {
          (void)loaded.value().lookup(y, x, 500);
        }
      }
    }
  }
  EXPECT_GT(refused, 0);
}

// A loaded index reads its arrays where they lie in its own copy of the
// bytes: it outlives the caller's bytes and survives being moved.
TEST(RegionsFileTest, LoadedIndexOwnsItsBytes) {
  const Regions original = build_or_die(sample_regions(), 5);
  std::optional<Regions> moved;
  {
    std::string bytes = dumps_regions(original).value();
    Result<Regions> loaded = loads_regions(bytes);
    ASSERT_TRUE(loaded.ok()) << loaded.error().report();
    std::fill(bytes.begin(), bytes.end(), '\xff');
    moved.emplace(std::move(loaded).value());
  }
  Regions again = std::move(*moved);
  moved.reset();
  for (double y = -90; y <= 90; y += 2.5) {
    for (double x = -180; x <= 180; x += 2.5) {
      ASSERT_EQ(again.lookup(y, x, 100), original.lookup(y, x, 100));
    }
  }
  EXPECT_EQ(again.field(1, 0), "r1");
}

// Layout version 1 differs from the current one only in its checksum and
// in its cell offsets and edge references (the last sections) stored as
// they are; such files are still read, and saved again in the current
// layout.
TEST(RegionsFileTest, VersionOneIsStillRead) {
  const Regions original = build_or_die(sample_regions(), 4);
  const std::string current = dumps_regions(original).value();
  std::string old = current;
  const std::uint32_t one = 1;
  std::memcpy(old.data() + 8, &one, 4);
  auto padded = [](std::size_t n) { return (n + 7) / 8 * 8; };
  const RegionsArrays& arrays = original.arrays();
  const std::span<const std::uint32_t> refs = arrays.edge_refs;
  const std::span<const std::uint32_t> cells = arrays.cell_offsets;
  ASSERT_GT(refs.size(), 2u);
  const std::size_t refs_at = old.size() - padded(4 * refs.size());
  const std::size_t cells_at =
      refs_at - 8 - (8 + 16 * arrays.items.size()) - padded(4 * cells.size());
  std::memcpy(old.data() + refs_at, refs.data(), 4 * refs.size());
  std::memcpy(old.data() + cells_at, cells.data(), 4 * cells.size());
  EXPECT_NE(old, current);
  const std::string_view payload = std::string_view(old).substr(32);
  const std::uint64_t sum = regions_checksum(payload, 1);
  std::memcpy(old.data() + 24, &sum, 8);
  EXPECT_NE(regions_checksum(payload, 1), regions_checksum(payload));
  Result<Regions> loaded = loads_regions(old);
  ASSERT_TRUE(loaded.ok()) << loaded.error().report();
  EXPECT_EQ(loaded.value().region_at(7, 7), original.region_at(7, 7));
  EXPECT_EQ(dumps_regions(loaded.value()).value(), current);
  // Each version's checksum is its own: a version-1 header over a current
  // checksum is damage.
  std::memcpy(old.data() + 24, current.data() + 24, 8);
  Result<Regions> mixed = loads_regions(old);
  ASSERT_FALSE(mixed.ok());
  EXPECT_EQ(mixed.error().message(),
            "invalid saved regions: checksum mismatch");
}

// Every prefix of a saved file, and every 8-byte word of its payload set to
// numbers far out of range (counts, offsets, edge references, coordinates),
// resealed so that the structural checks see them: each load is refused or
// gives an index whose lookups stay within its arrays.
TEST(RegionsFileTest, TruncatedAndOutOfRangeFilesAreRefusedOrHarmless) {
  const std::string bytes =
      dumps_regions(build_or_die(sample_regions(), 3)).value();
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    std::string b = bytes.substr(0, size);
    reseal(b);
    Result<Regions> loaded = loads_regions(b);
    ASSERT_FALSE(loaded.ok()) << "a prefix of " << size << " bytes loaded";
    EXPECT_EQ(loaded.error().notes().size(), 1u);
  }
  int refused = 0;
  for (std::size_t at = 32; at + 8 <= bytes.size(); at += 4) {
    for (std::uint64_t value :
         {std::uint64_t{0xffffffffffffffffull}, std::uint64_t{1} << 63,
          std::uint64_t{0xffffffffu}, std::uint64_t{0x7fffffffu},
          std::uint64_t{bytes.size()}, std::uint64_t{bytes.size() / 4 + 1}}) {
      std::string b = bytes;
      std::memcpy(b.data() + at, &value, 8);
      reseal(b);
      Result<Regions> loaded = loads_regions(b);
      if (!loaded.ok()) {
        ++refused;
        continue;
      }
      for (double y : {-90.0, -85.0, 0.0, 3.0, 7.0, 20.5, 90.0}) {
        for (double x : {-180.0, 0.0, 3.0, 7.0, 20.5, 180.0}) {
          (void)loaded.value().lookup(y, x, 500);
        }
      }
    }
  }
  EXPECT_GT(refused, 0);
}

// A file whose size is not known in advance (a pipe) is read in growing
// steps, and gives the same index as a regular file.
TEST(RegionsFileTest, LoadsFromAPipe) {
  const Regions original = build_or_die(sample_regions(), 6);
  const std::string bytes = dumps_regions(original).value();
  const std::string path = ::testing::TempDir() + "regions_pipe";
  std::remove(path.c_str());
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) return;
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  });
  Result<Regions> loaded = load_regions(path);
  writer.join();
  std::remove(path.c_str());
  ASSERT_TRUE(loaded.ok()) << loaded.error().report();
  EXPECT_EQ(dumps_regions(loaded.value()).value(), bytes);
}

TEST(RegionsFileTest, InconsistentGridsAreRefused) {
  RegionsParts good = build_or_die(sample_regions(), 3).copy_parts();
  auto error_of = [](RegionsParts parts) {
    Result<Regions> r = Regions::from_parts(std::move(parts));
    return r.ok() ? std::string("ok") : r.error().message();
  };
  EXPECT_EQ(error_of(good), "ok");
  RegionsParts p = good;
  p.grid_rows = 4;
  EXPECT_EQ(error_of(p),
            "regions grid is inconsistent: the cell table does not match the "
            "grid");
  p = good;
  p.grid_rows = 0;
  EXPECT_EQ(error_of(p).rfind("regions grid is inconsistent: grid rows 0", 0),
            0u);
  ASSERT_FALSE(good.items.empty());
  p = good;
  p.items[0].polygon = 99;
  EXPECT_EQ(error_of(p).find("names a polygon outside its region") !=
                std::string::npos,
            true);
  p = good;
  p.items[0].region = p.items[0].region == 0 ? 1 : 0;
  EXPECT_NE(error_of(p), "ok");
  p = good;
  for (CellItem& item : p.items) {
    if (item.edge_count() > 0) {
      item.edge_begin = static_cast<std::uint32_t>(p.edge_refs.size());
      break;
    }
  }
  EXPECT_NE(error_of(p).find("beyond the edge table"), std::string::npos);
  p = good;
  p.edge_refs[0] = p.ring_offsets[1] - 1;  // The last vertex starts no edge.
  EXPECT_NE(error_of(p).find("an edge of another polygon"), std::string::npos);
  // Nor does the last vertex of a shell followed by a hole, though it lies
  // within its polygon's vertices.
  ASSERT_EQ(good.polygon_offsets[1], 2u);
  p = good;
  for (CellItem& item : p.items) {
    if (item.polygon == 0 && item.edge_count() > 0) {
      p.edge_refs[item.edge_begin] = p.ring_offsets[1] - 1;
      break;
    }
  }
  EXPECT_NE(error_of(p).find("an edge of another polygon"), std::string::npos);
  p = good;
  for (CellItem& item : p.items) {
    if (item.polygon == 0 && item.edge_count() > 0) {
      p.edge_refs[item.edge_begin] = p.ring_offsets[2] - 2;  // The hole's.
      break;
    }
  }
  EXPECT_EQ(error_of(p), "ok");
  p = good;
  p.cell_offsets.back() += 1;
  EXPECT_NE(error_of(p).find("cell offsets end at"), std::string::npos);
  p = good;
  p.coordinates[0] = 500;
  EXPECT_NE(error_of(p).find("longitude outside"), std::string::npos);
}

}  // namespace
}  // namespace quorvel::regions
