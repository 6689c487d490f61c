#include "geocoder/batch_search.h"

#include <cxxabi.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel {
namespace {

// Positions are handed out to threads in blocks of this many: large enough
// that the shared counter is touched rarely, small enough that a thread
// slowed down by the machine's other load leaves little work behind.
constexpr std::size_t kBlock = 2048;

// A thread costs tens of microseconds to start and join; below this many
// positions per thread it would cost more than it saves.
constexpr std::size_t kMinPositionsPerThread = 8192;

template <typename T>
double read_as_double(const void* data, std::ptrdiff_t stride, std::size_t i) {
  T value;
  std::memcpy(
      &value,
      static_cast<const char*>(data) + static_cast<std::ptrdiff_t>(i) * stride,
      sizeof(T));
  return static_cast<double>(value);
}

// Per-thread room for one block: the unit vectors and whether each position
// was finite. On the heap, allocated once per thread and call: a block's
// worth is tens of KiB, too much for the stack of a thread that Python may
// have started with a small one.
struct BlockScratch {
  std::unique_ptr<kdtree::Point[]> points{new kdtree::Point[kBlock]};
  std::unique_ptr<bool[]> finite{new bool[kBlock]};
};

// The helper threads of one run; whatever way the run ends (a forced
// unwind of the calling thread included), they are told to stop and joined
// before the memory they share goes away.
class Helpers {
 public:
  explicit Helpers(std::atomic<bool>& stop) : stop_(stop) {}
  Helpers(const Helpers&) = delete;
  Helpers& operator=(const Helpers&) = delete;
  ~Helpers() {
    if (threads_.empty()) return;
    stop_.store(true, std::memory_order_relaxed);
    join();
  }

