// Building regions from arbitrary polygons: the builder either refuses the
// input with an error or gives an index whose every answer equals the plain
// ray rule over all rings, and which saves and reloads to the same bytes.
//
// Input: a stream of bytes read as rings. Coordinates mostly come from a
// coarse lattice (so that positions fall on edges, vertices and grid lines
// often), sometimes from raw doubles; control bytes close rings, polygons
// and regions, or leave a ring open to reach the validation paths.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "persist/regions_file.h"
#include "regions/orientation.h"
#include "regions/regions.h"

namespace {

using quorvel::regions::kNoRegion;
using quorvel::regions::orientation;
using quorvel::regions::Regions;

class Bytes {
 public:
  Bytes(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
  double coordinate(double limit) {
    const std::uint8_t b = byte();
    if (b == 0xff && at_ + 8 <= size_) {
      double raw;
      std::memcpy(&raw, data_ + at_, 8);
      at_ += 8;
      return raw;
    }
    // 64 lattice steps across the range, -limit and +limit included.
    return -limit + (b % 65) * (limit / 32);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

struct Input {
  std::vector<double> xy;
  std::vector<std::uint32_t> rings{0}, polygons{0}, regions{0};
  std::vector<std::string> columns{"id"}, fields;
};

bool brute_inside(const Input& in, std::uint32_t p, double x, double y) {
  bool odd = false;
  for (std::uint32_t r = in.polygons[p]; r < in.polygons[p + 1]; ++r) {
    for (std::uint32_t v = in.rings[r]; v + 1 < in.rings[r + 1]; ++v) {
      const double ax = in.xy[2 * v], ay = in.xy[2 * v + 1];
      const double bx = in.xy[2 * v + 2], by = in.xy[2 * v + 3];
      const int side = orientation(ax, ay, bx, by, x, y);
      if (side == 0 && x >= std::fmin(ax, bx) && x <= std::fmax(ax, bx) &&
          y >= std::fmin(ay, by) && y <= std::fmax(ay, by)) {
        return true;
      }
      if ((ay > y) != (by > y) && side != 0 && (side > 0) == (by > ay)) {
        odd = !odd;
      }
    }
  }
  return odd;
}

std::uint32_t brute_region(const Input& in, double x, double y) {
  for (std::uint32_t g = 0; g + 1 < in.regions.size(); ++g) {
    for (std::uint32_t p = in.regions[g]; p < in.regions[g + 1]; ++p) {
      if (brute_inside(in, p, x, y)) return g;
    }
  }
  return kNoRegion;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  Bytes bytes(data, size);
  // The extent: a small window makes lattice points dense; the whole world
  // reaches the poles and the antimeridian.
  const std::uint8_t extent = bytes.byte();
  const double limit = extent & 1 ? 180.0 : 2.0;
  const std::uint32_t grid_rows = bytes.byte() % 9;
  Input in;
  while (!bytes.empty() && in.xy.size() < 4000) {
    const std::uint8_t count = 3 + bytes.byte() % 12;
    double first_x = 0, first_y = 0;
    for (std::uint8_t k = 0; k < count; ++k) {
      const double x = bytes.coordinate(limit);
      const double y = bytes.coordinate(limit / 2);
      if (k == 0) first_x = x, first_y = y;
      in.xy.push_back(x);
      in.xy.push_back(y);
    }
    const std::uint8_t control = bytes.byte();
    if ((control & 0x0f) != 0x0f) {  // Usually closed.
      in.xy.push_back(first_x);
      in.xy.push_back(first_y);
    }
    in.rings.push_back(static_cast<std::uint32_t>(in.xy.size() / 2));
    if (control & 0x10) {
      in.polygons.push_back(static_cast<std::uint32_t>(in.rings.size() - 1));
    }
    if (control & 0x20) {
      in.regions.push_back(static_cast<std::uint32_t>(in.polygons.size() - 1));
      in.fields.push_back(std::to_string(in.fields.size()));
    }
  }
  if (in.polygons.back() != in.rings.size() - 1) {
    in.polygons.push_back(static_cast<std::uint32_t>(in.rings.size() - 1));
  }
  if (in.regions.back() != in.polygons.size() - 1) {
    in.regions.push_back(static_cast<std::uint32_t>(in.polygons.size() - 1));
    in.fields.push_back(std::to_string(in.fields.size()));
  }
  auto built = Regions::build(
      {in.xy, in.rings, in.polygons, in.regions, in.columns, in.fields},
      {grid_rows});
  if (!built.ok()) {
    FUZZ_CHECK(!built.error().message().empty());
    return 0;
  }
  const Regions& regions = built.value();
  for (int i = 0; i <= 64; i += 3) {
    for (int j = 0; j <= 64; j += 5) {
      const double x = -limit + i * (limit / 32);
      const double y = -limit / 2 + j * (limit / 64);
      FUZZ_CHECK(regions.region_at(y, x) == brute_region(in, x, y));
      const std::uint32_t near = regions.lookup(y, x, 100.0);
      FUZZ_CHECK(near == kNoRegion || near < regions.size());
    }
  }
  auto saved = quorvel::persist::dumps_regions(regions);
  FUZZ_CHECK(saved.ok());
  auto loaded = quorvel::persist::loads_regions(saved.value());
  FUZZ_CHECK(loaded.ok());
  FUZZ_CHECK(quorvel::persist::dumps_regions(loaded.value()).value() ==
             saved.value());
  return 0;
}
