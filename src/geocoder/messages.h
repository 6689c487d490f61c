// The fixed texts of the geocoder layer's messages: what building a geocoder
// and looking places up report.
//
// Programs match these messages, so they are contracts: docs/errors.md
// ("Building a geocoder", "Looking up" and "Many positions at once") quotes
// them, and a change here is a change of behaviour. "must by an ASII
// character" is such a contract: it reads as callers have always matched it,
// not as a typo waiting to be corrected. The code puts the variable parts
// (line numbers, counts, code points) between these pieces.
//
// Thread safety: constants.

#ifndef QUORVEL_GEOCODER_MESSAGES_H_
#define QUORVEL_GEOCODER_MESSAGES_H_

namespace quorvel::messages {

// "Value separator must by an ASII character (got <code point>)".
inline constexpr char kSeparatorNotAscii[] =
    "Value separator must by an ASII character (got ";

// Lookups, scalar and batch alike.
inline constexpr char kNotFinite[] =
    "latitude and longitude must be finite numbers";
inline constexpr char kNoRecords[] =
    "cannot look up a place: the geocoder has no records";
inline constexpr char kCorruptIndex[] =
    "the geocoder's spatial index is corrupt";

// Building.
inline constexpr char kMissingFirstLine[] = "missing first line in CSV";
// "line <n>: a carriage return outside quotes ends the record, ...".
inline constexpr char kLostText[] =
    ": a carriage return outside quotes ends the record, and the text after "
    "it would be lost";
// "line <n>: latitude is not a finite number" (or longitude).
inline constexpr char kCoordinateNotFinite[] = " is not a finite number";
// "line <n> has no latitude field" (or longitude).
inline constexpr char kHasNo[] = " has no ";
// "column mismatch: header (line 0) has <h> values, line <n> has <m> values".
inline constexpr char kColumnMismatch[] =
    "column mismatch: header (line 0) has ";
// "too many records: <n> data lines, but at most <max> can be indexed".
inline constexpr char kTooManyRecords[] = "too many records: ";
// "latitude and longitude are the same column: <index>".
inline constexpr char kSameColumn[] =
    "latitude and longitude are the same column: ";

}  // namespace quorvel::messages

#endif  // QUORVEL_GEOCODER_MESSAGES_H_
