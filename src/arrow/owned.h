// Owning handles over the ABI structs of c_abi.h: the one holder that
// releases a schema, array or stream received from a producer, on every path.
//
// A handle is constructed empty (released) and filled through out(), the
// pointer a producer's export writes into, or by take(), which moves a
// struct out of someone else's storage (a capsule) and marks the original
// released, as the interface allows for a consumer that keeps the data
// longer than the container it came in.
//
// Thread safety: a handle belongs to one thread at a time.

#ifndef QUORVEL_ARROW_OWNED_H_
#define QUORVEL_ARROW_OWNED_H_

#include <utility>

#include "arrow/c_abi.h"

namespace quorvel::arrow {

template <typename Struct>
class Owned {
 public:
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Owned(Owned&& other) noexcept : value_(other.value_) {
    other.value_.release = nullptr;
  }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = other.value_;
      other.value_.release = nullptr;
    }
    return *this;
  }
  ~Owned() { reset(); }

  // Moves `source` in, leaving it released.
  // REQUIRES: source is not null.
  static Owned take(Struct* source) {
    Owned owned;
    owned.value_ = *source;
    source->release = nullptr;
    return owned;
  }

  // Releases what is held, if anything.
  void reset() {
    if (value_.release != nullptr) value_.release(&value_);
    value_.release = nullptr;
  }

  // The struct to hand to a producer that writes into it; what was held is
  // released first.
  Struct* out() {
    reset();
    return &value_;
  }

  bool released() const { return value_.release == nullptr; }
  Struct& get() { return value_; }
  const Struct& get() const { return value_; }
  Struct* operator->() { return &value_; }
  const Struct* operator->() const { return &value_; }

 private:
  Struct value_{};
};

using OwnedSchema = Owned<ArrowSchema>;
using OwnedArray = Owned<ArrowArray>;
using OwnedStream = Owned<ArrowArrayStream>;

}  // namespace quorvel::arrow

#endif  // QUORVEL_ARROW_OWNED_H_
