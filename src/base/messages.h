// The fixed texts of the base layer's messages.
//
// Programs match these messages, so they are contracts: docs/errors.md quotes
// them, and a change here is a change of behaviour. They live in one place so
// that the texts can be read, and compared with that page, without hunting
// through the code that builds them.
//
// Thread safety: constants.

#ifndef QUORVEL_BASE_MESSAGES_H_
#define QUORVEL_BASE_MESSAGES_H_

namespace quorvel::messages {

// A text that ends inside a character: the prefix, then the byte index where
// that character starts.
inline constexpr char kIncompleteUtf8[] =
    "incomplete utf-8 byte sequence from index ";

// A bad sequence: kInvalidUtf8Length, the length of its invalid prefix,
// kInvalidUtf8Index, then the byte index where it starts.
inline constexpr char kInvalidUtf8Length[] = "invalid utf-8 sequence of ";
inline constexpr char kInvalidUtf8Index[] = " bytes from index ";

}  // namespace quorvel::messages

#endif  // QUORVEL_BASE_MESSAGES_H_
