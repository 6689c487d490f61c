// The fixed texts of the saved file's messages: what `load`, `loads` and
// `save` report.
//
// Programs match these messages, so they are contracts: docs/errors.md
// ("Saving" and "Loading") quotes them, and a change here is a change of
// behaviour. Some read oddly on purpose: the type words "usize", "isize" and
// "u32" are what a damaged file's messages have always called the integer
// fields, not abbreviations waiting to be spelled out. The code puts the
// variable parts (numbers, names, quoted values) between these pieces.
//
// Thread safety: constants.

#ifndef QUORVEL_PERSIST_MESSAGES_H_
#define QUORVEL_PERSIST_MESSAGES_H_

namespace quorvel::persist::messages {

// The type words: an unsigned machine word, a signed one, an item.
inline constexpr char kUsizeWord[] = "usize";
inline constexpr char kIsizeWord[] = "isize";
inline constexpr char kU32Word[] = "u32";

// "invalid type: <what was met>, expected <what was wanted>".
inline constexpr char kInvalidType[] = "invalid type: ";
inline constexpr char kExpected[] = ", expected ";
// "invalid value: integer `<v>`, expected <type word>".
inline constexpr char kInvalidInteger[] = "invalid value: integer `";
inline constexpr char kIntegerExpected[] = "`, expected ";
// "invalid length <n>, expected <what was wanted>".
inline constexpr char kInvalidLength[] = "invalid length ";
// Followed by the expected element count.
inline constexpr char kSurplusElements[] =
    "array had incorrect length, expected ";
// Followed by the marker's name, for example "Reserved".
inline constexpr char kWrongMarker[] = "wrong msgpack marker ";
inline constexpr char kDepthLimit[] = "depth limit exceeded";
// Followed by the UTF-8 fault, which is also the cause.
inline constexpr char kInvalidUtf8[] = "string found to be invalid utf8: ";
inline constexpr char kBytesForString[] =
    "invalid value: byte array, expected a string";
// "IO error while reading <marker|data>: <I/O error>", the I/O error also
// being the cause.
inline constexpr char kReadError[] = "IO error while reading ";

// The I/O errors that are not the operating system's.
inline constexpr char kFillWholeBuffer[] = "failed to fill whole buffer";
inline constexpr char kUnexpectedEof[] = "unexpected end of file";
inline constexpr char kWriteWholeBuffer[] = "failed to write whole buffer";
// An operating-system error: "<description> (os error <n>)".
inline constexpr char kOsErrorNumber[] = " (os error ";

// A failed write: kValueWrite + kValueWriteCause, caused by kValueWriteCause
// and the I/O error.
inline constexpr char kValueWrite[] = "invalid value write: ";
inline constexpr char kValueWriteCause[] =
    "error while writing multi-byte MessagePack value";

}  // namespace quorvel::persist::messages

#endif  // QUORVEL_PERSIST_MESSAGES_H_
