// Build and nearest-one query of the spatial index on uniform and city-like
// points: ms per build, ns per query, bytes per point. Medians of repeats,
// in thread CPU time.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <random>
#include <vector>

#include "kdtree/kdtree.h"

namespace {

using quorvel::kdtree::ImmutableKdTree;
using quorvel::kdtree::LeafNode;
using quorvel::kdtree::Point;

// CPU time of this thread: the shared build machines run other jobs, and
// wall time then measures the scheduler more than the tree.
struct ThreadCpuClock {
  using duration = std::chrono::nanoseconds;
  using rep = duration::rep;
  using period = duration::period;
  using time_point = std::chrono::time_point<ThreadCpuClock>;
  static constexpr bool is_steady = true;
  static time_point now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return time_point(
        duration(std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec));
  }
};
using Clock = ThreadCpuClock;

Point unit_vector(double lat_degrees, double lon_degrees) {
  const double lat = lat_degrees * (M_PI / 180.0);
  const double lon = lon_degrees * (M_PI / 180.0);
  return {std::cos(lat) * std::cos(lon), std::cos(lat) * std::sin(lon),
          std::sin(lat)};
}

std::vector<Point> uniform(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> z(-1.0, 1.0), lon(-180.0, 180.0);
  std::vector<Point> points(n);
  for (Point& p : points)
    p = unit_vector(std::asin(z(rng)) * 180 / M_PI, lon(rng));
  return points;
}

// Clusters of a few kilometres around random centres on land-like latitudes,
// positions rounded to 1e-5 degrees as gazetteers store them.
std::vector<Point> city_like(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> lat(-55.0, 70.0), lon(-180.0, 180.0);
  std::exponential_distribution<double> radius(20.0);
  std::uniform_real_distribution<double> angle(0.0, 2 * M_PI);
  std::vector<std::pair<double, double>> centres(n / 100 + 1);
  for (auto& c : centres) c = {lat(rng), lon(rng)};
  std::uniform_int_distribution<std::size_t> pick(0, centres.size() - 1);
  std::vector<Point> points(n);
  for (Point& p : points) {
    const auto& c = centres[pick(rng)];
    const double r = radius(rng), a = angle(rng);
    p = unit_vector(std::round((c.first + r * std::sin(a)) * 1e5) / 1e5,
                    std::round((c.second + r * std::cos(a)) * 1e5) / 1e5);
  }
  return points;
}

// Gazetteer positions rounded to 0.01 degrees: shared latitudes and whole
// groups of identical points, the input that sends the build past its plan.
std::vector<Point> rounded(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> z(-1.0, 1.0), lon(-180.0, 180.0);
  std::vector<Point> points(n);
  for (Point& p : points) {
    p = unit_vector(std::round(std::asin(z(rng)) * 180 / M_PI * 100) / 100,
                    std::round(lon(rng) * 100) / 100);
  }
  return points;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void run(const char* name, const std::vector<Point>& points) {
  std::vector<double> build_ms;
  ImmutableKdTree tree = ImmutableKdTree::new_from_slice({});
  for (int r = 0; r < 3; ++r) {
    const auto start = Clock::now();
    tree = ImmutableKdTree::new_from_slice(points);
    build_ms.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - start)
            .count());
  }

  // Queries like a geocoder's: anywhere on the globe, half of them near
  // stored points.
  std::mt19937_64 rng(99);
  std::vector<Point> queries = uniform(100000, 7);
  std::uniform_int_distribution<std::size_t> pick(0, points.size() - 1);
  std::normal_distribution<double> jitter(0.0, 1e-4);
  for (std::size_t i = 0; i < queries.size(); i += 2) {
    queries[i] = points[pick(rng)];
    for (double& c : queries[i]) c += jitter(rng);
  }
  std::vector<double> query_ns;
  std::uint64_t checksum = 0;
  for (int r = 0; r < 7; ++r) {
    const auto start = Clock::now();
    for (const Point& q : queries) checksum += tree.nearest_one(q).result.item;
    query_ns.push_back(
        std::chrono::duration<double, std::nano>(Clock::now() - start).count() /
        queries.size());
  }
  const double bytes = tree.leaves().size() * sizeof(LeafNode) +
                       tree.stems().size() * sizeof(double);
  std::printf(
      "%-10s %9zu %10.1f %12.1f %14.1f   (%zu leaves, %zu stems, %llu)\n", name,
      points.size(), median(build_ms), median(query_ns), bytes / points.size(),
      tree.leaves().size(), tree.stems().size(),
      static_cast<unsigned long long>(checksum % 1000));
}

}  // namespace

int main() {
  std::printf("%-10s %9s %10s %12s %14s\n", "data", "points", "build ms",
              "ns/query", "bytes/point");
  for (std::size_t n : {150000, 1000000}) {
    run("uniform", uniform(n, n));
    run("city-like", city_like(n, n));
    run("rounded", rounded(n, n));
  }
  return 0;
}
