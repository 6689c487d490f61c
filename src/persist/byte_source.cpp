#include "persist/byte_source.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quorvel::persist {
namespace {

constexpr std::size_t kBufferSize = 64 * 1024;

}  // namespace

MemorySource::MemorySource(std::string_view bytes) {
  pos_ = reinterpret_cast<const std::uint8_t*>(bytes.data());
  end_ = pos_ + bytes.size();
}

FillOutcome MemorySource::fill(std::size_t want) {
  return {available() >= want ? FillOutcome::Code::kFilled
                              : FillOutcome::Code::kEnd};
}

FileSource::FileSource(int fd, StopCheck& stop_check)
    : fd_(fd), stop_check_(stop_check), buffer_(new std::uint8_t[kBufferSize]) {
  pos_ = end_ = buffer_.get();
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // Reading starts at the current offset (the start, for load()).
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at >= 0 && at <= st.st_size) {
      unread_in_file_ = static_cast<std::uint64_t>(st.st_size - at);
    }
  }
}

std::uint64_t FileSource::remaining_hint() const {
  return available() + unread_in_file_;
}

FillOutcome FileSource::fill(std::size_t want) {
  std::size_t have = available();
  if (have >= want) return {FillOutcome::Code::kFilled};
  // Keep the unread tail at the front so a short payload split across two
  // blocks stays contiguous.
  std::uint8_t* base = buffer_.get();
  std::memmove(base, pos_, have);
  pos_ = base;
  end_ = base + have;
  if (stop_check_.due()) return {FillOutcome::Code::kOsError, EINTR};
  while (have < want) {
    ssize_t got = ::read(fd_, base + have, kBufferSize - have);
    if (got < 0) {
      // A FIFO without a writer blocks here; a signal is the caller's
      // chance to give up.
      if (errno == EINTR) {
        if (stop_check_.check_now()) {
          return {FillOutcome::Code::kOsError, EINTR};
        }
        continue;
      }
      return {FillOutcome::Code::kOsError, errno};
    }
    if (got == 0) return {FillOutcome::Code::kEnd};
    // The file may have changed size since it was measured.
    unread_in_file_ -= std::min<std::uint64_t>(unread_in_file_,
                                               static_cast<std::uint64_t>(got));
    have += static_cast<std::size_t>(got);
    end_ = base + have;
  }
  return {FillOutcome::Code::kFilled};
}

}  // namespace quorvel::persist
