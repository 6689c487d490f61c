#include "persist/io_error.h"

#include <cstring>

#include "persist/messages.h"

namespace quorvel::persist {

std::string os_error_message(int error_number) {
  // The GNU strerror_r may return a static string instead of filling buf;
  // the XSI one returns an int. Handle both by overload.
  char buf[256] = {};
  struct Pick {
    static const char* text(int /*xsi_result*/, const char* b) { return b; }
    static const char* text(const char* gnu_result, const char*) {
      return gnu_result;
    }
  };
  const char* text = Pick::text(strerror_r(error_number, buf, sizeof buf), buf);
  std::string out;
  if (text != nullptr && text[0] != '\0') {
    out = text;
  } else {
    out = "Unknown error ";
    out += std::to_string(error_number);
  }
  out += messages::kOsErrorNumber;
  out += std::to_string(error_number);
  out += ')';
  return out;
}

std::string IoError::message() const {
  switch (kind) {
    case Kind::kOs:
      return os_error_message(os_errno);
    case Kind::kFillWholeBuffer:
      return messages::kFillWholeBuffer;
    case Kind::kUnexpectedEof:
      return messages::kUnexpectedEof;
    case Kind::kWriteWholeBuffer:
      return messages::kWriteWholeBuffer;
  }
  return "unknown I/O error";
}

}  // namespace quorvel::persist
