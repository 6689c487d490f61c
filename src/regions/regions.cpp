#include "regions/regions.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>

#include "regions/orientation.h"

namespace quorvel::regions {
namespace {

// Counts stay clear of kNoRegion and the block summary's markers.
constexpr std::uint64_t kMaxCount = 0xfffffff0u;
// Edge counts share their word with a flag bit.
constexpr std::size_t kMaxEdgeRefs = 0x7fffffffu;

Error invalid(std::string message) {
  return Error(std::move(message), ErrorKind::kInvalidArgument);
}

// Offsets must start at 0, never decrease and end at `total`.
Status check_offsets(std::span<const std::uint32_t> offsets,
                     std::uint64_t total, const char* name) {
  if (offsets.empty()) {
    return invalid(std::string(name) + " offsets are empty (they need a 0)");
  }
  if (offsets.size() - 1 > kMaxCount) {
    return invalid(std::string("too many ") + name + "s");
  }
  if (offsets.front() != 0) {
    return invalid(std::string(name) + " offsets do not start at 0");
  }
  for (std::size_t i = 1; i < offsets.size(); ++i) {
    if (offsets[i] < offsets[i - 1]) {
      return invalid(std::string(name) + " offsets decrease at " +
                     std::to_string(i));
    }
  }
  if (offsets.back() != total) {
    return invalid(std::string(name) + " offsets end at " +
                   std::to_string(offsets.back()) + ", not at " +
                   std::to_string(total));
  }
  return Status::Ok();
}

Error ring_error(std::size_t region, std::size_t polygon, std::size_t ring,
                 const std::string& rule) {
  return invalid("region " + std::to_string(region) + ": polygon " +
                 std::to_string(polygon) + ", ring " + std::to_string(ring) +
                 ": " + rule);
}

// The first rule of validate_geometry() the polygons break, in region,
// polygon, ring and position order, named in full; Ok when there is none.
// REQUIRES: the offsets are checked, as for geometry_looks_valid().
Status find_geometry_error(std::span<const double> coordinates,
                           std::span<const std::uint32_t> ring_offsets,
                           std::span<const std::uint32_t> polygon_offsets,
                           std::span<const std::uint32_t> region_offsets) {
  for (std::size_t g = 0; g + 1 < region_offsets.size(); ++g) {
    for (std::uint32_t p = region_offsets[g]; p < region_offsets[g + 1]; ++p) {
      const std::size_t local_polygon = p - region_offsets[g];
      if (polygon_offsets[p] == polygon_offsets[p + 1]) {
        return invalid("region " + std::to_string(g) + ": polygon " +
                       std::to_string(local_polygon) + " has no rings");
      }
      for (std::uint32_t r = polygon_offsets[p]; r < polygon_offsets[p + 1];
           ++r) {
        const std::size_t local_ring = r - polygon_offsets[p];
        const std::uint32_t begin = ring_offsets[r];
        const std::uint32_t end = ring_offsets[r + 1];
        if (end - begin < 4) {
          return ring_error(g, local_polygon, local_ring,
                            "a ring needs at least 4 positions, it has " +
                                std::to_string(end - begin));
        }
        for (std::uint32_t v = begin; v < end; ++v) {
          const double x = coordinates[2 * std::size_t{v}];
          const double y = coordinates[2 * std::size_t{v} + 1];
          if (!std::isfinite(x) || !std::isfinite(y)) {
            return ring_error(g, local_polygon, local_ring,
                              "coordinate is not finite (position " +
                                  std::to_string(v - begin) + ")");
          }
          if (x < -180.0 || x > 180.0) {
            return ring_error(g, local_polygon, local_ring,
                              "longitude outside [-180, 180] (position " +
                                  std::to_string(v - begin) + ")");
          }
          if (y < -90.0 || y > 90.0) {
            return ring_error(g, local_polygon, local_ring,
                              "latitude outside [-90, 90] (position " +
                                  std::to_string(v - begin) + ")");
          }
          // Every longitude names the same point at a pole, so an edge
          // along one may span any of them.
          if (v > begin &&
              std::fabs(x - coordinates[2 * std::size_t{v} - 2]) > 180.0 &&
              !(std::fabs(y) == 90.0 &&
                coordinates[2 * std::size_t{v} - 1] == y)) {
            return ring_error(
                g, local_polygon, local_ring,
                "an edge spans more than 180 degrees of longitude (position " +
                    std::to_string(v - begin - 1) +
                    "): the ring crosses the antimeridian without being split "
                    "there");
          }
        }
        const std::size_t first = 2 * std::size_t{begin};
        const std::size_t last = 2 * std::size_t{end - 1};
        if (coordinates[first] != coordinates[last] ||
            coordinates[first + 1] != coordinates[last + 1]) {
          return ring_error(g, local_polygon, local_ring,
                            "ring is not closed (its last position differs "
                            "from its first)");
        }
      }
    }
  }
  return Status::Ok();
}

// Whether the polygons obey every rule that find_geometry_error() checks,
// told quickly: one pass over the rings and one flat pass over the
// vertices, without the region and polygon numbers an error message needs.
// It may say no when they are all kept (then find_geometry_error decides),
// never yes when one is broken.
// REQUIRES: the offsets are checked (check_offsets), each level ending at
// the count of the one below.
bool geometry_looks_valid(std::span<const double> coordinates,
                          std::span<const std::uint32_t> ring_offsets,
                          std::span<const std::uint32_t> polygon_offsets) {
  for (std::size_t p = 0; p + 1 < polygon_offsets.size(); ++p) {
    if (polygon_offsets[p] == polygon_offsets[p + 1]) return false;
  }
  const double* xy = coordinates.data();
  for (std::size_t r = 0; r + 1 < ring_offsets.size(); ++r) {
    const std::size_t begin = ring_offsets[r];
    const std::size_t end = ring_offsets[r + 1];
    if (end - begin < 4 || xy[2 * begin] != xy[2 * end - 2] ||
        xy[2 * begin + 1] != xy[2 * end - 1]) {
      return false;
    }
  }
  // The rings cover the vertices one after another, so the vertices can be
  // read as one sequence. A comparison with NaN is false, so the range test
  // also refuses what is not finite. A long step between two vertices is
  // rare (a pole, or the step from one ring to the next), so it is settled
  // apart.
  const std::size_t vertices = coordinates.size() / 2;
  bool in_range = true;
  for (std::size_t v = 0; v < vertices; ++v) {
    const double x = xy[2 * v];
    const double y = xy[2 * v + 1];
    in_range &= (x >= -180.0) & (x <= 180.0) & (y >= -90.0) & (y <= 90.0);
    if (v > 0 && std::fabs(x - xy[2 * v - 2]) > 180.0) [[unlikely]] {
      // Every longitude names the same point at a pole, so an edge along
      // one may span any of them.
      const bool along_pole = std::fabs(y) == 90.0 && xy[2 * v - 1] == y;
      const bool starts_ring =
          std::binary_search(ring_offsets.begin(), ring_offsets.end(),
                             static_cast<std::uint32_t>(v));
      if (!along_pole && !starts_ring) return false;
    }
  }
  return in_range;
}

// Everything the containment test relies on in the polygons, with errors
// that name the region and the rule.
Status validate_geometry(std::span<const double> coordinates,
                         std::span<const std::uint32_t> ring_offsets,
                         std::span<const std::uint32_t> polygon_offsets,
                         std::span<const std::uint32_t> region_offsets) {
  if (coordinates.size() % 2 != 0) {
    return invalid("coordinates hold an odd number of values");
  }
  const std::uint64_t vertices = coordinates.size() / 2;
  if (vertices > kMaxCount) return invalid("too many vertices");
  if (Status s = check_offsets(ring_offsets, vertices, "ring"); !s.ok()) {
    return s;
  }
  if (Status s =
          check_offsets(polygon_offsets, ring_offsets.size() - 1, "polygon");
      !s.ok()) {
    return s;
  }
  if (Status s =
          check_offsets(region_offsets, polygon_offsets.size() - 1, "region");
      !s.ok()) {
    return s;
  }
  if (geometry_looks_valid(coordinates, ring_offsets, polygon_offsets)) {
    return Status::Ok();
  }
  return find_geometry_error(coordinates, ring_offsets, polygon_offsets,
                             region_offsets);
}

Status validate_records(std::size_t regions, std::size_t columns,
                        std::size_t fields) {
  if (columns != 0 &&
      regions > std::numeric_limits<std::size_t>::max() / columns) {
    return invalid("too many record fields");
  }
  if (fields != regions * columns) {
    return invalid("records hold " + std::to_string(fields) + " fields; " +
                   std::to_string(regions) + " regions of " +
                   std::to_string(columns) + " columns need " +
                   std::to_string(regions * columns));
  }
  return Status::Ok();
}

// The grid rows chosen for `vertices` vertices: about one cell per two
// vertices. On the world's countries (half a million vertices) finer grids
// were slower: the cell tables outgrow the processor caches faster than the
// edges per boundary cell shrink.
std::uint32_t auto_grid_rows(std::uint64_t vertices) {
  const double rows = std::ceil(std::sqrt(static_cast<double>(vertices)) / 2.0);
  return static_cast<std::uint32_t>(
      std::clamp(rows, 1.0, static_cast<double>(kMaxGridRows)));
}

// Whether the crossing of an edge straddling the line y = z.y lies strictly
// to the right of z, for an edge given with its lower end (y <= z.y) first.
inline bool crossing_right_of(double dx, double dy, double ux, double uy,
                              double zx, double zy) {
  return orientation(dx, dy, ux, uy, zx, zy) > 0;
}

// Whether the crossing of an edge with the vertical line just right of x1
// lies above the point just above z, for an edge given with its left end
// (x <= x1) first: the ray rule's tie-breaks, seen from the vertical leg.
inline bool crossing_above(double lx, double ly, double rx, double ry,
                           double zx, double zy) {
  const int side = orientation(lx, ly, rx, ry, zx, zy);
  return side < 0 || (side == 0 && ry > ly);
}

struct UnitVector {
  double x, y, z;
};

UnitVector unit_vector(double lon, double lat) {
  constexpr double kRadians = std::numbers::pi / 180.0;
  const double phi = lat * kRadians;
  const double lambda = lon * kRadians;
  return {std::cos(phi) * std::cos(lambda), std::cos(phi) * std::sin(lambda),
          std::sin(phi)};
}

UnitVector cross(const UnitVector& a, const UnitVector& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

double dot(const UnitVector& a, const UnitVector& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}

double norm(const UnitVector& a) { return std::sqrt(dot(a, a)); }

// The angle between two unit vectors, accurate at small angles.
double angle(const UnitVector& a, const UnitVector& b) {
  return std::atan2(norm(cross(a, b)), dot(a, b));
}

// The angle from p to the great-circle arc from a to b (shorter than pi).
double arc_angle(const UnitVector& p, const UnitVector& a,
                 const UnitVector& b) {
  const UnitVector n = cross(a, b);
  const double n_norm = norm(n);
  if (n_norm > 1e-15 && dot(cross(a, p), n) >= 0.0 &&
      dot(cross(p, b), n) >= 0.0) {
    return std::asin(std::min(1.0, std::fabs(dot(p, n)) / n_norm));
  }
  return std::min(angle(p, a), angle(p, b));
}

}  // namespace

Regions::Regions(RegionsParts parts) : parts_(std::move(parts)) {
  view_owned_parts();
}

Regions::Regions(const RegionsArrays& arrays, std::vector<std::string> columns,
                 std::vector<std::string> fields,
                 std::shared_ptr<const void> storage)
    : storage_(std::move(storage)), arrays_(arrays) {
  parts_.columns = std::move(columns);
  parts_.fields = std::move(fields);
}

void Regions::view_owned_parts() {
  arrays_ = {parts_.coordinates,    parts_.ring_offsets, parts_.polygon_offsets,
             parts_.region_offsets, parts_.grid_rows,    parts_.cell_offsets,
             parts_.items,          parts_.edge_refs};
}

RegionsParts Regions::copy_parts() const {
  RegionsParts parts;
  parts.coordinates.assign(arrays_.coordinates.begin(),
                           arrays_.coordinates.end());
  parts.ring_offsets.assign(arrays_.ring_offsets.begin(),
                            arrays_.ring_offsets.end());
  parts.polygon_offsets.assign(arrays_.polygon_offsets.begin(),
                               arrays_.polygon_offsets.end());
  parts.region_offsets.assign(arrays_.region_offsets.begin(),
                              arrays_.region_offsets.end());
  parts.columns = parts_.columns;
  parts.fields = parts_.fields;
  parts.grid_rows = arrays_.grid_rows;
  parts.cell_offsets.assign(arrays_.cell_offsets.begin(),
                            arrays_.cell_offsets.end());
  parts.items.assign(arrays_.items.begin(), arrays_.items.end());
  parts.edge_refs.assign(arrays_.edge_refs.begin(), arrays_.edge_refs.end());
  return parts;
}

void Regions::derive_blocks() {
  const std::uint32_t columns = grid_columns();
  const std::uint32_t rows = arrays_.grid_rows;
  block_columns_ = ((columns - 1) >> kBlockShift) + 1;
  const std::uint32_t block_rows = ((rows - 1) >> kBlockShift) + 1;
  constexpr std::uint32_t kUnset = kDescend - 1;
  block_answer_.assign(std::size_t{block_columns_} * block_rows, kUnset);
  for (std::uint32_t j = 0; j < rows; ++j) {
    for (std::uint32_t i = 0; i < columns; ++i) {
      const std::uint32_t cell = j * columns + i;
      const std::uint32_t begin = arrays_.cell_offsets[cell];
      std::uint32_t answer = kNoRegion;
      if (begin != arrays_.cell_offsets[cell + 1]) {
        const CellItem& first = arrays_.items[begin];
        answer = first.edge_count() == 0 ? first.region : kDescend;
      }
      std::uint32_t& block = block_answer_[(j >> kBlockShift) * block_columns_ +
                                           (i >> kBlockShift)];
      if (block == kUnset) {
        block = answer;
      } else if (block != answer) {
        block = kDescend;
      }
    }
  }
}

void Regions::derive_cache() {
  column_width_ = 360.0 / grid_columns();
  row_height_ = 180.0 / arrays_.grid_rows;
  inverse_column_width_ = grid_columns() / 360.0;
  inverse_row_height_ = arrays_.grid_rows / 180.0;
}

double Regions::column_x(std::uint32_t i) const {
  if (i >= grid_columns()) return 180.0;
  return -180.0 + i * column_width_;
}

double Regions::row_y(std::uint32_t j) const {
  if (j >= arrays_.grid_rows) return 90.0;
  return -90.0 + j * row_height_;
}

std::uint32_t Regions::column_of(double x) const {
  const std::uint32_t last = grid_columns() - 1;
  double guess = std::floor((x + 180.0) * inverse_column_width_);
  std::uint32_t i = static_cast<std::uint32_t>(
      std::clamp(guess, 0.0, static_cast<double>(last)));
  // The product may round across a boundary; the boundaries themselves are
  // what build and lookup share, so settle against them.
  while (i > 0 && x < column_x(i)) --i;
  while (i < last && x >= column_x(i + 1)) ++i;
  return i;
}

std::uint32_t Regions::row_of(double y) const {
  const std::uint32_t last = arrays_.grid_rows - 1;
  double guess = std::floor((y + 90.0) * inverse_row_height_);
  std::uint32_t j = static_cast<std::uint32_t>(
      std::clamp(guess, 0.0, static_cast<double>(last)));
  while (j > 0 && y < row_y(j)) --j;
  while (j < last && y >= row_y(j + 1)) ++j;
  return j;
}

Result<Regions> Regions::build(const RegionsInput& input,
                               const BuildOptions& options) {
  if (Status s = validate_geometry(input.coordinates, input.ring_offsets,
                                   input.polygon_offsets, input.region_offsets);
      !s.ok()) {
    return std::move(s).error();
  }
  const std::size_t region_count = input.region_offsets.size() - 1;
  if (Status s = validate_records(region_count, input.columns.size(),
                                  input.fields.size());
      !s.ok()) {
    return std::move(s).error();
  }
  if (options.grid_rows > kMaxGridRows) {
    return invalid("at most " + std::to_string(kMaxGridRows) +
                   " grid rows are allowed");
  }

  RegionsParts parts;
  parts.coordinates.assign(input.coordinates.begin(), input.coordinates.end());
  parts.ring_offsets.assign(input.ring_offsets.begin(),
                            input.ring_offsets.end());
  parts.polygon_offsets.assign(input.polygon_offsets.begin(),
                               input.polygon_offsets.end());
  parts.region_offsets.assign(input.region_offsets.begin(),
                              input.region_offsets.end());
  parts.columns.assign(input.columns.begin(), input.columns.end());
  parts.fields.assign(input.fields.begin(), input.fields.end());
  parts.grid_rows = options.grid_rows != 0
                        ? options.grid_rows
                        : auto_grid_rows(parts.coordinates.size() / 2);
  Regions regions(std::move(parts));
  regions.derive_cache();
  if (Status s = regions.build_grid(); !s.ok()) return std::move(s).error();
  regions.view_owned_parts();
  regions.derive_blocks();
  return regions;
}

Status Regions::build_grid() {
  const std::vector<double>& xy = parts_.coordinates;
  const std::uint32_t columns = grid_columns();
  const std::uint64_t cells = std::uint64_t{columns} * parts_.grid_rows;

  // Items gathered polygon by polygon (so in region order), with their cell;
  // their edges go to `edges` as they come and are regrouped cell by cell at
  // the end.
  struct PendingItem {
    std::uint32_t cell;
    CellItem item;
  };
  std::vector<PendingItem> pending;
  std::vector<std::uint32_t> edges;
  // (cell, edge) pairs of one polygon.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> incidences;

  const std::size_t region_count = parts_.region_offsets.size() - 1;
  for (std::uint32_t g = 0; g < region_count; ++g) {
    for (std::uint32_t p = parts_.region_offsets[g];
         p < parts_.region_offsets[g + 1]; ++p) {
      incidences.clear();
      for (std::uint32_t r = parts_.polygon_offsets[p];
           r < parts_.polygon_offsets[p + 1]; ++r) {
        for (std::uint32_t v = parts_.ring_offsets[r];
             v + 1 < parts_.ring_offsets[r + 1]; ++v) {
          add_edge_cells(v, incidences);
        }
      }
      std::sort(incidences.begin(), incidences.end());

      // Row by row, right to left: the corner parity starts at 0 right of
      // the rightmost cell an edge reaches (nothing lies further right), and
      // changes across a cell's bottom side by the edges crossing it.
      std::size_t row_end = incidences.size();
      while (row_end > 0) {
        const std::uint32_t row = incidences[row_end - 1].first / columns;
        std::size_t row_begin = row_end;
        while (row_begin > 0 &&
               incidences[row_begin - 1].first / columns == row)
          --row_begin;
        const double y0 = row_y(row);
        bool parity = false;
        std::size_t cell_end = row_end;
        std::uint32_t previous_column = columns;
        while (cell_end > row_begin) {
          const std::uint32_t cell = incidences[cell_end - 1].first;
          const std::uint32_t column = cell % columns;
          std::size_t cell_begin = cell_end;
          while (cell_begin > row_begin &&
                 incidences[cell_begin - 1].first == cell)
            --cell_begin;
          if (parity) {
            for (std::uint32_t c = column + 1; c < previous_column; ++c) {
              pending.push_back({row * columns + c, {g, p, 0, 1u}});
            }
          }
          const std::uint32_t begin = static_cast<std::uint32_t>(edges.size());
          // The item keeps the parity of its bottom-right corner; the edges
          // crossing its bottom side then give that of its bottom-left one.
          const bool corner = parity;
          const double right_x = column_x(column + 1);
          const double left_x = column_x(column);
          for (std::size_t k = cell_begin; k < cell_end; ++k) {
            const std::uint32_t v = incidences[k].second;
            if (edges.size() >= kMaxEdgeRefs) {
              return invalid("the polygons are too large to index");
            }
            edges.push_back(v);
            double ax = xy[2 * std::size_t{v}], ay = xy[2 * std::size_t{v} + 1];
            double bx = xy[2 * std::size_t{v} + 2],
                   by = xy[2 * std::size_t{v} + 3];
            if ((ay > y0) == (by > y0)) continue;
            if (ay > y0) {
              std::swap(ax, bx);
              std::swap(ay, by);
            }
            if (crossing_right_of(ax, ay, bx, by, left_x, y0) !=
                crossing_right_of(ax, ay, bx, by, right_x, y0)) {
              parity = !parity;
            }
          }
          const std::uint32_t count =
              static_cast<std::uint32_t>(edges.size()) - begin;
          pending.push_back({cell, {g, p, begin, (count << 1) | corner}});
          previous_column = column;
          cell_end = cell_begin;
        }
        // Left of everything the ray parity is 0 again, except at -180
        // itself, where an edge along the antimeridian may pass the corner.
        if (parity && previous_column != 0) {
          panic("polygon parity does not close along a grid row");
        }
        row_end = row_begin;
      }
    }
  }

  // Regroup cell by cell; a stable order keeps region order within a cell.
  parts_.cell_offsets.assign(cells + 1, 0);
  for (const PendingItem& item : pending) ++parts_.cell_offsets[item.cell + 1];
  for (std::uint64_t c = 0; c < cells; ++c) {
    parts_.cell_offsets[c + 1] += parts_.cell_offsets[c];
  }
  std::vector<std::uint32_t> next(parts_.cell_offsets.begin(),
                                  parts_.cell_offsets.end() - 1);
  parts_.items.assign(pending.size(), CellItem{});
  for (const PendingItem& item : pending) {
    parts_.items[next[item.cell]++] = item.item;
  }
  // Lay the edges out in item order, so a lookup reads one run per cell.
  parts_.edge_refs.clear();
  parts_.edge_refs.reserve(edges.size());
  for (CellItem& item : parts_.items) {
    const std::uint32_t begin =
        static_cast<std::uint32_t>(parts_.edge_refs.size());
    parts_.edge_refs.insert(
        parts_.edge_refs.end(), edges.begin() + item.edge_begin,
        edges.begin() + item.edge_begin + item.edge_count());
    item.edge_begin = item.edge_count() == 0 ? 0 : begin;
  }
  return Status::Ok();
}

void Regions::add_edge_cells(
    std::uint32_t v,
    std::vector<std::pair<std::uint32_t, std::uint32_t>>& incidences) const {
  const std::span<const double> xy = arrays_.coordinates;
  const double ax = xy[2 * std::size_t{v}], ay = xy[2 * std::size_t{v} + 1];
  const double bx = xy[2 * std::size_t{v} + 2], by = xy[2 * std::size_t{v} + 3];
  const std::uint32_t columns = grid_columns();
  // Cells are closed, so a coordinate on a boundary also meets the cell
  // below or to the left of it.
  auto first_column = [&](double x) {
    std::uint32_t i = column_of(x);
    return i > 0 && column_x(i) == x ? i - 1 : i;
  };
  auto first_row = [&](double y) {
    std::uint32_t j = row_of(y);
    return j > 0 && row_y(j) == y ? j - 1 : j;
  };
  // The edge's span of longitude within each row it passes, widened by a
  // margin far above the rounding of the interpolation: a cell listed too
  // many costs a test, a cell missed would cost a wrong answer.
  constexpr double kMargin = 1e-9;
  const std::uint32_t row_lo = first_row(std::min(ay, by));
  const std::uint32_t row_hi = row_of(std::max(ay, by));
  for (std::uint32_t j = row_lo; j <= row_hi; ++j) {
    double x_lo = std::min(ax, bx);
    double x_hi = std::max(ax, bx);
    if (ay != by && row_lo != row_hi) {
      const double y_lo = row_y(j);
      const double y_hi = row_y(j + 1);
      auto x_at = [&](double y) {
        const double t = std::clamp((y - ay) / (by - ay), 0.0, 1.0);
        return ax + t * (bx - ax);
      };
      const double x0 = x_at(y_lo);
      const double x1 = x_at(y_hi);
      x_lo = std::max(x_lo, std::min(x0, x1) - kMargin);
      x_hi = std::min(x_hi, std::max(x0, x1) + kMargin);
    }
    const std::uint32_t col_lo = first_column(x_lo);
    const std::uint32_t col_hi = column_of(x_hi);
    for (std::uint32_t i = col_lo; i <= col_hi; ++i) {
      incidences.emplace_back(j * columns + i, v);
    }
  }
}

bool Regions::inside_item(const CellItem& item, double x, double y, double x1,
                          double y0) const {
  const std::uint32_t count = item.edge_count();
  bool odd = item.corner_inside();
  if (count == 0) return odd;
  const double* xy = arrays_.coordinates.data();
  const std::uint32_t* refs = arrays_.edge_refs.data() + item.edge_begin;
  for (std::uint32_t k = 0; k < count; ++k) {
    const double* a = xy + 2 * std::size_t{refs[k]};
    double ax = a[0], ay = a[1], bx = a[2], by = a[3];
    // An edge wholly above the position can cross neither leg of the path.
    if (ay > y && by > y) continue;
    if ((ay > y) != (by > y)) {
      // The horizontal leg, from the position right to the cell's side.
      if (ay > y) {
        std::swap(ax, bx);
        std::swap(ay, by);
      }
      const int side = orientation(ax, ay, bx, by, x, y);
      if (side == 0) return true;  // On the edge.
      if ((side > 0) != crossing_right_of(ax, ay, bx, by, x1, y)) odd = !odd;
    } else if (std::max(ay, by) == y) {
      // Both ends at or below the row, one on it: the position can only
      // touch the edge there.
      if (ay == by) {
        if (x >= std::min(ax, bx) && x <= std::max(ax, bx)) return true;
      } else if ((ay == y && ax == x) || (by == y && bx == x)) {
        return true;
      }
    }
    if ((ax > x1) != (bx > x1)) {
      // The vertical leg, from the cell's bottom-right corner up to the
      // position's row.
      if (ax > x1) {
        std::swap(ax, bx);
        std::swap(ay, by);
      }
      if (crossing_above(ax, ay, bx, by, x1, y0) !=
          crossing_above(ax, ay, bx, by, x1, y)) {
        odd = !odd;
      }
    }
  }
  return odd;
}

std::uint32_t Regions::region_at(double lat, double lon) const {
  if (!(lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon <= 180.0)) {
    return kNoRegion;
  }
  const std::uint32_t i = column_of(lon);
  const std::uint32_t j = row_of(lat);
  const std::uint32_t block =
      block_answer_[(j >> kBlockShift) * block_columns_ + (i >> kBlockShift)];
  if (block != kDescend) return block;
  const std::uint32_t cell = j * grid_columns() + i;
  const std::uint32_t begin = arrays_.cell_offsets[cell];
  const std::uint32_t end = arrays_.cell_offsets[cell + 1];
  if (begin == end) return kNoRegion;
  const double x1 = column_x(i + 1);
  const double y0 = row_y(j);
  // Items come in region order, so the first polygon holding the position
  // belongs to the first region holding it.
  for (std::uint32_t k = begin; k < end; ++k) {
    const CellItem& item = arrays_.items[k];
    if (inside_item(item, lon, lat, x1, y0)) return item.region;
  }
  return kNoRegion;
}

NearestBoundary Regions::nearest_boundary(double lat, double lon,
                                          double max_distance_km) const {
  NearestBoundary best;
  if (!(lat >= -90.0 && lat <= 90.0 && lon >= -180.0 && lon <= 180.0) ||
      !(max_distance_km >= 0.0)) {
    return best;
  }
  constexpr double kDegrees = 180.0 / std::numbers::pi;
  const double max_angle = max_distance_km / kEarthRadiusKm;
  // The window of longitude and latitude that holds every point within
  // max_angle of the position (a spherical cap), widened by a margin that
  // covers the pieces' arcs straying from the planar edges.
  constexpr double kWindowMargin = 1e-3;
  const double lat_reach = max_angle * kDegrees + kWindowMargin;
  const double lat_lo = std::max(-90.0, lat - lat_reach);
  const double lat_hi = std::min(90.0, lat + lat_reach);
  double lon_reach = 360.0;
  if (max_angle < std::numbers::pi / 2 && std::fabs(lat) + lat_reach < 90.0) {
    const double ratio = std::sin(max_angle) / std::cos(lat / kDegrees);
    if (ratio < 1.0) lon_reach = std::asin(ratio) * kDegrees + kWindowMargin;
  }
  // Up to two column spans, when the window wraps round the antimeridian.
  std::array<std::pair<double, double>, 2> spans;
  std::size_t span_count = 0;
  if (lon_reach >= 180.0) {
    spans[span_count++] = {-180.0, 180.0};
  } else {
    const double lo = lon - lon_reach;
    const double hi = lon + lon_reach;
    spans[span_count++] = {std::max(-180.0, lo), std::min(180.0, hi)};
    if (lo < -180.0) spans[span_count++] = {lo + 360.0, 180.0};
    if (hi > 180.0) spans[span_count++] = {-180.0, hi - 360.0};
  }
  const bool wraps = span_count > 1 || lon_reach >= 180.0;

  const UnitVector p = unit_vector(lon, lat);
  double best_angle = max_angle;
  // The cap of the best angle so far shrinks as nearer edges turn up, and
  // whatever lies outside it is skipped before any trigonometry: a bound in
  // latitude (no arc between two latitudes is shorter than their
  // difference) and, unless the window wraps, the cap's reach in longitude.
  // Only what is strictly farther than the best is skipped, so ties and
  // answers are those of a scan over every edge of the window.
  constexpr double kRadians = std::numbers::pi / 180.0;
  double lon_half = lon_reach;
  const auto lat_gap = [&](double y_lo, double y_hi) {
    const double gap =
        y_lo > lat ? y_lo - lat : (y_hi < lat ? lat - y_hi : 0.0);
    return std::max(0.0, gap - kWindowMargin) * kRadians;
  };
  const auto far = [&](double x_lo, double x_hi, double y_lo, double y_hi) {
    return lat_gap(y_lo, y_hi) > best_angle ||
           (!wraps && (x_hi < lon - lon_half || x_lo > lon + lon_half));
  };
  const auto consider = [&](double angle_to, std::uint32_t region) {
    if (angle_to < best_angle) {
      best_angle = angle_to;
      best.region = region;
      if (!wraps) {
        const double ratio = std::sin(best_angle) / std::cos(lat * kRadians);
        lon_half =
            std::min(lon_half, std::asin(std::min(1.0, ratio)) * kDegrees +
                                   kWindowMargin);
      }
    } else if (angle_to == best_angle &&
               (best.region == kNoRegion || region < best.region)) {
      best.region = region;
    }
  };
  const double* xy = arrays_.coordinates.data();
  const auto scan_cell = [&](std::uint32_t cell) {
    for (std::uint32_t k = arrays_.cell_offsets[cell];
         k < arrays_.cell_offsets[cell + 1]; ++k) {
      const CellItem& item = arrays_.items[k];
      for (std::uint32_t e = 0; e < item.edge_count(); ++e) {
        const double* a =
            xy + 2 * std::size_t{arrays_.edge_refs[item.edge_begin + e]};
        if (far(std::min(a[0], a[2]), std::max(a[0], a[2]),
                std::min(a[1], a[3]), std::max(a[1], a[3]))) {
          continue;
        }
        const double span =
            std::max(std::fabs(a[2] - a[0]), std::fabs(a[3] - a[1]));
        const std::uint32_t pieces = static_cast<std::uint32_t>(
            std::max(1.0, std::ceil(span / kDistancePieceDegrees)));
        for (std::uint32_t q = 0; q < pieces; ++q) {
          const double t0 = static_cast<double>(q) / pieces;
          const double t1 = static_cast<double>(q + 1) / pieces;
          const double x0 = a[0] + t0 * (a[2] - a[0]);
          const double y0 = a[1] + t0 * (a[3] - a[1]);
          const double x1 = q + 1 == pieces ? a[2] : a[0] + t1 * (a[2] - a[0]);
          const double y1 = q + 1 == pieces ? a[3] : a[1] + t1 * (a[3] - a[1]);
          if (pieces > 1 && far(std::min(x0, x1), std::max(x0, x1),
                                std::min(y0, y1), std::max(y0, y1))) {
            continue;
          }
          consider(arc_angle(p, unit_vector(x0, y0), unit_vector(x1, y1)),
                   item.region);
        }
      }
    }
  };
  // Cells are visited outward from the position's own, so that a near edge
  // is found early and shrinks the cap for the rest.
  const auto outward = [](std::uint32_t lo, std::uint32_t hi,
                          std::uint32_t start, const auto& visit) {
    for (std::uint32_t d = 0; d <= hi - lo; ++d) {
      const bool up = start + d <= hi;
      const bool down = d > 0 && start >= lo + d;
      if (!up && !down) break;
      if (up) visit(start + d);
      if (down) visit(start - d);
    }
  };
  const std::uint32_t row_lo = row_of(lat_lo);
  const std::uint32_t row_hi = row_of(lat_hi);
  outward(row_lo, row_hi, row_of(lat), [&](std::uint32_t j) {
    if (lat_gap(row_y(j), row_y(j + 1)) > best_angle) return;
    for (std::size_t s = 0; s < span_count; ++s) {
      const std::uint32_t col_lo = column_of(spans[s].first);
      const std::uint32_t col_hi = column_of(spans[s].second);
      const std::uint32_t start =
          column_of(std::clamp(lon, spans[s].first, spans[s].second));
      outward(col_lo, col_hi, start, [&](std::uint32_t i) {
        if (!wraps && (column_x(i + 1) < lon - lon_half ||
                       column_x(i) > lon + lon_half)) {
          return;
        }
        scan_cell(j * grid_columns() + i);
      });
    }
  });
  if (best.region != kNoRegion) best.distance_km = best_angle * kEarthRadiusKm;
  return best;
}

std::uint32_t Regions::lookup(double lat, double lon,
                              double max_distance_km) const {
  const std::uint32_t region = region_at(lat, lon);
  if (region != kNoRegion || !(max_distance_km > 0.0)) return region;
  return nearest_boundary(lat, lon, max_distance_km).region;
}

Result<Regions> Regions::from_parts(RegionsParts parts) {
  Regions regions(std::move(parts));
  if (Status s = regions.validate_and_derive(); !s.ok()) {
    return std::move(s).error();
  }
  return regions;
}

Result<Regions> Regions::from_arrays(const RegionsArrays& arrays,
                                     std::vector<std::string> columns,
                                     std::vector<std::string> fields,
                                     std::shared_ptr<const void> storage) {
  Regions regions(arrays, std::move(columns), std::move(fields),
                  std::move(storage));
  if (Status s = regions.validate_and_derive(); !s.ok()) {
    return std::move(s).error();
  }
  return regions;
}

Status Regions::validate_and_derive() {
  const RegionsArrays& a = arrays_;
  if (Status s = validate_geometry(a.coordinates, a.ring_offsets,
                                   a.polygon_offsets, a.region_offsets);
      !s.ok()) {
    return s;
  }
  const std::size_t region_count = a.region_offsets.size() - 1;
  const std::size_t polygon_count = a.polygon_offsets.size() - 1;
  if (Status s = validate_records(region_count, parts_.columns.size(),
                                  parts_.fields.size());
      !s.ok()) {
    return s;
  }
  auto corrupt = [](const std::string& what) {
    return Error("regions grid is inconsistent: " + what);
  };
  if (a.grid_rows == 0 || a.grid_rows > kMaxGridRows) {
    return corrupt("grid rows " + std::to_string(a.grid_rows) +
                   " outside [1, " + std::to_string(kMaxGridRows) + "]");
  }
  derive_cache();
  const std::uint64_t cells = 2 * std::uint64_t{a.grid_rows} * a.grid_rows;
  if (a.cell_offsets.size() != cells + 1) {
    return corrupt("the cell table does not match the grid");
  }
  if (Status s = check_offsets(a.cell_offsets, a.items.size(), "cell");
      !s.ok()) {
    return corrupt(s.error().message());
  }
  if (a.edge_refs.size() > kMaxEdgeRefs) return corrupt("too many edges");
  // An edge is named by its first vertex, so an edge of polygon p is a
  // vertex of p's vertex range that is not the last of its ring. A bit per
  // vertex marks the last ones: a table small enough to stay in cache, where
  // a polygon number per vertex would not be.
  const std::size_t vertices = a.coordinates.size() / 2;
  std::vector<std::uint64_t> ring_last((vertices + 63) / 64, 0);
  for (std::size_t r = 1; r < a.ring_offsets.size(); ++r) {
    // validate_geometry saw to it that every ring has vertices.
    const std::uint32_t last = a.ring_offsets[r] - 1;
    ring_last[last / 64] |= std::uint64_t{1} << (last % 64);
  }
  // One pass over the items in cell order: the cell offsets are checked, so
  // item k belongs to the cell whose range holds it.
  std::uint64_t c = 0;
  for (std::uint32_t k = 0; k < a.items.size(); ++k) {
    while (a.cell_offsets[c + 1] <= k) ++c;
    const CellItem& item = a.items[k];
    if (item.polygon >= polygon_count || item.region >= region_count ||
        item.polygon < a.region_offsets[item.region] ||
        item.polygon >= a.region_offsets[item.region + 1]) {
      return corrupt("cell " + std::to_string(c) +
                     " names a polygon outside its region");
    }
    if (k > a.cell_offsets[c] && item.polygon <= a.items[k - 1].polygon) {
      return corrupt("cell " + std::to_string(c) +
                     " lists polygons out of order");
    }
    const std::uint64_t end =
        std::uint64_t{item.edge_begin} + item.edge_count();
    if (end > a.edge_refs.size()) {
      return corrupt("cell " + std::to_string(c) +
                     " names edges beyond the edge table");
    }
    if (item.edge_count() == 0 &&
        (!item.corner_inside() || item.edge_begin != 0)) {
      return corrupt("cell " + std::to_string(c) + " has an empty item");
    }
    const std::uint32_t lo = a.ring_offsets[a.polygon_offsets[item.polygon]];
    const std::uint32_t hi =
        a.ring_offsets[a.polygon_offsets[item.polygon + 1]];
    for (std::uint64_t e = item.edge_begin; e < end; ++e) {
      const std::uint32_t v = a.edge_refs[e];
      if (v < lo || v >= hi || ((ring_last[v / 64] >> (v % 64)) & 1) != 0) {
        return corrupt("cell " + std::to_string(c) +
                       " names an edge of another polygon");
      }
    }
  }
  derive_blocks();
  return Status::Ok();
}

}  // namespace quorvel::regions
