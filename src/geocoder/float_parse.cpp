#include "geocoder/float_parse.h"

#include <charconv>
#include <cstdint>
#include <limits>

namespace quorvel {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Case-insensitive comparison with a lower-case ASCII word.
bool equals_word(std::string_view text, std::string_view lower_word) {
  if (text.size() != lower_word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower_word[i]) return false;
  }
  return true;
}

// What the grammar check learns about a numeric literal: its digits as an
// integer when they are few enough, and enough to tell, when from_chars
// reports the value out of range, whether it overflowed or underflowed.
struct Shape {
  bool valid = false;
  // The digits read as one integer, exact while `significant` <= 19.
  std::uint64_t mantissa = 0;
  // Digits from the first non-zero one on.
  std::size_t significant = 0;
  // The value is mantissa * 10^scale (when the mantissa is exact).
  std::int64_t scale = 0;
  // Decimal exponent of the first non-zero digit (the value lies within
  // [10^e, 10^(e+1))), saturated far beyond the range of doubles.
  std::int64_t magnitude = 0;
};

// Checks `s` (sign already removed) against the numeric grammar.
Shape check_number(std::string_view s) {
  Shape shape;
  const std::size_t n = s.size();
  std::size_t i = 0;
  std::size_t digits = 0;
  std::size_t frac_digits = 0;
  std::int64_t place = 0;  // Place value exponent of the first non-zero digit.
  auto take_digit = [&](char c) {
    if (shape.significant > 0 || c != '0') ++shape.significant;
    if (shape.significant <= 19) {
      shape.mantissa = shape.mantissa * 10 + static_cast<unsigned>(c - '0');
    }
  };
  for (; i < n && is_digit(s[i]); ++i, ++digits) take_digit(s[i]);
  if (shape.significant > 0) {
    place = static_cast<std::int64_t>(shape.significant) - 1;
  }
  if (i < n && s[i] == '.') {
    ++i;
    for (; i < n && is_digit(s[i]); ++i, ++digits) {
      ++frac_digits;
      const bool first = shape.significant == 0 && s[i] != '0';
      take_digit(s[i]);
      if (first) place = -static_cast<std::int64_t>(frac_digits);
    }
  }
  if (digits == 0) return shape;
  std::int64_t exponent = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    const std::size_t exp_start = i;
    // Saturating keeps huge exponents from overflowing; anything this large
    // is far outside the range of doubles either way.
    constexpr std::int64_t kSaturated = std::int64_t{1} << 40;
    for (; i < n && is_digit(s[i]); ++i) {
      if (exponent < kSaturated) exponent = exponent * 10 + (s[i] - '0');
    }
    if (i == exp_start) return shape;
    if (negative) exponent = -exponent;
  }
  if (i != n) return shape;
  shape.valid = true;
  shape.scale = exponent - static_cast<std::int64_t>(frac_digits);
  shape.magnitude = place + exponent;
  return shape;
}

// The powers of ten that a double holds exactly.
constexpr double kExactPowers[] = {
    1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
    1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The usual form of a coordinate, [sign] digits [. digits] with at most 15
// digits in all: the digits form an exact double and so does the power of
// ten, so one division rounds correctly (the same arithmetic as the general
// path below takes for such text). Returns false for anything else.
bool parse_short_decimal(std::string_view text, double& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  std::uint64_t mantissa = 0;
  unsigned digits = 0;
  unsigned frac_digits = 0;
  for (; p < end && is_digit(*p); ++p, ++digits) {
    mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
  }
  if (p < end && *p == '.') {
    ++p;
    for (; p < end && is_digit(*p); ++p, ++digits, ++frac_digits) {
      mantissa = mantissa * 10 + static_cast<unsigned>(*p - '0');
    }
  }
  if (p != end || digits == 0 || digits > 15) return false;
  const double m = static_cast<double>(mantissa);
  const double value = frac_digits == 0 ? m : m / kExactPowers[frac_digits];
  out = (negative ? -1.0 : 1.0) * value;
  return true;
}

}  // namespace

Result<double> parse_float(std::string_view text) {
  if (text.empty()) return Error("cannot parse float from empty string");
  if (double value; parse_short_decimal(text, value)) return value;
  bool negative = false;
  std::string_view body = text;
  if (body[0] == '+' || body[0] == '-') {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  const double sign = negative ? -1.0 : 1.0;
  if (equals_word(body, "inf") || equals_word(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_word(body, "nan")) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  const Shape shape = check_number(body);
  if (!shape.valid) return Error("invalid float literal");

  // Coordinates usually have a handful of digits. When the digits and the
  // power of ten are both exact doubles, one multiplication or division is
  // correctly rounded by itself (Clinger's fast path), at a fraction of the
  // cost of the general conversion.
  if (shape.significant <= 15 && shape.scale >= -22 && shape.scale <= 22) {
    const double m = static_cast<double>(shape.mantissa);
    const double value = shape.scale < 0 ? m / kExactPowers[-shape.scale]
                                         : m * kExactPowers[shape.scale];
    return sign * value;
  }

  // from_chars rounds correctly but accepts no leading '+', so it always gets
  // the unsigned body and the sign is applied afterwards (exact for doubles).
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(body.data(), body.data() + body.size(), value);
  if (ec == std::errc::result_out_of_range) {
    // Reported for both ends of the range; the decimal magnitude says which.
    value = shape.magnitude < 0 ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    // The grammar above is a subset of what from_chars accepts.
    panic("float literal accepted by the grammar but not by from_chars");
  }
  return sign * value;
}

}  // namespace quorvel
