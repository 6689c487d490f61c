// The fixed texts of the binding's own messages: what argument conversion
// reports before the core is reached.
//
// Programs match these messages, so they are contracts: docs/errors.md
// ("Arguments", "Reading a CSV file" and "Many positions at once") quotes
// them, and a
// change here is a change of behaviour. Two read oddly on purpose: 'PyString'
// and 'PyBool' are what conversion errors have always called the text and
// flag an argument could not become, not type names waiting to be brought up
// to date. The code puts the variable parts (argument names, type names,
// values) around these pieces.
//
// Thread safety: constants.

#ifndef QUORVEL_PYTHON_MESSAGES_H_
#define QUORVEL_PYTHON_MESSAGES_H_

namespace quorvel::py::messages {

// What a text argument (a CSV, a separator, a path, a column name) and a
// flag could not be converted to.
inline constexpr char kStringTarget[] = "PyString";
inline constexpr char kBoolTarget[] = "PyBool";

// "'<type>' object cannot be converted to '<target>'".
inline constexpr char kCannotConvert[] = "' object cannot be converted to '";

// A separator that is not exactly one character.
inline constexpr char kNotOneCharacter[] = "expected a string of length 1";

// A path holding "\0", which the operating system would cut there.
inline constexpr char kEmbeddedNull[] = "embedded null byte";

// "argument 'workers': <this><the value>".
inline constexpr char kBadWorkers[] = "must be a positive integer or -1, not ";

}  // namespace quorvel::py::messages

#endif  // QUORVEL_PYTHON_MESSAGES_H_
