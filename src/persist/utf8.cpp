#include "persist/utf8.h"

#include "base/utf8.h"

namespace quorvel::persist {

// The codec shares the core's validator, so a text the loader rejects is
// described exactly as construction would describe it.
std::string Utf8Error::message() const {
  return utf8::describe(utf8::Validation{false, valid_up_to, error_len});
}

std::optional<Utf8Error> check_utf8(std::string_view text) {
  const utf8::Validation v = utf8::validate(text);
  if (v.ok) return std::nullopt;
  return Utf8Error{v.valid_up_to, v.error_len};
}

char32_t decode_utf8_char(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  switch (utf8_char_width(s[0])) {
    case 1:
      return s[0];
    case 2:
      return (char32_t{s[0] & 0x1fu} << 6) | (s[1] & 0x3fu);
    case 3:
      return (char32_t{s[0] & 0x0fu} << 12) | (char32_t{s[1] & 0x3fu} << 6) |
             (s[2] & 0x3fu);
    default:
      return (char32_t{s[0] & 0x07u} << 18) | (char32_t{s[1] & 0x3fu} << 12) |
             (char32_t{s[2] & 0x3fu} << 6) | (s[3] & 0x3fu);
  }
}

void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xc0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xe0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3f));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
    out += static_cast<char>(0x80 | (c & 0x3f));
  }
}

}  // namespace quorvel::persist
