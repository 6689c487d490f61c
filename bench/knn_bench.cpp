// Speed of the searches beyond the single nearest, without the interpreter:
// nanoseconds per position of the k nearest (k = 5), a distance limit on the
// plain nearest, everything within 10 km (sorted, unsorted, counted), beside
// the plain nearest_records, on one thread. Then the plain nearest in input
// order against the same positions visited in the order of a locality key
// (a Morton code of the unit vector), the sort included, at several batch
// sizes.
//
//   knn_bench [places.csv]
//
// Reads the given CSV (default: data/world_places.csv relative to the working
// directory), then searches 1,000,000 positions uniform on the sphere and
// 1,000,000 near stored places. Medians of three runs; on a shared machine,
// compare figures of one run only.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "geocoder/batch_queries.h"
#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"

namespace {

using quorvel::NumberColumn;

template <typename F>
double median_seconds(F&& f, int repeats = 3) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    f();
    times.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void check(const quorvel::Status& status) {
  if (!status.ok()) {
    std::fprintf(stderr, "%s\n", status.error().message().c_str());
    std::abort();
  }
}

// Spreads the low 21 bits of v to every third bit.
std::uint64_t spread_bits(std::uint64_t v) {
  v &= 0x1fffff;
  v = (v | v << 32) & 0x1f00000000ffffULL;
  v = (v | v << 16) & 0x1f0000ff0000ffULL;
  v = (v | v << 8) & 0x100f00f00f00f00fULL;
  v = (v | v << 4) & 0x10c30c30c30c30c3ULL;
  v = (v | v << 2) & 0x1249249249249249ULL;
  return v;
}

// A Morton code of the unit vector: nearby positions get nearby keys.
std::uint64_t locality_key(double lat, double lon) {
  if (!(std::isfinite(lat) && std::isfinite(lon))) return ~0ULL;
  const quorvel::kdtree::Point p = quorvel::lat_lon_to_point(lat, lon);
  const auto cell = [](double c) {
    return static_cast<std::uint64_t>((c + 1.0) * 0.5 * 2097151.0);
  };
  return spread_bits(cell(p[0])) | spread_bits(cell(p[1])) << 1 |
         spread_bits(cell(p[2])) << 2;
}

// The plain nearest of every position, visited in the order of the
// locality key and written back in input order; the key and the sort are
// part of the cost.
void nearest_in_key_order(const quorvel::ReverseGeocoder& g,
                          const std::vector<double>& lats,
                          const std::vector<double>& lons,
                          std::vector<std::uint32_t>& items) {
  const std::size_t n = lats.size();
  std::vector<std::pair<std::uint64_t, std::uint32_t>> order(n);
  for (std::size_t i = 0; i < n; ++i) {
    order[i] = {locality_key(lats[i], lons[i]), static_cast<std::uint32_t>(i)};
  }
  std::sort(order.begin(), order.end());
  const quorvel::kdtree::ImmutableKdTree& tree = g.tree();
  for (const auto& [key, i] : order) {
    const double lat = lats[i];
    const double lon = lons[i];
    if (!(std::isfinite(lat) && std::isfinite(lon))) {
      items[i] = quorvel::kNoRecord;
      continue;
    }
    items[i] =
        tree.nearest_one(quorvel::lat_lon_to_point(lat, lon)).result.item;
  }
}

void report(const quorvel::ReverseGeocoder& g, const char* name,
            const std::vector<double>& lats, const std::vector<double>& lons) {
  const std::size_t n = lats.size();
  const NumberColumn la = NumberColumn::of(lats);
  const NumberColumn lo = NumberColumn::of(lons);
  const auto ns = [n](double seconds) { return seconds * 1e9 / n; };
  std::printf("%s positions (%zu), one thread, ns/position:\n", name, n);

  std::vector<std::uint32_t> items(n);
  std::vector<double> km(n);
  std::printf("  nearest_records:                 %7.1f\n",
              ns(median_seconds([&] {
                check(quorvel::nearest_records(g, la, lo, items, {}, 1));
              })));
  for (const double limit : {50.0, 1e300}) {
    std::printf("  nearest_records_within %-6s km: %7.1f\n",
                limit > 1e6 ? "no" : "50", ns(median_seconds([&] {
                  check(quorvel::nearest_records_within(g, la, lo, limit, items,
                                                        km, 1));
                })));
  }

  std::vector<std::uint32_t> k_items(5 * n);
  std::vector<double> k_km(5 * n);
  for (const double limit : {1e300, 50.0}) {
    std::printf("  nearest_k_records k=5, %-6s km:  %7.1f\n",
                limit > 1e6 ? "no" : "50", ns(median_seconds([&] {
                  check(quorvel::nearest_k_records(g, la, lo, 5, limit, k_items,
                                                   k_km, 1));
                })));
  }
  std::printf(
      "  nearest_k_records k=5, no km:    %7.1f\n", ns(median_seconds([&] {
        check(quorvel::nearest_k_records(g, la, lo, 5, 1e300, k_items, {}, 1));
      })));

  const double radius[1] = {10.0};
  const NumberColumn radii{radius, 0, quorvel::NumberFormat::kFloat64};
  std::uint64_t total = 0;
  for (const bool sort : {true, false}) {
    std::printf("  records_within 10 km, %-8s:   %7.1f",
                sort ? "sorted" : "unsorted", ns(median_seconds([&] {
                  quorvel::Result<quorvel::WithinRows> rows =
                      quorvel::records_within(g, la, lo, radii, n, true, sort,
                                              1);
                  if (!rows.ok()) std::abort();
                  std::vector<std::uint64_t> offsets(n + 1);
                  std::vector<std::uint32_t> found(rows.value().total());
                  std::vector<double> found_km(rows.value().total());
                  rows.value().copy_to(offsets, found, found_km);
                  total = rows.value().total();
                })));
    std::printf("  (%.2f records per position)\n", double(total) / n);
  }
  std::vector<std::uint64_t> counts(n);
  std::printf(
      "  count_records_within 10 km:      %7.1f\n", ns(median_seconds([&] {
        check(quorvel::count_records_within(g, la, lo, radii, counts, 1));
      })));

  // Locality order against input order, the key and the sort included.
  std::printf("  plain nearest, input order vs locality-key order:\n");
  for (const std::size_t size : {1000u, 10000u, 100000u, 1000000u}) {
    const std::vector<double> sub_lats(lats.begin(), lats.begin() + size);
    const std::vector<double> sub_lons(lons.begin(), lons.begin() + size);
    std::vector<std::uint32_t> plain(size), keyed(size);
    const int repeats =
        static_cast<int>(std::max<std::size_t>(3, 1000000 / size));
    const double t_plain = median_seconds(
        [&] {
          check(quorvel::nearest_records(g, NumberColumn::of(sub_lats),
                                         NumberColumn::of(sub_lons), plain, {},
                                         1));
        },
        repeats);
    const double t_keyed = median_seconds(
        [&] { nearest_in_key_order(g, sub_lats, sub_lons, keyed); }, repeats);
    if (plain != keyed) std::abort();
    std::printf("    %8zu positions: %7.1f input order, %7.1f key order\n",
                size, t_plain * 1e9 / size, t_keyed * 1e9 / size);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "data/world_places.csv";
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    return 1;
  }
  std::stringstream text;
  text << in.rdbuf();
  auto built = quorvel::ReverseGeocoder::build(text.str(), U',', false);
  if (!built.ok()) {
    std::fprintf(stderr, "%s\n", built.error().message().c_str());
    return 1;
  }
  const quorvel::ReverseGeocoder& g = built.value();
  std::printf("%zu places from %s (%zu in the index)\n", g.size(), path,
              g.tree().size());

  const std::size_t n = 1'000'000;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> unit(-1.0, 1.0), lon(-180.0, 180.0);
  std::vector<double> lats(n), lons(n);
  for (std::size_t i = 0; i < n; ++i) {
    lats[i] = std::asin(unit(rng)) / quorvel::DEGREES_TO_RADIANS;
    lons[i] = lon(rng);
  }
  report(g, "uniform", lats, lons);

  // Stored places moved by about 20 km: 0.18 degrees of latitude.
  std::normal_distribution<double> shift(0.0, 0.18);
  std::uniform_int_distribution<std::uint32_t> pick(
      0, static_cast<std::uint32_t>(g.size() - 1));
  for (std::size_t i = 0; i < n; ++i) {
    const std::string_view line = g.line(pick(rng));
    const std::size_t comma = line.find(',');
    const double a =
        std::strtod(std::string(line.substr(0, comma)).c_str(), nullptr);
    const double o =
        std::strtod(std::string(line.substr(comma + 1)).c_str(), nullptr);
    lats[i] = a + shift(rng);
    lons[i] = o + shift(rng) /
                      std::max(0.1, std::cos(a * quorvel::DEGREES_TO_RADIANS));
  }
  report(g, "near places", lats, lons);
  return 0;
}
