// Save and load of built geocoders against construction from the same CSV.
//
// For 150,000 and 1,000,000 generated records: construction from CSV, save
// to a file, load from the file and loads() from memory, each the best of a
// few runs, in ms and MB/s of saved-file bytes. Load aims to be at least 4x
// faster than construction and to read at least 500 MB/s.
//
// Times are process CPU time (user + system), which the machine's other
// load disturbs far less than wall-clock time; the process is
// single-threaded, so on an idle machine the two agree.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "geocoder/geocoder.h"
#include "persist/saved_file.h"

namespace {

using quorvel::ReverseGeocoder;
double cpu_ms() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

std::string generate_csv(int n) {
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::string out = "lat,lon,name,admin1,admin2,cc\n";
  char line[160];
  for (int k = 0; k < n; ++k) {
    std::snprintf(line, sizeof line,
                  "%.5f,%.5f,Place %d,Region %d,District %d,C%d\n", lat(rng),
                  lon(rng), k, k % 97, k % 1013, k % 250);
    out += line;
  }
  return out;
}

template <typename F>
double best_ms(int runs, F&& f) {
  double best = 1e300;
  for (int r = 0; r < runs; ++r) {
    double t0 = cpu_ms();
    f();
    best = std::min(best, cpu_ms() - t0);
  }
  return best;
}

void must(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "%s failed\n", what);
    std::exit(1);
  }
}

void run(int records, int runs) {
  std::string csv = generate_csv(records);
  // Replaced by each timed build below.
  ReverseGeocoder g = ReverseGeocoder::build("lat,lon\n", U',', false).value();
  double build_ms = best_ms(runs, [&] {
    auto built = ReverseGeocoder::build(csv, U',', false);
    must(built.ok(), "build");
    g = std::move(built).value();
  });
  std::string path = "/tmp/quorvel_persist_bench_" + std::to_string(getpid());
  double save_ms = best_ms(
      runs, [&] { must(quorvel::persist::save(g, path).ok(), "save"); });
  auto bytes = quorvel::persist::dumps(g);
  must(bytes.ok(), "dumps");
  const double mb = bytes.value().size() / 1e6;
  double load_ms =
      best_ms(runs, [&] { must(quorvel::persist::load(path).ok(), "load"); });
  double loads_ms = best_ms(runs, [&] {
    must(quorvel::persist::loads(bytes.value()).ok(), "loads");
  });
  std::remove(path.c_str());
  std::printf("%9d records, csv %.1f MB, file %.1f MB\n", records,
              csv.size() / 1e6, mb);
  std::printf("  build from csv %8.1f ms\n", build_ms);
  std::printf("  save           %8.1f ms  %7.0f MB/s\n", save_ms,
              mb / save_ms * 1e3);
  std::printf(
      "  load (file)    %8.1f ms  %7.0f MB/s  %5.1fx faster than build\n",
      load_ms, mb / load_ms * 1e3, build_ms / load_ms);
  std::printf("  loads (memory) %8.1f ms  %7.0f MB/s\n", loads_ms,
              mb / loads_ms * 1e3);
}

}  // namespace

int main() {
  run(150000, 5);
  run(1000000, 3);
  return 0;
}
