#include "persist/value_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/utf8.h"

namespace quorvel::persist {

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Scientific form gives the shortest round-trip digits in a shape that is
  // easy to take apart: [-]d[.ddd]e[+-]x. The fixed format of to_chars does
  // not promise the shortest digits, so the expansion is done here.
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value,
                                 std::chars_format::scientific);
  (void)ec;  // 64 bytes always hold a double in scientific form.
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = std::atoi(std::string(sci.substr(e_pos + 1)).c_str());
  // The value is 0.d1d2d3... * 10^(exponent + 1).
  long point = static_cast<long>(exponent) + 1;
  long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
    out += ".0";
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out += '.';
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::string quoted_text(std::string_view text) {
  std::string out = "\"";
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t width = utf8::char_width(static_cast<std::uint8_t>(text[i]));
    std::string_view ch = text.substr(i, width);
    char32_t c = utf8::decode_char(ch);
    i += width;
    switch (c) {
      case U'"':
        out += "\\\"";
        continue;
      case U'\\':
        out += "\\\\";
        continue;
      case U'\n':
        out += "\\n";
        continue;
      case U'\r':
        out += "\\r";
        continue;
      case U'\t':
        out += "\\t";
        continue;
      case U'\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    // C0 controls, DEL and the C1 controls would be invisible or disturb a
    // terminal: show their code points instead.
    if (c < 0x20 || (c >= 0x7f && c <= 0x9f)) {
      char hex[16];
      std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += ch;
    }
  }
  out += '"';
  return out;
}

}  // namespace quorvel::persist
