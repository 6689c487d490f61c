#include "base/utf8.h"

#include <cstdint>
#include <cstring>

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
    return "incomplete utf-8 byte sequence from index " +
           std::to_string(v.valid_up_to);
  }
  return "invalid utf-8 sequence of " + std::to_string(v.error_len) +
         " bytes from index " + std::to_string(v.valid_up_to);
}

}  // namespace quorvel::utf8
