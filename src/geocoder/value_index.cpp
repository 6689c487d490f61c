#include "geocoder/value_index.h"

#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "geocoder/duplicates.h"
#include "geocoder/parallel_blocks.h"
#include "kdtree/knn_search.h"

namespace quorvel {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Positions per block of a restricted search.
constexpr std::size_t kWhereBlock = 4096;

}  // namespace

Result<ValueIndex> ValueIndex::build(const ReverseGeocoder& geocoder,
                                     std::size_t column) {
  ValueIndex index;
  const std::size_t n = geocoder.size();
  std::vector<std::uint32_t> value_of(n, kAbsentValue);
  for (std::size_t item = 0; item < n; ++item) {
    Result<csv::Record> record =
        geocoder.record_fields(static_cast<std::uint32_t>(item));
    if (!record.ok()) return std::move(record).error();
    if (column >= record.value().size()) continue;
    const auto [it, added] =
        index.ids_.try_emplace(std::string(record.value().field(column)),
                               static_cast<std::uint32_t>(index.ids_.size()));
    value_of[item] = it->second;
  }
  // The points are taken from the geocoder's own index rather than parsed
  // again from the lines, which may have been stored without coordinates.
  // A record the index holds only as part of a group of identical points
  // takes the point of the record that stands for the group: the group's
  // records may differ in this column, and each must be found by its value.
  const DuplicateTable duplicates = DuplicateTable::build(geocoder);
  std::vector<kdtree::Point> point_of(n);
  std::vector<bool> has_point(n, false);
  for (const kdtree::LeafNode& leaf : geocoder.tree().leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s) {
      const std::uint32_t item = leaf.content_items[s];
      if (item >= n) continue;
      point_of[item] = {leaf.content_points[0][s], leaf.content_points[1][s],
                        leaf.content_points[2][s]};
      has_point[item] = true;
      for (const std::uint32_t follower : duplicates.followers(item)) {
        if (follower >= n) continue;
        point_of[follower] = point_of[item];
        has_point[follower] = true;
      }
    }
  }
  index.records_.resize(index.ids_.size());
  for (std::size_t item = 0; item < n; ++item) {
    if (value_of[item] != kAbsentValue && has_point[item]) {
      index.records_[value_of[item]].push_back(
          static_cast<std::uint32_t>(item));
    }
  }
  index.trees_.reserve(index.records_.size());
  std::vector<kdtree::Point> points;
  for (const std::vector<std::uint32_t>& records : index.records_) {
    points.clear();
    for (std::uint32_t item : records) points.push_back(point_of[item]);
    index.trees_.push_back(kdtree::ImmutableKdTree::new_from_slice(points));
  }
  return index;
}

std::uint32_t ValueIndex::find(std::string_view value) const {
  // The map's keys are std::string; a heterogeneous lookup would need a
  // transparent hash, and the binding calls this once per distinct value.
  auto it = ids_.find(std::string(value));
  return it == ids_.end() ? kAbsentValue : it->second;
}

kdtree::NearestResult ValueIndex::nearest(std::uint32_t id,
                                          const kdtree::Point& query) const {
  std::array<kdtree::NearestResult, 1> found{};
  const kdtree::KnnOutcome outcome =
      kdtree::nearest_k(trees_[id], query, kInf, found);
  if (outcome.status == kdtree::QueryStatus::kQueryNotFinite) {
    return {kNaN, kNoRecord};
  }
  if (outcome.status != kdtree::QueryStatus::kOk || outcome.count == 0) {
    return {kNaN, kNoRecord};
  }
  return {found[0].distance, records_[id][found[0].item]};
}

std::size_t ValueIndex::memory_bytes() const {
  std::size_t bytes = trees_.capacity() * sizeof(kdtree::ImmutableKdTree) +
                      records_.capacity() * sizeof(records_[0]);
  for (const kdtree::ImmutableKdTree& tree : trees_) {
    bytes += tree.leaves().capacity() * sizeof(kdtree::LeafNode) +
             tree.stems().capacity() * sizeof(double) +
             tree.leaf_bounds().capacity() * sizeof(kdtree::NodeBounds) +
             tree.stem_bounds().capacity() * sizeof(kdtree::NodeBounds);
  }
  for (const std::vector<std::uint32_t>& records : records_) {
    bytes += records.capacity() * sizeof(std::uint32_t);
  }
  for (const auto& [value, id] : ids_) {
    bytes += sizeof(value) + sizeof(id) + 2 * sizeof(void*) +
             (value.size() > 15 ? value.capacity() : 0);
  }
  return bytes;
}

