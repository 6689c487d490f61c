// Helpers for the region tests: polygons written as nested lists, and a
// brute-force answer that tests every ring of every region.
#ifndef QUORVEL_TESTS_REGIONS_TEST_SUPPORT_H_
#define QUORVEL_TESTS_REGIONS_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "regions/orientation.h"
#include "regions/regions.h"

namespace quorvel::regions::test_support {

using Ring = std::vector<std::pair<double, double>>;  // (lon, lat)
using Polygon = std::vector<Ring>;
using Region = std::vector<Polygon>;

// Flat arrays for a list of regions, each with one field "name" = "r<i>".
struct FlatRegions {
  std::vector<double> coordinates;
  std::vector<std::uint32_t> ring_offsets{0};
  std::vector<std::uint32_t> polygon_offsets{0};
  std::vector<std::uint32_t> region_offsets{0};
  std::vector<std::string> columns{"name"};
  std::vector<std::string> fields;

  explicit FlatRegions(const std::vector<Region>& regions) {
    for (const Region& region : regions) {
      for (const Polygon& polygon : region) {
        for (const Ring& ring : polygon) {
          for (auto [x, y] : ring) {
            coordinates.push_back(x);
            coordinates.push_back(y);
          }
          ring_offsets.push_back(
              static_cast<std::uint32_t>(coordinates.size() / 2));
        }
        polygon_offsets.push_back(
            static_cast<std::uint32_t>(ring_offsets.size() - 1));
      }
      region_offsets.push_back(
          static_cast<std::uint32_t>(polygon_offsets.size() - 1));
      fields.push_back("r" + std::to_string(fields.size()));
    }
  }

  RegionsInput input() const {
    return {coordinates,    ring_offsets, polygon_offsets,
            region_offsets, columns,      fields};
  }
};

inline Regions build_or_die(const std::vector<Region>& regions,
                            std::uint32_t grid_rows = 0) {
  FlatRegions flat(regions);
  Result<Regions> built = Regions::build(flat.input(), {grid_rows});
  if (!built.ok()) {
    ADD_FAILURE() << built.error().report();
    std::abort();
  }
  return std::move(built).value();
}

// The plain ray rule over every edge of a polygon, with exact boundary
// detection: the answer the grid must reproduce.
inline bool brute_inside_polygon(const Polygon& polygon, double x, double y) {
  bool odd = false;
  for (const Ring& ring : polygon) {
    for (std::size_t k = 0; k + 1 < ring.size(); ++k) {
      auto [ax, ay] = ring[k];
      auto [bx, by] = ring[k + 1];
      const int side = orientation(ax, ay, bx, by, x, y);
      if (side == 0 && x >= std::min(ax, bx) && x <= std::max(ax, bx) &&
          y >= std::min(ay, by) && y <= std::max(ay, by)) {
        return true;
      }
      if ((ay > y) != (by > y)) {
        // Upward-directed edge: the crossing is right of the point when the
        // point is left of the edge.
        const bool upward = by > ay;
        if ((side > 0) == upward && side != 0) odd = !odd;
      }
    }
  }
  return odd;
}

inline std::uint32_t brute_region(const std::vector<Region>& regions,
                                  double lat, double lon) {
  for (std::size_t g = 0; g < regions.size(); ++g) {
    for (const Polygon& polygon : regions[g]) {
      if (brute_inside_polygon(polygon, lon, lat)) {
        return static_cast<std::uint32_t>(g);
      }
    }
  }
  return kNoRegion;
}

inline Ring box(double x0, double y0, double x1, double y1) {
  return {{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}, {x0, y0}};
}

}  // namespace quorvel::regions::test_support

#endif  // QUORVEL_TESTS_REGIONS_TEST_SUPPORT_H_
