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

#include "persist/io_error.h"

namespace quorvel::persist {

class ByteSink {
 public:
  // Appends written by one call never exceed this, so a single capacity
  // check covers a whole marker plus payload.
  static constexpr std::size_t kMaxSmallAppend = 16;

  ByteSink();
  ByteSink(const ByteSink&) = delete;
  ByteSink& operator=(const ByteSink&) = delete;
  virtual ~ByteSink();

  // Appends n bytes. REQUIRES: n <= kMaxSmallAppend.
  void append_small(const std::uint8_t* bytes, std::size_t n) {
    if (static_cast<std::size_t>(end_ - pos_) < n) flush_buffer();
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

 private:
  void flush_buffer();

  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint8_t* pos_;  // Next free byte in buffer_.
  std::uint8_t* end_;  // One past the buffer's last byte.
  std::optional<IoError> error_;
};

// Collects the bytes in a string.
class StringSink final : public ByteSink {
 public:
  // The bytes drained so far; complete after finish().
  std::string& bytes() { return out_; }

 protected:
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override;

 private:
  std::string out_;
};

// Writes the bytes to an open file descriptor (not owned).
class FileSink final : public ByteSink {
 public:
  explicit FileSink(int fd) : fd_(fd) {}

 protected:
  // Retries interrupted and partial writes; a write that accepts zero bytes
  // is kWriteWholeBuffer.
  std::optional<IoError> drain(const std::uint8_t* bytes,
                               std::size_t n) override;

 private:
  int fd_;
};

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_BYTE_SINK_H_
