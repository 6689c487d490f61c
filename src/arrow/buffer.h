// Buffer: an immutable block of bytes that exported arrays point into, shared
// by every array (and every export of one table) that uses it, and freed when
// the last of them is released.
//
// Sharing is what keeps a table cheap: the string columns of one result use
// one index buffer and one validity bitmap between them, and exporting a
// table again (a stream read twice) copies no values.
//
// New buffers are 64-byte aligned and padded to a multiple of 64 bytes, the
// alignment the columnar format recommends; buffers adopted from a vector
// keep the vector's alignment, which is at least that of its element type.
//
// Thread safety: a Buffer is immutable once shared; SharedBuffer copies may
// be made and dropped from any thread.

#ifndef QUORVEL_ARROW_BUFFER_H_
#define QUORVEL_ARROW_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace quorvel::arrow {

class Buffer {
 public:
  // A zero-filled buffer of `size` bytes (at least one 64-byte block, so
  // that its address is never null, even for an empty column).
  static std::shared_ptr<Buffer> zeroed(std::size_t size);

  // A buffer that takes over `values` without copying them.
  template <typename T>
  static std::shared_ptr<Buffer> adopt(std::vector<T>&& values) {
    auto owner = std::make_shared<std::vector<T>>(std::move(values));
    if (owner->empty()) owner->reserve(1);
    auto* bytes = reinterpret_cast<std::uint8_t*>(owner->data());
    const std::size_t size = owner->size() * sizeof(T);
    return std::shared_ptr<Buffer>(new Buffer(bytes, size, std::move(owner)));
  }

  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;

  // Bytes a consumer may read; the allocation may extend beyond them.
  std::size_t size() const { return size_; }
  const std::uint8_t* data() const { return data_; }
  // For filling the buffer before it is shared.
  std::uint8_t* mutable_data() { return data_; }

  template <typename T>
  T* mutable_as() {
    return reinterpret_cast<T*>(data_);
  }

 private:
  Buffer(std::uint8_t* data, std::size_t size, std::shared_ptr<void> owner)
      : data_(data), size_(size), owner_(std::move(owner)) {}

  std::uint8_t* data_;
  std::size_t size_;
  // Whatever frees the bytes: an aligned block or an adopted vector.
  std::shared_ptr<void> owner_;
};

using SharedBuffer = std::shared_ptr<const Buffer>;

}  // namespace quorvel::arrow

#endif  // QUORVEL_ARROW_BUFFER_H_
