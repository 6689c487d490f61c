// Batch search speed of the geocoder core, without the interpreter: the
// nanoseconds per position of nearest_records on 1, 2 and all available
// threads, beside a loop of single lookups over the same positions.
//
//   batch_bench [places.csv]
//
// Reads the given CSV (default: data/world_places.csv relative to the working
// directory), then searches 1,000,000 positions uniform on the sphere and
// 1,000,000 near stored places. Wall-clock medians of five runs; on a shared
// machine, compare figures of one run only.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "geocoder/batch_search.h"
#include "geocoder/geocoder.h"

namespace {

using quorvel::NumberColumn;

double process_cpu_seconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Timing {
  double wall;  // Median wall-clock seconds.
  double cpu;   // Median CPU seconds of the whole process (all threads).
};

// The process CPU time shows the work done whatever else loads the machine;
// the wall time shows what a caller waits.
template <typename F>
Timing median_time(F&& f, int repeats = 5) {
  std::vector<double> walls, cpus;
  for (int r = 0; r < repeats; ++r) {
    const double cpu = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    f();
    walls.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
            .count());
    cpus.push_back(process_cpu_seconds() - cpu);
  }
  std::sort(walls.begin(), walls.end());
  std::sort(cpus.begin(), cpus.end());
  return {walls[walls.size() / 2], cpus[cpus.size() / 2]};
}

void report(const quorvel::ReverseGeocoder& g, const char* name,
            const std::vector<double>& lats, const std::vector<double>& lons) {
  const std::size_t n = lats.size();
  std::vector<std::uint32_t> items(n);
  std::printf("%s positions (%zu):\n", name, n);
  const unsigned cpus = quorvel::available_cpus();
  std::vector<unsigned> counts = {1, 2};
  if (cpus > 2) counts.push_back(cpus);
  for (unsigned workers : counts) {
    const Timing t = median_time([&] {
      if (!quorvel::nearest_records(g, NumberColumn::of(lats),
                                    NumberColumn::of(lons), items, {}, workers)
               .ok()) {
        std::abort();
      }
    });
    std::printf(
        "  nearest_records, %u worker(s): %7.1f ns/position wall, %7.1f CPU\n",
        workers, t.wall * 1e9 / n, t.cpu * 1e9 / n);
  }
  std::size_t sink = 0;
  const Timing loop = median_time(
      [&] {
        for (std::size_t i = 0; i < n; ++i)
          sink += g.get_nearest(lats[i], lons[i]).value().size();
      },
      3);
  std::printf(
      "  get_nearest loop:             %7.1f ns/position wall, %7.1f CPU "
      "(%zu)\n",
      loop.wall * 1e9 / n, loop.cpu * 1e9 / n, sink % 10);
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
  std::printf("%zu places from %s\n", g.size(), path);

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