  // Starts `work` on one more thread; false when the system refused one.
  template <typename Work>
  bool start(Work& work) {
    try {
      threads_.emplace_back(work);
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void join() {
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
  }

 private:
  std::atomic<bool>& stop_;
  std::vector<std::thread> threads_;
};

// Runs `body(begin, end, scratch)` over [0, count) in blocks of kBlock, on
// the calling thread and up to `threads - 1` helpers that live only for this
// call. Blocks are taken from a shared counter, so a thread slowed down by
// the machine's other load leaves its share to the others. The first
// exception stops the remaining blocks and is rethrown here once every
// thread has ended; `stop` set by a body ends the run early as well, and so
// does `stop_check`, which only the calling thread asks (between blocks).
// Returns false when `stop_check` stopped the run.
template <typename Body>
bool for_blocks(std::size_t count, unsigned threads, std::atomic<bool>& stop,
                StopCheck& stop_check, Body&& body) {
  const std::size_t blocks = (count + kBlock - 1) / kBlock;
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  std::exception_ptr failure;
  const auto run = [&](bool asks) {
    BlockScratch scratch;
    for (;;) {
      if (stop.load(std::memory_order_relaxed)) return;
      if (asks && stop_check.due()) {
        stop.store(true, std::memory_order_relaxed);
        return;
      }
      const std::size_t block = next.fetch_add(1, std::memory_order_relaxed);
      if (block >= blocks) return;
      const std::size_t begin = block * kBlock;
      body(begin, std::min(count, begin + kBlock), scratch);
    }
  };
  const auto work = [&](bool asks) {
    try {
      run(asks);
    } catch (const abi::__forced_unwind&) {
      // The thread is being ended (the process is shutting down); that
      // must go on, untouched.
      throw;
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };
  const auto helper_work = [&] { work(false); };
  Helpers helpers(stop);
  const unsigned wanted = std::min<std::size_t>(threads, blocks);
  for (unsigned t = 1; t < wanted; ++t) {
    // When the system refuses another thread, the ones running share the
    // work.
    if (!helpers.start(helper_work)) break;
  }
  work(true);
  helpers.join();
  if (failure) std::rethrow_exception(failure);
  return !stop_check.stopped();
}

// The searches of one batch.
class BatchSearch {
 public:
  BatchSearch(const ReverseGeocoder& geocoder, const NumberColumn& lats,
              const NumberColumn& lons, std::span<std::uint32_t> items,
              std::span<double> chords)
      : geocoder_(geocoder),
        lats_(lats),
        lons_(lons),
        items_(items),
        chords_(chords) {}

  // Searches positions [begin, end) with `scratch` as room for the block.
  // REQUIRES: end - begin <= kBlock.
  void search(std::size_t begin, std::size_t end, BlockScratch& scratch) {
    // The unit vectors of the whole block come first, in a loop of its own:
    // it has no branches into the tree, so the trigonometry of consecutive
    // positions overlaps in the processor.
    kdtree::Point* points = scratch.points.get();
    bool* finite = scratch.finite.get();
    const std::size_t n = end - begin;
    for (std::size_t k = 0; k < n; ++k) {
      // Each value is read once: the memory may belong to an object that
      // another thread changes meanwhile, and the test and the conversion
      // must see the same number.
      const double lat = column_value(lats_, begin + k);
      const double lon = column_value(lons_, begin + k);
      finite[k] = std::isfinite(lat) && std::isfinite(lon);
      points[k] =
          finite[k] ? lat_lon_to_point(lat, lon) : kdtree::Point{0, 0, 0};
    }
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t k = 0; k < n; ++k) {
      std::uint32_t item = kNoRecord;
      double chord = kNaN;
      if (finite[k]) {
        Result<kdtree::NearestResult> found = geocoder_.nearest_to(points[k]);
        if (!found.ok()) [[unlikely]] {
          // Only a tree read from a damaged file, which loading refuses.
          fail(std::move(found).error());
          return;
        }
        item = found.value().item;
        chord = found.value().distance;
      }
      items_[begin + k] = item;
      if (!chords_.empty()) chords_[begin + k] = chord;
    }
  }

  // Set when a search failed (or the run must stop): ends the run.
  std::atomic<bool> failed{false};

  // The first search's error, once the run has ended.
  std::optional<Error> take_failure() { return std::move(failure_); }

 private:
  [[gnu::cold, gnu::noinline]] void fail(Error error) {
    std::lock_guard<std::mutex> lock(failure_mutex_);
    if (!failure_) failure_ = std::move(error);
    failed.store(true, std::memory_order_relaxed);
  }

  const ReverseGeocoder& geocoder_;
  std::mutex failure_mutex_;
  std::optional<Error> failure_;
  const NumberColumn& lats_;
  const NumberColumn& lons_;
  std::span<std::uint32_t> items_;
  std::span<double> chords_;
};

}  // namespace

double column_value(const NumberColumn& column, std::size_t i) {
  const void* d = column.data;
  const std::ptrdiff_t s = column.stride_bytes;
  switch (column.format) {
    case NumberFormat::kFloat64:
      return read_as_double<double>(d, s, i);
    case NumberFormat::kFloat32:
      return read_as_double<float>(d, s, i);
    case NumberFormat::kInt8:
      return read_as_double<std::int8_t>(d, s, i);
    case NumberFormat::kInt16:
      return read_as_double<std::int16_t>(d, s, i);
    case NumberFormat::kInt32:
      return read_as_double<std::int32_t>(d, s, i);
    case NumberFormat::kInt64:
      return read_as_double<std::int64_t>(d, s, i);
    case NumberFormat::kUInt8:
      return read_as_double<std::uint8_t>(d, s, i);
    case NumberFormat::kUInt16:
      return read_as_double<std::uint16_t>(d, s, i);
    case NumberFormat::kUInt32:
      return read_as_double<std::uint32_t>(d, s, i);
    case NumberFormat::kUInt64:
      return read_as_double<std::uint64_t>(d, s, i);
  }
  panic("unknown number format " +
        std::to_string(static_cast<unsigned>(column.format)));
}

unsigned batch_threads(std::size_t count, unsigned workers) {
  if (workers <= 1) return 1;
  const std::size_t useful =
      std::max<std::size_t>(1, count / kMinPositionsPerThread);
  return static_cast<unsigned>(std::min<std::size_t>(workers, useful));
}

unsigned available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware > 0 ? hardware : 1;
}

Status nearest_records(const ReverseGeocoder& geocoder,
                       const NumberColumn& lats, const NumberColumn& lons,
                       std::span<std::uint32_t> items,
                       std::span<double> squared_chords, unsigned workers,
                       StopCheck& stop_check) {
  if (!squared_chords.empty() && squared_chords.size() != items.size()) {
    panic("distance output does not match the batch");
  }
  if (items.empty()) return Status::Ok();
  if (Status s = geocoder.check_has_records(); !s.ok()) return s;
  BatchSearch batch(geocoder, lats, lons, items, squared_chords);
  const std::size_t n = items.size();
  const unsigned threads = batch_threads(n, workers);
  const bool finished = for_blocks(
      n, threads, batch.failed, stop_check,
      [&](std::size_t begin, std::size_t end, BlockScratch& scratch) {
        batch.search(begin, end, scratch);
      });
  if (!finished) return interrupted();
  if (std::optional<Error> failure = batch.take_failure()) {
    return std::move(*failure);
  }
  return Status::Ok();
}

}  // namespace quorvel
