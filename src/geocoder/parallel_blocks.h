// Running a batch over blocks of positions on the calling thread and helper
// threads that live only for one call, stoppable between blocks.
//
// Blocks come from a shared counter, so a thread slowed by the machine's
// other load leaves its share to the others. Only the calling thread asks
// the StopCheck; the helpers see its decision through stopped(). The first
// exception of any thread stops the rest and is rethrown on the calling
// thread once every helper has ended.
//
// Thread safety: `body` runs on several threads at once, each with its own
// block; it must only write its block's outputs.

#ifndef QUORVEL_GEOCODER_PARALLEL_BLOCKS_H_
#define QUORVEL_GEOCODER_PARALLEL_BLOCKS_H_

#include <cxxabi.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "base/interrupt.h"

namespace quorvel {

// Runs body(begin, end) over [0, count) in blocks of `block` positions on at
// most `threads` threads. Returns false when `stop_check` stopped the run.
// REQUIRES: block >= 1, threads >= 1.
template <typename Body>
bool run_blocks(std::size_t count, std::size_t block, unsigned threads,
                StopCheck& stop_check, Body&& body) {
  const std::size_t blocks = (count + block - 1) / block;
  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::exception_ptr failure;
  const auto work = [&](bool asks) {
    try {
      for (;;) {
        if (stop.load(std::memory_order_relaxed)) return;
        if (asks && stop_check.due()) {
          stop.store(true, std::memory_order_relaxed);
          return;
        }
        const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= blocks) return;
        body(b * block, std::min(count, b * block + block));
      }
    } catch (const abi::__forced_unwind&) {
      throw;  // The process is ending this thread; let it.
    } catch (...) {
      std::lock_guard<std::mutex> lock(mutex);
      if (!failure) failure = std::current_exception();
      stop.store(true, std::memory_order_relaxed);
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t wanted = std::min<std::size_t>(threads, blocks);
  for (std::size_t t = 1; t < wanted; ++t) {
    // When the system refuses another thread, those running share the work.
    try {
      helpers.emplace_back([&] { work(false); });
    } catch (const std::system_error&) {
      break;
    }
  }
  work(true);
  for (std::thread& helper : helpers) helper.join();
  if (failure) std::rethrow_exception(failure);
  return !stop_check.stopped();
}

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_PARALLEL_BLOCKS_H_
