// UTF-8 validation, shared by the CSV reader (every decoded field must be
// text) and by anything else that turns bytes into stored text.
//
// A sequence is valid when it is well formed in the Unicode sense: no overlong
// forms, no surrogate code points, nothing above U+10FFFF, nothing truncated.
//
// Thread safety: pure functions.

#ifndef QUORVEL_BASE_UTF8_H_
#define QUORVEL_BASE_UTF8_H_

#include <cstddef>
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

// The conventional message for a failed validation, for example
// "invalid utf-8 sequence of 1 bytes from index 3" or
// "incomplete utf-8 byte sequence from index 7".
// REQUIRES: !v.ok.
std::string describe(const Validation& v);

// True for bytes that continue a multi-byte character (0b10xxxxxx): a slice of
// valid text that starts or ends just before one cuts a character in two.
inline bool is_continuation_byte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

}  // namespace quorvel::utf8

#endif  // QUORVEL_BASE_UTF8_H_
