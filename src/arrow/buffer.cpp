#include "arrow/buffer.h"

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
  // Rounding up cannot overflow for any size an allocation could satisfy;
  // larger requests fail below like any exhausted allocation.
  const std::size_t padded =
      size > SIZE_MAX - kAlignment
          ? SIZE_MAX & ~(kAlignment - 1)
          : (size + kAlignment - 1) / kAlignment * kAlignment;
  void* block =
      std::aligned_alloc(kAlignment, padded == 0 ? kAlignment : padded);
  if (block == nullptr) throw std::bad_alloc();
  std::memset(block, 0, padded == 0 ? kAlignment : padded);
  std::shared_ptr<void> owner(block, AlignedFree());
  return std::shared_ptr<Buffer>(
      new Buffer(static_cast<std::uint8_t*>(block), size, std::move(owner)));
}

}  // namespace quorvel::arrow
