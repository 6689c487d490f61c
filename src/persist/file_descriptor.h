// FileDescriptor: sole owner of one open POSIX file descriptor.
//
// The descriptor is closed exactly once: by close(), which reports the
// outcome (for a written file, close is where delayed write errors surface),
// or otherwise by the destructor, which has nobody to tell and ignores it.
//
// Thread safety: not shared; one owner at a time (movable, not copyable).

#ifndef QUORVEL_PERSIST_FILE_DESCRIPTOR_H_
#define QUORVEL_PERSIST_FILE_DESCRIPTOR_H_

#include <optional>
#include <string>

#include "base/interrupt.h"
#include "persist/io_error.h"

namespace quorvel::persist {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
  }
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();

  // Opens `path` write-only, created with mode 0666 (before the umask) and
  // truncated, close-on-exec. On failure returns the OS error. An open
  // interrupted by a signal (a FIFO waiting for its reader) is retried
  // unless `stop_check` then says to stop: it fails with EINTR and
  // stop_check.stopped() is true.
  static std::optional<FileDescriptor> open_for_save(
      const std::string& path, IoError& error,
      StopCheck& stop_check = never_stop());

  // Opens `path` read-only, close-on-exec. On failure returns the OS error;
  // interruptions as for open_for_save.
  static std::optional<FileDescriptor> open_for_load(
      const std::string& path, IoError& error,
      StopCheck& stop_check = never_stop());

  // Opens `path` write-only as a new file that must not exist yet (mode
  // 0666 before the umask), close-on-exec; interruptions as above.
  static std::optional<FileDescriptor> create_new(
      const std::string& path, IoError& error,
      StopCheck& stop_check = never_stop());

  int get() const { return fd_; }

  // Closes the descriptor and reports what close() said. The descriptor is
  // released even when close() fails (retrying a failed close is unsafe on
  // Linux: the number may already belong to another file).
  // REQUIRES: the descriptor is open.
  std::optional<IoError> close();

 private:
  int fd_ = -1;  // -1 when nothing is owned.
};

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_FILE_DESCRIPTOR_H_
