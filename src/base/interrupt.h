// StopCheck: how a caller stops long work early.
//
// Work that can take longer than a moment (a large batch, reading or writing
// a large or endless file, building or loading a large geocoder) calls
// due() often; about every kCheckInterval it runs the caller's check, and
// once the check has said "stop" the work returns an interrupted() error as
// soon as it can, leaving nothing behind. The check is the caller's own
// business (the Python binding looks for a pending Ctrl-C there); the core
// only decides when to ask.
//
// Thread safety: due() and check_now() run the check and must be called only
// from the thread that owns the StopCheck (the one that started the work).
// stopped() may be read from any thread, so that helper threads of the same
// work see the decision.

#ifndef QUORVEL_BASE_INTERRUPT_H_
#define QUORVEL_BASE_INTERRUPT_H_

#include <atomic>
#include <chrono>
#include <functional>

#include "base/error.h"

namespace quorvel {

class StopCheck {
 public:
  // How often the check runs while work goes on: short enough that a
  // person who pressed Ctrl-C sees it answered at once, long enough that
  // the check costs nothing measurable.
  static constexpr std::chrono::milliseconds kCheckInterval{100};

  // A StopCheck that never stops the work.
  StopCheck() = default;

  // A StopCheck that asks `check` (true means "stop").
  explicit StopCheck(std::function<bool()> check);

  StopCheck(const StopCheck&) = delete;
  StopCheck& operator=(const StopCheck&) = delete;

  // True when the work must stop. Runs the check when kCheckInterval has
  // passed since it last ran; otherwise costs one clock read (tens of
  // nanoseconds), so callers in tight loops call it every so many steps.
  bool due() {
    if (stopped()) return true;
    if (!check_) return false;
    return due_slow();
  }

  // Runs the check now, whatever the time (after a system call was
  // interrupted by a signal, for instance). True when the work must stop.
  bool check_now();

  // True once a check has said "stop".
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

 private:
  bool due_slow();

  std::function<bool()> check_;  // Empty: never stop.
  std::chrono::steady_clock::time_point last_ =
      std::chrono::steady_clock::now();
  std::atomic<bool> stopped_{false};
};

// A StopCheck that never stops, for callers that have nothing to check.
StopCheck& never_stop();

// The error of work that a StopCheck stopped.
Error interrupted();

// True when `error` is the error of work that a StopCheck stopped.
bool is_interrupted(const Error& error);

}  // namespace quorvel

#endif  // QUORVEL_BASE_INTERRUPT_H_
