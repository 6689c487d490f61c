// Transitional: the old names of two UTF-8 helpers that now live in
// base/utf8.h, kept only until their last caller moves over.
//
// Thread safety: pure functions.

#ifndef QUORVEL_PERSIST_UTF8_H_
#define QUORVEL_PERSIST_UTF8_H_

#include <string>

#include "base/utf8.h"

namespace quorvel::persist {

// See utf8::append_char.
inline void append_utf8(char32_t c, std::string& out) {
  utf8::append_char(c, out);
}

// See utf8::is_unicode_scalar.
inline bool is_unicode_scalar(char32_t c) { return utf8::is_unicode_scalar(c); }

}  // namespace quorvel::persist

#endif  // QUORVEL_PERSIST_UTF8_H_
