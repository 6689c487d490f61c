#include "persist/file_descriptor.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include "base/error.h"

namespace quorvel::persist {
namespace {

std::optional<FileDescriptor> open_with(const std::string& path, int flags,
                                        IoError& error, StopCheck& stop_check) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0666);
    // Opening a FIFO waits for its other end, maybe for ever; a signal is
    // the caller's chance to give up.
  } while (fd < 0 && errno == EINTR && !stop_check.check_now());
  if (fd < 0) {
    error = IoError::os(errno);
    return std::nullopt;
  }
  return FileDescriptor(fd);
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<FileDescriptor> FileDescriptor::open_for_save(
    const std::string& path, IoError& error, StopCheck& stop_check) {
  // O_TRUNC: a successful save must leave exactly the new value in the file,
  // not the new value followed by the tail of a longer old file.
  return open_with(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, error,
                   stop_check);
}

std::optional<FileDescriptor> FileDescriptor::open_for_load(
    const std::string& path, IoError& error, StopCheck& stop_check) {
  return open_with(path, O_RDONLY | O_CLOEXEC, error, stop_check);
}

std::optional<FileDescriptor> FileDescriptor::create_new(
    const std::string& path, IoError& error, StopCheck& stop_check) {
  return open_with(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, error,
                   stop_check);
}

std::optional<IoError> FileDescriptor::close() {
  if (fd_ < 0) panic("closing a file descriptor that is not open");
  int fd = fd_;
  fd_ = -1;
  // EINTR from close still released the descriptor on Linux; it is not a
  // lost write, so it is not reported.
  if (::close(fd) != 0 && errno != EINTR) return IoError::os(errno);
  return std::nullopt;
}

}  // namespace quorvel::persist
