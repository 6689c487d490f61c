// How decode messages show the values they met: floats in plain decimal with
// the shortest round-trip digits, texts quoted with escapes.
//
// Thread safety: pure functions.

#ifndef QUORVEL_PERSIST_VALUE_TEXT_H_
#define QUORVEL_PERSIST_VALUE_TEXT_H_

#include <string>
#include <string_view>

namespace quorvel::persist {

// The shortest digits that read back to `value`, in plain decimal notation
// (never an exponent), with ".0" appended when there is no decimal point:
// "2.0", "0.1", "1e21" as "1000000000000000000000.0". NaN is "NaN", the
// infinities "inf" and "-inf".
std::string float_text(double value);

// `text` in double quotes, with \" \\ \n \r \t \0 escaped and every other
// control character written as \u{hex}.
// REQUIRES: `text` is valid UTF-8.
std::string quoted_text(std::string_view text);

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_VALUE_TEXT_H_
