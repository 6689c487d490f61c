// Loading saved regions from arbitrary bytes: it either fails with an error
// or gives an index whose lookups stay inside its data and which saves to
// the same bytes.
//
// The header's checksum would stop nearly every mutation at the door, so
// when the first byte is odd the target rewrites the length and checksum
// (of the layout version the header names) to match what follows, and the
// structural checks behind them get fuzzed.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "persist/regions_file.h"
#include "regions/regions.h"

namespace {

constexpr double kQueries[][2] = {
    {0, 0},     {90, 0}, {-90, 0},      {0, 180},      {0, -180},  {45, 90},
    {-45, -90}, {1, 1},  {-33.9, 18.4}, {89.9, 179.9}, {0.5, 0.5}, {2, -1}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  if ((data[0] & 1) != 0 && bytes.size() >= 32) {
    const std::uint64_t length = (bytes.size() - 32) / 8 * 8;
    bytes.resize(32 + length);
    std::memcpy(bytes.data() + 16, &length, 8);
    std::uint32_t version;
    std::memcpy(&version, bytes.data() + 8, 4);
    const std::uint64_t sum = quorvel::persist::regions_checksum(
        std::string_view(bytes).substr(32), version);
    std::memcpy(bytes.data() + 24, &sum, 8);
  }
  auto loaded = quorvel::persist::loads_regions(bytes);
  if (!loaded.ok()) {
    FUZZ_CHECK(!loaded.error().message().empty());
    return 0;
  }
  const quorvel::regions::Regions& regions = loaded.value();
  for (const auto& q : kQueries) {
    const std::uint32_t g = regions.lookup(q[0], q[1], 300.0);
    FUZZ_CHECK(g == quorvel::regions::kNoRegion || g < regions.size());
    if (g != quorvel::regions::kNoRegion) {
      for (std::size_t c = 0; c < regions.columns().size(); ++c) {
        (void)regions.field(g, c).size();
      }
    }
  }
  // An older layout is saved in the current one, which then round-trips.
  const std::string saved = quorvel::persist::dumps_regions(regions).value();
  std::uint32_t version;
  std::memcpy(&version, bytes.data() + 8, 4);
  if (version == quorvel::persist::kRegionsFileVersion) {
    FUZZ_CHECK(saved == bytes);
  } else {
    auto again = quorvel::persist::loads_regions(saved);
    FUZZ_CHECK(again.ok());
    FUZZ_CHECK(quorvel::persist::dumps_regions(again.value()).value() == saved);
  }
  return 0;
}
