// IoError: why a read from or a write to the byte stream under the codec
// failed. Either an operating-system error number or one of the stream's own
// conditions (the input ending early, the output accepting nothing).
//
// Thread safety: a plain value.

#ifndef QUORVEL_PERSIST_IO_ERROR_H_
#define QUORVEL_PERSIST_IO_ERROR_H_

#include <string>

namespace quorvel::persist {

struct IoError {
  enum class Kind {
    kOs,                // os_errno holds the error number.
    kFillWholeBuffer,   // A fixed-size payload or a marker was cut short.
    kUnexpectedEof,     // A string or byte-string payload was cut short.
    kWriteWholeBuffer,  // The file accepted zero bytes.
  };

  Kind kind;
  int os_errno = 0;

  static IoError os(int error_number) { return {Kind::kOs, error_number}; }

  // The text users see: the C library's description followed by
  // " (os error N)" for operating-system errors, a fixed text otherwise.
  std::string message() const;
};

// The C library's description of `error_number` followed by " (os error N)".
std::string os_error_message(int error_number);

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_IO_ERROR_H_
