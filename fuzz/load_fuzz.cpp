// Loading a saved geocoder from arbitrary bytes: it either fails with an
// error or yields a geocoder whose lookups stay inside its data and which
// saves and reloads to identical bytes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "geocoder/geocoder.h"
#include "persist/saved_file.h"

namespace {

using quorvel::ReverseGeocoder;

// Spread over the globe, poles and antimeridian included, so that a crafted
// tree is entered from every side.
constexpr double kQueries[][2] = {
    {0, 0},   {90, 0},    {-90, 0}, {0, 180},      {0, -180},
    {45, 90}, {-45, -90}, {10, 20}, {-33.9, 18.4}, {89.9, 179.9}};

void check_lookups(const ReverseGeocoder& g) {
  const std::string_view text(g.csv());
  for (const auto& q : kQueries) {
    auto line = g.get_nearest(q[0], q[1]);
    if (line.ok()) {
      const std::string_view found = line.value();
      FUZZ_CHECK(found.data() >= text.data());
      FUZZ_CHECK(found.data() + found.size() <= text.data() + text.size());
    }
    auto record = g.get_nearest_record(q[0], q[1]);
    if (record.ok()) FUZZ_CHECK(record.value().size() <= g.columns().size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto loaded = quorvel::persist::loads(bytes);
  if (!loaded.ok()) {
    FUZZ_CHECK(!loaded.error().report().empty());
    return 0;
  }
  const ReverseGeocoder& g = loaded.value();
  check_lookups(g);

  // The input may use the map form or wider integers than needed; what save
  // writes for it is canonical and must survive a second round unchanged.
  auto first = quorvel::persist::dumps(g);
  FUZZ_CHECK(first.ok());
  auto again = quorvel::persist::loads(first.value());
  FUZZ_CHECK(again.ok());
  auto second = quorvel::persist::dumps(again.value());
  FUZZ_CHECK(second.ok());
  FUZZ_CHECK(first.value() == second.value());
  return 0;
}
