#include "persist/byte_sink.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>

namespace quorvel::persist {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

}  // namespace

ByteSink::ByteSink()
    : owned_(new std::uint8_t[kBufferSize]),
      buffer_(owned_.get()),
      pos_(buffer_),
      end_(buffer_ + kBufferSize) {}

ByteSink::ByteSink(std::uint8_t* begin, std::size_t size)
    : buffer_(begin), pos_(begin), end_(begin + size) {}

ByteSink::~ByteSink() = default;

void ByteSink::flush_buffer() {
  std::size_t n = static_cast<std::size_t>(pos_ - buffer_);
  pos_ = buffer_;
  if (n == 0 || error_) return;
  error_ = drain(buffer_, n);
}

bool ByteSink::make_room(std::size_t n) {
  flush_buffer();
  if (static_cast<std::size_t>(end_ - pos_) >= n) return true;
  if (!error_) error_ = IoError{IoError::Kind::kWriteWholeBuffer};
  return false;
}

void ByteSink::append(const void* bytes, std::size_t n) {
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  while (n > 0) {
    if (pos_ == end_ && !make_room(1)) return;
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

std::optional<IoError> SpanSink::drain(const std::uint8_t* /*in region*/,
                                       std::size_t n) {
  // The region is the buffer, so the bytes are already in place. A second
  // drain means the region filled up and was about to be written over.
  if (drained_) return IoError{IoError::Kind::kWriteWholeBuffer};
  drained_ = true;
  written_ = n;
  return std::nullopt;
}

std::optional<IoError> FileSink::drain(const std::uint8_t* bytes,
                                       std::size_t n) {
  // A large payload (the whole text) comes as one block; it is written in
  // pieces so that the stop check is asked every megabyte.
  constexpr std::size_t kPiece = std::size_t{1} << 20;
  while (n > 0) {
    if (stop_check_.due()) return IoError::os(EINTR);
    ssize_t written = ::write(fd_, bytes, std::min(n, kPiece));
    if (written < 0) {
      // A FIFO without a reader blocks here; a signal is the caller's
      // chance to give up.
      if (errno == EINTR) {
        if (stop_check_.check_now()) return IoError::os(EINTR);
        continue;
      }
      return IoError::os(errno);
    }
    if (written == 0) return IoError{IoError::Kind::kWriteWholeBuffer};
    bytes += written;
    n -= static_cast<std::size_t>(written);
  }
  return std::nullopt;
}

}  // namespace quorvel::persist
