// Load time of a saved Regions, by phase.
//
// Usage: regions_load_bench [REGIONS_FILE] [RUNS]
// REGIONS_FILE defaults to package/quorvel/data/world_countries.regions.
// Each figure is the best of RUNS runs (default 20) in processor time of
// this thread: the machine may be shared, and wall time would also count
// the time other processes held the processor.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>

#include "persist/regions_file.h"
#include "regions/regions.h"

namespace {

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

// The best time of `runs` calls of `f`, in milliseconds.
template <typename F>
double best_ms(int runs, F&& f) {
  double best = 1e9;
  for (int k = 0; k < runs; ++k) {
    const double start = thread_seconds();
    f();
    best = std::min(best, thread_seconds() - start);
  }
  return best * 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path =
      argc > 1 ? argv[1] : "package/quorvel/data/world_countries.regions";
  const int runs = argc > 2 ? std::stoi(argv[2]) : 20;
  // First, as a program's first load would: into memory the process never
  // had, whose pages the system must map as they are first written.
  const double first_start = thread_seconds();
  const bool first_ok = quorvel::persist::load_regions(path).ok();
  const double first_ms = (thread_seconds() - first_start) * 1e3;
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)),
                          std::istreambuf_iterator<char>());
  auto first = quorvel::persist::loads_regions(bytes);
  if (!first.ok()) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(),
                 first.error().report().c_str());
    return 1;
  }
  const auto& parts = first.value().arrays();
  std::printf(
      "%s: %.1f MB, %zu regions, %zu vertices, grid rows %u, items %zu, "
      "edge refs %zu\n",
      path.c_str(), bytes.size() / 1e6, first.value().size(),
      parts.coordinates.size() / 2, first.value().grid_rows(),
      parts.items.size(), parts.edge_refs.size());

  std::printf("first load (file):   %6.2f ms%s\n", first_ms,
              first_ok ? "" : " (FAILED)");
  volatile std::uint64_t sink = 0;
  const std::string_view payload = std::string_view(bytes).substr(32);
  std::printf("checksum:            %6.2f ms\n", best_ms(runs, [&] {
                sink = sink + quorvel::persist::regions_checksum(payload);
              }));
  std::printf("copy of the bytes:   %6.2f ms\n", best_ms(runs, [&] {
                std::string copy = bytes;
                sink = sink + static_cast<unsigned char>(copy[copy.size() / 2]);
              }));
  std::printf("loads (in memory):   %6.2f ms\n", best_ms(runs, [&] {
                auto r = quorvel::persist::loads_regions(bytes);
                sink = sink + r.ok();
              }));
  std::printf("load (from file):    %6.2f ms\n", best_ms(runs, [&] {
                auto r = quorvel::persist::load_regions(path);
                sink = sink + r.ok();
              }));
  // The other choice of format: store only the polygons and records, and
  // build the grid at load.
  const auto& loaded = first.value();
  const quorvel::regions::RegionsInput input{
      parts.coordinates,    parts.ring_offsets, parts.polygon_offsets,
      parts.region_offsets, loaded.columns(),   loaded.fields()};
  std::printf(
      "build (grid rebuilt): %6.2f ms\n", best_ms(std::min(runs, 3), [&] {
        auto r = quorvel::regions::Regions::build(input, {loaded.grid_rows()});
        sink = sink + r.ok();
      }));
  return 0;
}
