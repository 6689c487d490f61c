// UTF-8 validation with the reporting the saved-file messages use: where the
// first bad sequence starts and how long its invalid prefix is (the Unicode
// "maximal subpart"), or that the text ends inside a character.
//
// Thread safety: pure functions.

#ifndef QUORVEL_PERSIST_UTF8_H_
#define QUORVEL_PERSIST_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::persist {

// The first UTF-8 fault of a byte string.
struct Utf8Error {
  std::size_t valid_up_to;  // Bytes before the fault are valid UTF-8.
  std::size_t error_len;    // 1 to 3: invalid prefix length; 0: incomplete.

  // "invalid utf-8 sequence of N bytes from index I", or "incomplete utf-8
  // byte sequence from index I" when the text ends inside a character.
  std::string message() const;
};

// The first fault of `bytes`, or nothing when they are valid UTF-8.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// The number of bytes of the character starting with `lead`.
// REQUIRES: `lead` starts a character of valid UTF-8.
inline std::size_t utf8_char_width(std::uint8_t lead) {
  return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
}

// The code point of the character at the start of `text`.
// REQUIRES: `text` is valid UTF-8 and not empty.
char32_t decode_utf8_char(std::string_view text);

// Appends the UTF-8 encoding of `c` to `out`.
// REQUIRES: `c` is a Unicode scalar value (<= 0x10FFFF, not a surrogate).
void append_utf8(char32_t c, std::string& out);

// True for code points that UTF-8 can carry.
inline bool is_unicode_scalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_UTF8_H_
