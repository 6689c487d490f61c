#include "geocoder/duplicates.h"

#include <algorithm>
#include <numeric>
#include <optional>

#include "geocoder/batch_search.h"
#include "geocoder/float_parse.h"

namespace quorvel {
namespace {

// How many indexed records must agree on a pair of coordinate fields.
constexpr std::size_t kSamples = 16;

struct Pair {
  std::size_t lat;
  std::size_t lon;
};

// The position of `item` as fields `pair` of its stored line give it.
bool point_of(const ReverseGeocoder& geocoder, std::uint32_t item, Pair pair,
              kdtree::Point* out) {
  Result<csv::Record> record = geocoder.record_fields(item);
  if (!record.ok()) return false;
  const csv::Record& fields = record.value();
  if (pair.lat >= fields.size() || pair.lon >= fields.size()) return false;
  Result<double> lat = parse_float(fields.field(pair.lat));
  Result<double> lon = parse_float(fields.field(pair.lon));
  if (!lat.ok() || !lon.ok()) return false;
  *out = lat_lon_to_point(lat.value(), lon.value());
  return true;
}

// The fields that hold the coordinates: the pair that gives, for up to
// kSamples indexed records, exactly the points the index holds for them.
// Nothing when no pair does (the coordinates were not stored).
std::optional<Pair> coordinate_fields(const ReverseGeocoder& geocoder) {
  std::vector<std::pair<std::uint32_t, kdtree::Point>> samples;
  for (const kdtree::LeafNode& leaf : geocoder.tree().leaves()) {
    for (std::size_t s = 0; s < leaf.size && samples.size() < kSamples; ++s) {
      samples.push_back({leaf.content_items[s],
                         {leaf.content_points[0][s], leaf.content_points[1][s],
                          leaf.content_points[2][s]}});
    }
    if (samples.size() == kSamples) break;
  }
  const std::size_t width = geocoder.columns().size();
  for (std::size_t lat = 0; lat < width; ++lat) {
    for (std::size_t lon = 0; lon < width; ++lon) {
      if (lat == lon) continue;
      bool all = !samples.empty();
      for (const auto& [item, point] : samples) {
        kdtree::Point read;
        if (!point_of(geocoder, item, {lat, lon}, &read) || read != point) {
          all = false;
          break;
        }
      }
      if (all) return Pair{lat, lon};
    }
  }
  return std::nullopt;
}

}  // namespace

DuplicateTable DuplicateTable::build(const ReverseGeocoder& geocoder) {
  DuplicateTable table;
  const kdtree::ImmutableKdTree& tree = geocoder.tree();
  if (tree.size() >= geocoder.size()) return table;
  std::vector<bool> indexed(geocoder.size(), false);
  for (const kdtree::LeafNode& leaf : tree.leaves()) {
    for (std::size_t s = 0; s < leaf.size; ++s) {
      indexed[leaf.content_items[s]] = true;
    }
  }
  const std::optional<Pair> pair = coordinate_fields(geocoder);
  if (!pair) return table;
  // (indexed record, follower), gathered in follower order.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> links;
  for (std::uint32_t item = 0; item < geocoder.size(); ++item) {
    if (indexed[item]) continue;
    kdtree::Point point;
    if (!point_of(geocoder, item, *pair, &point)) continue;
    const kdtree::QueryOutcome found = tree.nearest_one(point);
    // Only a record at exactly an indexed point belongs to its group.
    if (found.status != kdtree::QueryStatus::kOk ||
        found.result.distance != 0.0) {
      continue;
    }
    links.push_back({found.result.item, item});
  }
  std::stable_sort(
      links.begin(), links.end(),
      [](const auto& a, const auto& b) { return a.first < b.first; });
  table.members_.reserve(links.size());
  for (std::size_t i = 0; i < links.size();) {
    std::size_t j = i;
    while (j < links.size() && links[j].first == links[i].first) {
      table.members_.push_back(links[j].second);
      ++j;
    }
    table.ranges_.emplace(links[i].first, std::make_pair(i, j - i));
    i = j;
  }
  return table;
}

const DuplicateTable& LazyDuplicates::get() const {
  std::call_once(once_, [&] {
    table_ = std::make_unique<DuplicateTable>(DuplicateTable::build(geocoder_));
  });
  return *table_;
}

namespace {

struct Found {
  double km;
  std::uint32_t item;
};

bool before(const Found& a, const Found& b) {
  return a.km < b.km || (a.km == b.km && a.item < b.item);
}

}  // namespace

void expand_k_rows(const DuplicateTable& table, std::size_t k,
                   std::span<std::uint32_t> items,
                   std::span<double> distances_km) {
  if (table.empty()) return;
  std::vector<Found> row;
  for (std::size_t begin = 0; begin < items.size(); begin += k) {
    row.clear();
    bool grew = false;
    std::size_t j = 0;
    for (; j < k && items[begin + j] != kNoRecord; ++j) {
      const std::uint32_t item = items[begin + j];
      const double km = distances_km[begin + j];
      row.push_back({km, item});
      for (const std::uint32_t follower : table.followers(item)) {
        row.push_back({km, follower});
        grew = true;
      }
    }
    if (!grew) continue;
    const std::size_t kept = std::min(k, row.size());
    std::partial_sort(row.begin(), row.begin() + kept, row.end(), before);
    for (std::size_t i = 0; i < kept; ++i) {
      items[begin + i] = row[i].item;
      distances_km[begin + i] = row[i].km;
    }
  }
}

void expand_within_rows(const DuplicateTable& table,
                        std::span<const std::uint64_t> offsets,
                        std::span<const std::uint32_t> items,
                        std::span<const double> distances_km, bool sort,
                        std::vector<std::uint64_t>* out_offsets,
                        std::vector<std::uint32_t>* out_items,
                        std::vector<double>* out_distances_km) {
  const bool with_km = !distances_km.empty();
  out_offsets->assign(1, 0);
  out_items->clear();
  out_distances_km->clear();
  std::vector<Found> row;
  for (std::size_t i = 0; i + 1 < offsets.size(); ++i) {
    const std::size_t start = out_items->size();
    bool grew = false;
    for (std::uint64_t at = offsets[i]; at < offsets[i + 1]; ++at) {
      const double km = with_km ? distances_km[at] : 0.0;
      out_items->push_back(items[at]);
      if (with_km) out_distances_km->push_back(km);
      for (const std::uint32_t follower : table.followers(items[at])) {
        out_items->push_back(follower);
        if (with_km) out_distances_km->push_back(km);
        grew = true;
      }
    }
    if (sort && grew) {
      row.clear();
      for (std::size_t at = start; at < out_items->size(); ++at) {
        row.push_back({(*out_distances_km)[at], (*out_items)[at]});
      }
      std::sort(row.begin(), row.end(), before);
      for (std::size_t at = start; at < out_items->size(); ++at) {
        (*out_items)[at] = row[at - start].item;
        (*out_distances_km)[at] = row[at - start].km;
      }
    }
    out_offsets->push_back(out_items->size());
  }
}

}  // namespace quorvel
