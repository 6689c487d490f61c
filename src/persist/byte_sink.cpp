#include "persist/byte_sink.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

namespace quorvel::persist {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

}  // namespace

ByteSink::ByteSink()
    : buffer_(new std::uint8_t[kBufferSize]),
      pos_(buffer_.get()),
      end_(buffer_.get() + kBufferSize) {}

ByteSink::~ByteSink() = default;

void ByteSink::flush_buffer() {
  std::size_t n = static_cast<std::size_t>(pos_ - buffer_.get());
  pos_ = buffer_.get();
  if (n == 0 || error_) return;
  error_ = drain(buffer_.get(), n);
}

void ByteSink::append(const void* bytes, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (n > 0) {
    if (pos_ == end_) flush_buffer();
    std::size_t take = std::min(n, static_cast<std::size_t>(end_ - pos_));
    std::memcpy(pos_, p, take);
    pos_ += take;
    p += take;
    n -= take;
  }
}

std::optional<IoError> ByteSink::finish() {
  flush_buffer();
  return error_;
}

std::optional<IoError> StringSink::drain(const std::uint8_t* bytes,
                                         std::size_t n) {
  out_.append(reinterpret_cast<const char*>(bytes), n);
  return std::nullopt;
}

std::optional<IoError> FileSink::drain(const std::uint8_t* bytes,
                                       std::size_t n) {
  while (n > 0) {
    ssize_t written = ::write(fd_, bytes, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return IoError::os(errno);
    }
    if (written == 0) return IoError{IoError::Kind::kWriteWholeBuffer};
    bytes += written;
    n -= static_cast<std::size_t>(written);
  }
  return std::nullopt;
}

}  // namespace quorvel::persist
