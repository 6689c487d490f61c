#include "base/interrupt.h"

#include <utility>

namespace quorvel {

StopCheck::StopCheck(std::function<bool()> check) : check_(std::move(check)) {}

bool StopCheck::check_now() {
  if (stopped()) return true;
  if (!check_) return false;
  last_ = std::chrono::steady_clock::now();
  if (check_()) stopped_.store(true, std::memory_order_relaxed);
  return stopped();
}

bool StopCheck::due_slow() {
  if (std::chrono::steady_clock::now() - last_ < kCheckInterval) return false;
  return check_now();
}

StopCheck& never_stop() {
  // Never stops and is never changed: sharing one between threads is safe.
  static StopCheck none;
  return none;
}

Error interrupted() { return Error("interrupted", ErrorKind::kInterrupted); }

bool is_interrupted(const Error& error) {
  return error.kind() == ErrorKind::kInterrupted;
}

}  // namespace quorvel
