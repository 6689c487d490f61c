#include "arrow/buffer.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quorvel::arrow {

namespace {

constexpr std::size_t kAlignment = 64;

struct AlignedFree {
  void operator()(void* block) const { std::free(block); }
};

}  // namespace

std::shared_ptr<Buffer> Buffer::zeroed(std::size_t size) {
  // A size this close to the address space cannot be allocated anyway; the
  // check keeps the rounding below from wrapping around to a small block.
  if (size > SIZE_MAX / 2) throw std::bad_alloc();
  const std::size_t padded =
      size == 0 ? kAlignment
                : (size + kAlignment - 1) / kAlignment * kAlignment;
  void* block = std::aligned_alloc(kAlignment, padded);
  if (block == nullptr) throw std::bad_alloc();
  std::memset(block, 0, padded);
  std::shared_ptr<void> owner(block, AlignedFree());
  return std::shared_ptr<Buffer>(
      new Buffer(static_cast<std::uint8_t*>(block), size, std::move(owner)));
}

}  // namespace quorvel::arrow
