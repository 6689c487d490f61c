// Decimal text to 64-bit float, with the strict syntax accepted for latitudes
// and longitudes.
//
// Accepted: an optional "+" or "-", then either digits with an optional
// decimal point (at least one digit in all, so "1.", ".5" and "1" are fine and
// "." is not) and an optional exponent ("e" or "E", optional sign, at least
// one digit); or "inf", "infinity" or "nan" in any letter case. Nothing else:
// no spaces, no thousands separators, no hexadecimal form.
//
// The value is the nearest double (ties to even). Values too large become
// infinities; values too small become a subnormal or a signed zero.
//
// Thread safety: pure function.

#ifndef QUORVEL_GEOCODER_FLOAT_PARSE_H_
#define QUORVEL_GEOCODER_FLOAT_PARSE_H_

#include <string_view>

#include "base/error.h"

namespace quorvel {

// Parses `text` as a whole. Fails with "cannot parse float from empty string"
// for empty text and with "invalid float literal" for anything outside the
// syntax above.
Result<double> parse_float(std::string_view text);

}  // namespace quorvel

#endif  // QUORVEL_GEOCODER_FLOAT_PARSE_H_
