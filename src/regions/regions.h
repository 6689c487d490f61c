// Regions: an immutable index of polygons with records, searched by position.
//
// A region is one feature: one or more polygons, each an outer ring followed
// by its holes, and a record of text fields. Geometry is planar in
// (longitude, latitude) degrees. A position is inside a polygon when it lies
// on the boundary of any of its rings (an edge or a vertex) or when a ray
// from it crosses the polygon's rings an odd number of times (even-odd over
// all rings of the polygon, which is how holes are respected). A position is
// inside a region when it is inside any of its polygons; where regions
// overlap, the first in input order wins. All tests are exact (see
// orientation.h).
//
// Layout: the polygons are flat arrays. `coordinates` holds longitude and
// latitude of every vertex in turn; ring r is vertices [ring_offsets[r],
// ring_offsets[r+1]), closed (its last vertex repeats its first); polygon p
// is rings [polygon_offsets[p], polygon_offsets[p+1]), the first its outer
// ring; region g is polygons [region_offsets[g], region_offsets[g+1]).
//
// The search structure is a uniform grid over [-180, 180] x [-90, 90] whose
// cell (column i, row j) covers [x_i, x_{i+1}] x [y_j, y_{j+1}], closed. Each
// cell lists, in (region, polygon) order, an item per polygon that reaches
// it: the edges of that polygon that may meet the closed cell and whether
// the cell's bottom-right corner is inside the polygon by the ray rule. A
// polygon that covers the whole cell has an item with no edges and the
// corner inside. A position's parity in a polygon then follows from the
// corner's parity and the crossings of a path from the corner up the cell's
// right side and left along the position's row; both legs stay in the
// closed cell, so only the listed edges can cross them. Most positions (at
// sea, or deep inside a country) need no edge test at all.
//
// A Regions exists only in a valid state: build() validates caller arrays
// and derives the grid; from_parts() and from_arrays() check every field
// read by a lookup (offsets, grid items, edge references) so that no lookup
// can read outside its arrays. The arrays are either vectors the Regions
// owns (built, or handed over as RegionsParts) or views into storage it
// keeps alive (a loaded file's bytes, used in place so that loading copies
// nothing). After construction nothing changes: any number of threads may
// call the const methods concurrently. No method recurses or keeps more
// than a few KiB on the stack.

#ifndef QUORVEL_REGIONS_REGIONS_H_
#define QUORVEL_REGIONS_REGIONS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/error.h"

namespace quorvel::regions {

// The region index meaning "no region".
inline constexpr std::uint32_t kNoRegion = 0xffffffffu;

// The earth's mean radius, the sphere distances are measured on.
inline constexpr double kEarthRadiusKm = 6371.0088;

// The longest piece, in degrees of longitude or latitude, that an edge is
// split into when its distance is measured (see nearest_boundary).
inline constexpr double kDistancePieceDegrees = 0.1;

// The most grid rows a Regions may have; columns are twice the rows.
inline constexpr std::uint32_t kMaxGridRows = 4096;

// The polygons and records a Regions is built from. Spans are borrowed for
// the duration of build() only.
struct RegionsInput {
  // Longitude then latitude of each vertex, in degrees.
  std::span<const double> coordinates;
  std::span<const std::uint32_t> ring_offsets;
  std::span<const std::uint32_t> polygon_offsets;
  std::span<const std::uint32_t> region_offsets;
  // The record column names, and each region's fields row by row: field c
  // of region g is fields[g * columns.size() + c].
  std::span<const std::string> columns;
  std::span<const std::string> fields;
};

// Build choices that do not change any answer.
struct BuildOptions {
  // Grid rows (columns are twice as many); 0 chooses from the vertex count.
  std::uint32_t grid_rows = 0;
};

// One polygon's presence in a grid cell.
struct CellItem {
  std::uint32_t region;
  std::uint32_t polygon;
  // The polygon's edges that may meet the cell are edge_refs[edge_begin,
  // edge_begin + edge_count()); an edge is named by its first vertex.
  std::uint32_t edge_begin;
  // Bit 0: the cell's bottom-right corner is inside by the ray rule. The
  // other bits: the number of edges.
  std::uint32_t count_and_corner;

