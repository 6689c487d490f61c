// Construction and lookup speed of the geocoder core on generated CSV text
// shaped like a real gazetteer ("12.34567,-45.6789,Some Place Name,AB,XY").
//
// Prints, for 150,000 and 1,000,000 lines: the median build time (with and
// without drop_coordinates) and its throughput in MB/s of CSV, the part of
// it spent building the tree, and the median time per lookup. Times are the
// thread's CPU time, which stays meaningful on a machine shared with other
// work; the work is single-threaded, so on an idle machine it equals the
// wall-clock time.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "geocoder/geocoder.h"

namespace {

double cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

std::string generate_csv(std::size_t lines, std::mt19937_64& rng) {
  static const char* const kWords[] = {
      "Saint", "North", "Lake",  "Spring", "Valley", "Port", "Mount",
      "River", "Green", "Haven", "Bridge", "Field",  "Wood", "Ville"};
  std::uniform_real_distribution<double> lat(-60.0, 75.0), lon(-180.0, 180.0);
  std::string csv = "lat,lon,name,admin1,cc\n";
  csv.reserve(lines * 48);
  char buf[128];
  for (std::size_t i = 0; i < lines; ++i) {
    std::string name = kWords[rng() % 14];
    name += ' ';
    name += kWords[rng() % 14];
    if (rng() % 8 == 0) name = "\"" + name + ", " + kWords[rng() % 14] + "\"";
    std::snprintf(buf, sizeof buf, "%.5f,%.5f,%s,%c%c,%c%c\n", lat(rng),
                  lon(rng), name.c_str(), 'A' + int(rng() % 26),
                  'A' + int(rng() % 26), 'A' + int(rng() % 26),
                  'A' + int(rng() % 26));
    csv += buf;
  }
  return csv;
}

void run(std::size_t lines, int build_repeats) {
  std::mt19937_64 rng(301);
  const std::string csv = generate_csv(lines, rng);
  const double mb = csv.size() / 1e6;

  for (bool drop : {false, true}) {
    std::vector<double> times;
    for (int r = 0; r < build_repeats; ++r) {
      std::string copy = csv;  // build() takes ownership; copy off the clock.
      const double start = cpu_seconds();
      auto g = quorvel::ReverseGeocoder::build(std::move(copy), U',', drop);
      times.push_back((cpu_seconds() - start));
      if (!g.ok()) {
        std::printf("build failed: %s\n", g.error().message().c_str());
        return;
      }
    }
    const double t = median(times);
    std::printf("%8zu lines %6.1f MB  build%s: %8.1f ms  %7.1f MB/s\n", lines,
                mb, drop ? " (drop_coordinates)" : "                   ",
                t * 1e3, mb / t);
  }

  auto built = quorvel::ReverseGeocoder::build(csv, U',', false);
  const quorvel::ReverseGeocoder& g = built.value();

  // The tree's share of the build: the same points, tree alone.
  std::vector<quorvel::kdtree::Point> points;
  points.reserve(lines);
  for (const auto& slice : g.indexed_data()) {
    const char* line = g.csv().data() + slice.offset;
    double la = std::strtod(line, nullptr);
    double lo = std::strtod(std::strchr(line, ',') + 1, nullptr);
    points.push_back(quorvel::lat_lon_to_point(la, lo));
  }
  std::vector<double> tree_times;
  for (int r = 0; r < build_repeats; ++r) {
    const double start = cpu_seconds();
    auto tree = quorvel::kdtree::ImmutableKdTree::new_from_slice(points);
    tree_times.push_back((cpu_seconds() - start));
    if (tree.size() != lines) std::printf("tree size mismatch\n");
  }
  std::printf("%8zu lines         tree build alone:    %8.1f ms\n", lines,
              median(tree_times) * 1e3);

  // Lookups at uniformly random positions on the sphere.
  constexpr int kQueries = 200000;
  std::uniform_real_distribution<double> z(-1.0, 1.0), lon(-180.0, 180.0);
  std::vector<std::pair<double, double>> queries(kQueries);
  for (auto& q : queries) q = {std::asin(z(rng)) * 57.29577951308232, lon(rng)};
  std::size_t checksum = 0;
  std::vector<double> per_lookup;
  for (int r = 0; r < 7; ++r) {
    const double start = cpu_seconds();
    for (const auto& [la, lo] : queries) {
      auto line = g.get_nearest(la, lo);
      checksum += line.value().size();
    }
    per_lookup.push_back((cpu_seconds() - start) / kQueries);
  }
  std::vector<double> per_record;
  for (int r = 0; r < 7; ++r) {
    const double start = cpu_seconds();
    for (const auto& [la, lo] : queries) {
      auto record = g.get_nearest_record(la, lo);
      checksum += record.value().size();
    }
    per_record.push_back((cpu_seconds() - start) / kQueries);
  }
  std::printf("%8zu lines         get_nearest:         %8.0f ns/lookup\n",
              lines, median(per_lookup) * 1e9);
  std::printf(
      "%8zu lines         get_nearest_record:  %8.0f ns/lookup"
      "   (checksum %zu)\n",
      lines, median(per_record) * 1e9, checksum);
}

}  // namespace

int main() {
  run(150000, 7);
  run(1000000, 3);
  return 0;
}