Status nearest_records_where(const ReverseGeocoder& geocoder,
                             const ValueIndex& index, const NumberColumn& lats,
                             const NumberColumn& lons,
                             std::span<const std::uint32_t> values,
                             std::span<std::uint32_t> items,
                             std::span<double> squared_chords, unsigned workers,
                             StopCheck& stop_check) {
  const std::size_t n = items.size();
  // The unrestricted positions go through the plain search as one smaller
  // batch, so that they cost what they cost without `where`.
  std::vector<std::size_t> plain;
  for (std::size_t i = 0; i < n; ++i) {
    if (values[i] == kAnyValue) plain.push_back(i);
  }
  if (!plain.empty()) {
    std::vector<double> plain_lats(plain.size());
    std::vector<double> plain_lons(plain.size());
    for (std::size_t k = 0; k < plain.size(); ++k) {
      plain_lats[k] = column_value(lats, plain[k]);
      plain_lons[k] = column_value(lons, plain[k]);
    }
    std::vector<std::uint32_t> plain_items(plain.size());
    std::vector<double> plain_chords(squared_chords.empty() ? 0 : plain.size());
    Status found = nearest_records(geocoder, NumberColumn::of(plain_lats),
                                   NumberColumn::of(plain_lons), plain_items,
                                   plain_chords, workers, stop_check);
    if (!found.ok()) return found;
    for (std::size_t k = 0; k < plain.size(); ++k) {
      items[plain[k]] = plain_items[k];
      if (!squared_chords.empty()) squared_chords[plain[k]] = plain_chords[k];
    }
  }
  const bool done =
      run_blocks(n, kWhereBlock, batch_threads(n - plain.size(), workers),
                 stop_check, [&](std::size_t begin, std::size_t end) {
                   // The unit vectors first, in a loop without branches into
                   // the trees, so that the trigonometry of consecutive
                   // positions overlaps (a seventh off the search near places);
                   // then the searches. Grouping the searches by value was
                   // measured too: its sort cost what the warmer trees saved.
                   const std::size_t count = end - begin;
                   std::vector<kdtree::Point> points(count);
                   std::vector<std::uint32_t> order;
                   order.reserve(count);
                   for (std::size_t k = 0; k < count; ++k) {
                     const std::size_t i = begin + k;
                     const std::uint32_t id = values[i];
                     if (id == kAnyValue) continue;
                     // Each value is read once: another thread may change the
                     // memory.
                     const double lat = column_value(lats, i);
                     const double lon = column_value(lons, i);
                     if (id == kAbsentValue || !std::isfinite(lat) ||
                         !std::isfinite(lon)) {
                       items[i] = kNoRecord;
                       if (!squared_chords.empty()) squared_chords[i] = kNaN;
                       continue;
                     }
                     points[k] = lat_lon_to_point(lat, lon);
                     order.push_back(static_cast<std::uint32_t>(k));
                   }
                   for (const std::uint32_t k : order) {
                     const std::size_t i = begin + k;
                     const kdtree::NearestResult result =
                         index.nearest(values[i], points[k]);
                     items[i] = result.item;
                     if (!squared_chords.empty())
                       squared_chords[i] = result.distance;
                   }
                 });
  if (!done) return interrupted();
  return {};
}

Result<const ValueIndex*> ValueIndexCache::get(const ReverseGeocoder& geocoder,
                                               std::size_t column) {
  // One lock for the whole cache: a column is built once per geocoder, and
  // a caller that waits for another's build would otherwise build it again.
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = built_.find(column);
  if (it != built_.end()) return it->second.get();
  Result<ValueIndex> built = ValueIndex::build(geocoder, column);
  if (!built.ok()) return std::move(built).error();
  auto owned = std::make_unique<ValueIndex>(std::move(built).value());
  const ValueIndex* pointer = owned.get();
  built_.emplace(column, std::move(owned));
  return pointer;
}

}  // namespace quorvel