  std::uint32_t edge_count() const { return count_and_corner >> 1; }
  bool corner_inside() const { return (count_and_corner & 1u) != 0; }
};

// Every stored field of a Regions, as from_parts() takes it and a saved file
// holds it.
struct RegionsParts {
  std::vector<double> coordinates;
  std::vector<std::uint32_t> ring_offsets;
  std::vector<std::uint32_t> polygon_offsets;
  std::vector<std::uint32_t> region_offsets;
  std::vector<std::string> columns;
  std::vector<std::string> fields;
  std::uint32_t grid_rows = 0;
  // cells + 1 offsets into items; cell (i, j) is number j * columns + i.
  std::vector<std::uint32_t> cell_offsets;
  std::vector<CellItem> items;
  std::vector<std::uint32_t> edge_refs;
};

static_assert(sizeof(CellItem) == 16 && alignof(CellItem) == 4,
              "a saved file holds cell items as four u32 each, read in place");

// Every stored field of a Regions but the records, viewed: what a lookup
// reads, and what a saved file holds.
struct RegionsArrays {
  std::span<const double> coordinates;
  std::span<const std::uint32_t> ring_offsets;
  std::span<const std::uint32_t> polygon_offsets;
  std::span<const std::uint32_t> region_offsets;
  std::uint32_t grid_rows = 0;
  std::span<const std::uint32_t> cell_offsets;
  std::span<const CellItem> items;
  std::span<const std::uint32_t> edge_refs;
};

// The region whose boundary is nearest to a position, and how far it is.
struct NearestBoundary {
  std::uint32_t region = kNoRegion;
  double distance_km = 0.0;
};

class Regions {
 public:
  // Validates `input` and builds the index. An error is an invalid-argument
  // error naming the region (feature) number and the rule it breaks: a ring
  // not closed, a ring of fewer than 4 positions, a non-finite coordinate, a
  // longitude outside [-180, 180] or latitude outside [-90, 90], an edge
  // spanning more than 180 degrees of longitude other than along a pole (a
  // ring crossing the antimeridian without being split there; a ring that
  // means to run the long way round must add vertices), a polygon without
  // rings, or
  // offsets and fields that do not fit together.
  static Result<Regions> build(const RegionsInput& input,
                               const BuildOptions& options = {});

  // Takes stored fields after checking everything a lookup relies on; the
  // polygons are validated as build() validates them.
  static Result<Regions> from_parts(RegionsParts parts);

  // Takes arrays that lie in `storage` (a loaded file), after the same
  // checks as from_parts(); the Regions keeps `storage` alive and reads the
  // arrays where they lie.
  // REQUIRES: the spans of `arrays` point into `storage`, which nothing
  // changes from now on.
  static Result<Regions> from_arrays(const RegionsArrays& arrays,
                                     std::vector<std::string> columns,
                                     std::vector<std::string> fields,
                                     std::shared_ptr<const void> storage);

  Regions(Regions&&) = default;
  Regions& operator=(Regions&&) = default;
  Regions(const Regions&) = delete;
  Regions& operator=(const Regions&) = delete;

  // The number of regions.
  std::size_t size() const { return arrays_.region_offsets.size() - 1; }

  // The first region (in input order) containing the position, or kNoRegion.
  // A position outside [-90, 90] x [-180, 180], or not finite, is in none.
  std::uint32_t region_at(double lat, double lon) const;

  // The region whose boundary (any ring's edge) is nearest to the position
  // on the sphere, if within `max_distance_km`; ties go to the lower region
  // number. Each edge is measured as the planar edge the containment test
  // uses, split into pieces of at most kDistancePieceDegrees in longitude and
  // latitude, each piece taken as the great-circle arc between its ends; the
  // arc strays from the planar piece by at most about L^2 tan(lat) / (8 R)
  // for a piece of length L, under 3 m below 45 degrees of latitude and
  // under 15 m below 80 degrees. Does not test containment.
  NearestBoundary nearest_boundary(double lat, double lon,
                                   double max_distance_km) const;

