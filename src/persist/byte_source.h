// ByteSource: the input under the MessagePack reader, seen as a window of
// bytes already in memory plus a way to fetch more.
//
// The reader decodes straight out of the window (data(), available(),
// consume()) and calls fill() only when the window is too short. A memory
// source's window is the whole input; a file source reads ahead in 64 KiB
// blocks. Reading ahead past the end of the value is harmless: the reader
// never interprets bytes after the outermost value, so trailing bytes change
// no result.
//
// Thread safety: none; one reader at a time.

#ifndef QUORVEL_PERSIST_BYTE_SOURCE_H_
#define QUORVEL_PERSIST_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "base/interrupt.h"

namespace quorvel::persist {

// What fill() achieved.
struct FillOutcome {
  enum class Code { kFilled, kEnd, kOsError };
  Code code;
  int os_errno = 0;
};

class ByteSource {
 public:
  // The largest `want` that fill() must honour: the longest fixed payload.
  static constexpr std::size_t kMaxWant = 16;

  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  const std::uint8_t* data() const { return pos_; }
  std::size_t available() const {
    return static_cast<std::size_t>(end_ - pos_);
  }

  // REQUIRES: n <= available().
  void consume(std::size_t n) { pos_ += n; }

  // Tries to make at least `want` bytes available. kFilled: available() >=
  // want. kEnd: the input ended first (what it had is available). kOsError:
  // reading failed.
  // REQUIRES: 1 <= want <= kMaxWant.
  virtual FillOutcome fill(std::size_t want) = 0;

  // Bytes known to be still in the input, counting the window: what a
  // payload can really bring, so reserving up to it is safe. 0 when unknown.
  virtual std::uint64_t remaining_hint() const { return available(); }

 protected:
  const std::uint8_t* pos_ = nullptr;  // First unread byte of the window.
  const std::uint8_t* end_ = nullptr;  // One past the window's last byte.
};

// The whole input is one window over caller-owned bytes.
class MemorySource final : public ByteSource {
 public:
  // REQUIRES: `bytes` outlives the source.
  explicit MemorySource(std::string_view bytes);

  FillOutcome fill(std::size_t want) override;
};

// Reads an open file descriptor (not owned) through a 64 KiB buffer.
class FileSource final : public ByteSource {
 public:
  // `stop_check` is asked at every block and after every interrupted read;
  // when it says stop, fill() fails with EINTR.
  explicit FileSource(int fd, StopCheck& stop_check = never_stop());

  // Retries interrupted reads.
  FillOutcome fill(std::size_t want) override;

  // From the file's size when the read started, for regular files.
  std::uint64_t remaining_hint() const override;

 private:
  int fd_;
  StopCheck& stop_check_;
  std::uint64_t unread_in_file_ =
      0;  // File size minus bytes read into the buffer.
  std::unique_ptr<std::uint8_t[]> buffer_;
};

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_BYTE_SOURCE_H_
