// ByteSink: the buffered output under the MessagePack writer.
//
// Bytes are collected in a 64 KiB buffer and handed on to drain() in large
// blocks, so a saved file costs a few hundred system calls instead of one per
// marker and payload. The bytes reaching the destination are exactly the
// bytes appended, in order, whatever the block boundaries.
//
// Errors are sticky: the first failure of drain() is kept, nothing is
// drained after it, and finish() reports it. Appending never fails by itself,
// so the writer's hot path carries no error checks.
//
// Thread safety: none; one writer at a time.

#ifndef QUORVEL_PERSIST_BYTE_SINK_H_
#define QUORVEL_PERSIST_BYTE_SINK_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "base/interrupt.h"
#include "persist/io_error.h"

namespace quorvel::persist {

class ByteSink {
 public:
  // Appends written by one call never exceed this, so a single capacity
  // check covers a whole marker plus payload.
  static constexpr std::size_t kMaxSmallAppend = 16;

  // Buffers in 64 KiB of its own.
  ByteSink();
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink();

  // Appends n bytes. REQUIRES: n <= kMaxSmallAppend.
  void append_small(const std::uint8_t* bytes, std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n && !make_room(n)) return;
    std::memcpy(pos_, bytes, n);
    pos_ += n;
  }

  // Appends n bytes of any length.
  void append(const void* bytes, std::size_t n);

  // True once a drain has failed; later appends are dropped.
  bool failed() const { return error_.has_value(); }

  // Drains whatever is buffered and returns the first failure, if any.
  std::optional<IoError> finish();

 protected:
  // Hands n bytes to the destination, all or nothing as far as the caller
  // is concerned: on failure returns the error.
  virtual std::optional<IoError> drain(const std::uint8_t* bytes,
                                       std::size_t n) = 0;

  // Buffers in [begin, begin + size), memory the subclass provides and keeps
  // alive; drain() is then handed bytes that already lie in that region.
  ByteSink(std::uint8_t* begin, std::size_t size);

 private:
  void flush_buffer();
  // Flushes, then reports whether n bytes fit; a provided region too small
  // for them fails the sink instead.
  bool make_room(std::size_t n);

  std::unique_ptr<std::uint8_t[]> owned_;  // Empty for a provided region.
  std::uint8_t* buffer_;                   // The buffer's first byte.
  std::uint8_t* pos_;                      // Next free byte in the buffer.
  std::uint8_t* end_;                      // One past the buffer's last byte.
  std::optional<IoError> error_;
};

// Collects the bytes in a string.
class StringSink final : public ByteSink {
 public:
  // `expected_size` is reserved up front (0 is allowed), so that a string of
  // that many bytes is never reallocated and copied while it grows.
  explicit StringSink(std::size_t expected_size = 0) {
    out_.reserve(expected_size);
  }

  // The bytes drained so far; complete after finish().
  std::string& bytes() { return out_; }

 protected:
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override;

 private:
  std::string out_;
};

// Writes the bytes straight into a caller's region of known size, with no
// intermediate buffer. More bytes than the region holds fail the sink with
// kWriteWholeBuffer (the region's bytes are then unspecified).
class SpanSink final : public ByteSink {
 public:
  // REQUIRES: [begin, begin + size) stays valid while the sink is used.
  SpanSink(std::uint8_t* begin, std::size_t size)
      : ByteSink(begin, size), size_(size) {}

  // The number of bytes written; meaningful after a successful finish().
  std::size_t written() const { return written_; }

 protected:
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override;

 private:
  std::size_t size_;
  std::size_t written_ = 0;
  bool drained_ = false;  // The region has been handed over once already.
};

// Writes the bytes to an open file descriptor (not owned).
class FileSink final : public ByteSink {
 public:
  // `stop_check` is asked at every block and after every interrupted write;
  // when it says stop, the sink fails with EINTR.
  explicit FileSink(int fd, StopCheck& stop_check = never_stop())
      : fd_(fd), stop_check_(stop_check) {}

 protected:
  // Retries interrupted and partial writes; a write that accepts zero bytes
  // is kWriteWholeBuffer.
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override;

 private:
  int fd_;
  StopCheck& stop_check_;
};

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_BYTE_SINK_H_
