#include "persist/utf8.h"

#include <cstring>

namespace quorvel::persist {
namespace {

bool is_continuation(std::uint8_t b) { return (b & 0xc0) == 0x80; }

// Width announced by a lead byte, 0 when the byte cannot start a character
// (continuation bytes, the overlong leads c0 and c1, and f5 to ff).
std::size_t announced_width(std::uint8_t b) {
  if (b >= 0xc2 && b <= 0xdf) return 2;
  if (b >= 0xe0 && b <= 0xef) return 3;
  if (b >= 0xf0 && b <= 0xf4) return 4;
  return 0;
}

// Whether `second` may follow `lead`: the narrowed ranges rule out overlong
// forms, surrogates and code points above U+10FFFF at the second byte.
bool second_byte_ok(std::uint8_t lead, std::uint8_t second) {
  switch (lead) {
    case 0xe0:
      return second >= 0xa0 && second <= 0xbf;
    case 0xed:
      return second >= 0x80 && second <= 0x9f;
    case 0xf0:
      return second >= 0x90 && second <= 0xbf;
    case 0xf4:
      return second >= 0x80 && second <= 0x8f;
    default:
      return is_continuation(second);
  }
}

}  // namespace

std::string Utf8Error::message() const {
  if (error_len == 0) {
    return "incomplete utf-8 byte sequence from index " +
           std::to_string(valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(error_len) +
         " bytes from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> check_utf8(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Most stored text is ASCII: test eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, s + i, 8);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= n) break;
    std::uint8_t lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = announced_width(lead);
    if (width == 0) return Utf8Error{i, 1};
    if (i + 1 >= n) return Utf8Error{i, 0};
    if (!second_byte_ok(lead, s[i + 1])) return Utf8Error{i, 1};
    for (std::size_t k = 2; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, 0};
      if (!is_continuation(s[i + k])) return Utf8Error{i, k};
    }
    i += width;
  }
  return std::nullopt;
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