  // region_at(), and when that finds none and max_distance_km > 0, the
  // region of nearest_boundary() if there is one.
  std::uint32_t lookup(double lat, double lon, double max_distance_km) const;

  // The record column names.
  const std::vector<std::string>& columns() const { return parts_.columns; }

  // Every record field, region by region: field c of region g is
  // fields()[g * columns().size() + c].
  const std::vector<std::string>& fields() const { return parts_.fields; }

  // Field `column` of region `region`.
  // REQUIRES: region < size(), column < columns().size().
  const std::string& field(std::size_t region, std::size_t column) const {
    return parts_.fields[region * parts_.columns.size() + column];
  }

  // The stored fields but the records, for saving.
  const RegionsArrays& arrays() const { return arrays_; }

  // A copy of every stored field.
  RegionsParts copy_parts() const;

  std::uint32_t grid_rows() const { return arrays_.grid_rows; }
  std::uint32_t grid_columns() const { return 2 * arrays_.grid_rows; }

 private:
  // Owns `parts` and views them.
  explicit Regions(RegionsParts parts);
  // Views arrays that lie in `storage`, and keeps it.
  Regions(const RegionsArrays& arrays, std::vector<std::string> columns,
          std::vector<std::string> fields, std::shared_ptr<const void> storage);

  // Checks everything a lookup relies on and derives the block answers.
  Status validate_and_derive();

  // Points arrays_ at the vectors of parts_.
  void view_owned_parts();

  // The left edge of grid column i and the bottom edge of row j, the same
  // numbers at build and at lookup; column 2*rows and row `rows` are 180
  // and 90 exactly.
  double column_x(std::uint32_t i) const;
  double row_y(std::uint32_t j) const;
  // The column whose half-open span [x_i, x_{i+1}) holds x (the last
  // column also holds 180), and likewise for rows.
  // REQUIRES: x in [-180, 180], y in [-90, 90].
  std::uint32_t column_of(double x) const;
  std::uint32_t row_of(double y) const;

  // Whether (x, y) is inside the polygon of `item`, a position in the cell
  // whose right side is at x1 and bottom at y0.
  bool inside_item(const CellItem& item, double x, double y, double x1,
                   double y0) const;

  // The grid constants, from the row count.
  // REQUIRES: grid_rows() is within [1, kMaxGridRows].
  void derive_cache();

  // The block answers, from the cell tables.
  void derive_blocks();

  // Fills the grid tables from the polygons.
  Status build_grid();

  // Appends (cell, v) for every cell the edge from vertex v may meet.
  void add_edge_cells(
      std::uint32_t v,
      std::vector<std::pair<std::uint32_t, std::uint32_t>>& incidences) const;

  // The fields, in one of two representations. Built (or from_parts), the
  // arrays are the vectors of parts_ and storage_ is empty; loaded in place,
  // parts_ holds only the records and the arrays lie in storage_. arrays_
  // views whichever it is: a moved vector keeps its buffer, so the views
  // stay valid when a Regions is moved.
  RegionsParts parts_;
  std::shared_ptr<const void> storage_;
  RegionsArrays arrays_;
  // A derived summary of blocks of kBlockCells x kBlockCells cells, never
  // saved: kNoRegion where no cell of the block has an item, the region
  // where every cell's first item covers the cell whole and belongs to that
  // one region, else kDescend (look at the cell). Most positions (at sea or
  // inland) are answered here, from a table small enough to stay in cache.
  static constexpr std::uint32_t kBlockShift = 2;
  static constexpr std::uint32_t kDescend = 0xfffffffeu;
  std::vector<std::uint32_t> block_answer_;
  std::uint32_t block_columns_ = 0;
  double column_width_ = 0.0;  // 360 / columns.
  double row_height_ = 0.0;    // 180 / rows.
  double inverse_column_width_ = 0.0;
  double inverse_row_height_ = 0.0;
};

}  // namespace quorvel::regions

#endif  // QUORVEL_REGIONS_REGIONS_H_
