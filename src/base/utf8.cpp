#include "base/utf8.h"

#include <cstdint>
#include <cstring>

#include "base/messages.h"

namespace quorvel::utf8 {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// The allowed range of the second byte depends on the lead byte; this is what
// excludes overlong forms, surrogates and code points above U+10FFFF.
struct LeadInfo {
  std::uint8_t length;  // 0: not a lead byte.
  std::uint8_t second_lo;
  std::uint8_t second_hi;
};

LeadInfo lead_info(std::uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};
  if (b == 0xED) return {3, 0x80, 0x9F};
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

}  // namespace

Validation validate(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Nearly all input is ASCII; skip it a word at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & kHighBits) break;
      i += 8;
    }
    if (i >= n) break;
    const std::uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    const LeadInfo lead = lead_info(b);
    if (lead.length == 0) return {false, i, 1};
    // Count how many bytes of the sequence are acceptable; the first one that
    // is not ends the invalid sequence there.
    std::size_t k = 1;
    for (; k < lead.length; ++k) {
      if (i + k >= n) return {false, i, 0};
      const std::uint8_t c = p[i + k];
      const bool fits = k == 1 ? (c >= lead.second_lo && c <= lead.second_hi)
                               : (c >= 0x80 && c <= 0xBF);
      if (!fits) return {false, i, k};
    }
    i += lead.length;
  }
  return {true, n, 0};
}

std::string describe(const Validation& v) {
  if (v.error_len == 0) {
    return messages::kIncompleteUtf8 + std::to_string(v.valid_up_to);
  }
  return messages::kInvalidUtf8Length + std::to_string(v.error_len) +
         messages::kInvalidUtf8Index + std::to_string(v.valid_up_to);
}

char32_t decode_char(std::string_view text) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  switch (char_width(s[0])) {
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

void append_char(char32_t c, std::string& out) {
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

}  // namespace quorvel::utf8
