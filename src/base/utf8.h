// UTF-8: validation, and the decoding and encoding of single characters.
//
// The CSV reader validates every decoded field, construction and the saved
// file's reader validate whole texts, and the saved file's codec reads and
// writes the separator as one character. All of them share these rules, so a
// text is accepted, or described as faulty, the same way everywhere.
//
// A sequence is valid when it is well formed in the Unicode sense: no overlong
// forms, no surrogate code points, nothing above U+10FFFF, nothing truncated.
// A fault is reported where the first bad sequence starts, with the length of
// its invalid prefix (the Unicode "maximal subpart"), or as the text ending
// inside a character.
//
// Thread safety: pure functions.

#ifndef QUORVEL_BASE_UTF8_H_
#define QUORVEL_BASE_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::utf8 {

// Where validation stopped. `valid_up_to` is the length of the longest valid
// prefix. When the bytes are invalid, `error_len` is the length of the
// offending sequence (1 to 3 bytes), or 0 when the input simply ends in the
// middle of a character.
struct Validation {
  bool ok;
  std::size_t valid_up_to;
  std::size_t error_len;
};

// Checks `bytes`. Pure ASCII input is confirmed eight bytes at a time.
Validation validate(std::string_view bytes);

// True when `bytes` is entirely valid UTF-8.
inline bool is_valid(std::string_view bytes) { return validate(bytes).ok; }

// The message for a failed validation, for example
// "invalid utf-8 sequence of 1 bytes from index 3" or
// "incomplete utf-8 byte sequence from index 7".
// REQUIRES: !v.ok.
std::string describe(const Validation& v);

// True for bytes that continue a multi-byte character (0b10xxxxxx): a slice of
// valid text that starts or ends just before one cuts a character in two.
inline bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The number of bytes of the character starting with `lead`.
// REQUIRES: `lead` starts a character of valid UTF-8.
inline std::size_t char_width(std::uint8_t lead) {
  return lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
}

// The code point of the character at the start of `text`.
// REQUIRES: `text` is valid UTF-8 and not empty.
char32_t decode_char(std::string_view text);

// Appends the UTF-8 encoding of `c` to `out`.
// REQUIRES: is_unicode_scalar(c).
void append_char(char32_t c, std::string& out);

// True for code points that UTF-8 can carry.
inline bool is_unicode_scalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

}  // namespace quorvel::utf8

#endif  // QUORVEL_BASE_UTF8_H_
