#include "persist/msgpack_reader.h"

#include <cmath>

#include "base/utf8.h"
#include "persist/io_error.h"
#include "persist/messages.h"
#include "persist/value_text.h"

namespace quorvel::persist {
namespace {

std::uint64_t load_be(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}

// Bytes of the fixed payload that follows `marker` (length, count or value).
std::size_t fixed_payload_size(std::uint8_t m) {
  switch (m) {
    case 0xc4:
    case 0xc7:
    case 0xcc:
    case 0xd0:
    case 0xd9:
      return 1;
    case 0xc5:
    case 0xc8:
    case 0xcd:
    case 0xd1:
    case 0xda:
    case 0xdc:
    case 0xde:
      return 2;
    case 0xc6:
    case 0xc9:
    case 0xca:
    case 0xce:
    case 0xd2:
    case 0xdb:
    case 0xdd:
    case 0xdf:
      return 4;
    case 0xcb:
    case 0xcf:
    case 0xd3:
      return 8;
    default:
      return 0;
  }
}

std::string describe(const Head& head, const std::string& body) {
  switch (head.family) {
    case Family::kNil:
      return "unit value";
    case Family::kBool:
      return head.number ? "boolean `true`" : "boolean `false`";
    case Family::kUint:
      return "integer `" + std::to_string(head.number) + "`";
    case Family::kInt:
      return "integer `" + std::to_string(head.signed_number) + "`";
    case Family::kF32:
    case Family::kF64:
      return "floating point `" + float_text(head.float_number) + "`";
    case Family::kStr:
      return "string " + quoted_text(body);
    case Family::kBin:
      return "byte array";
    case Family::kArray:
      return "sequence";
    case Family::kMap:
      return "map";
    case Family::kExt:
    case Family::kReserved:
      break;
  }
  return "newtype struct";
}

std::string invalid_type(std::string_view met, std::string_view word) {
  std::string out = messages::kInvalidType;
  out += met;
  out += messages::kExpected;
  out += word;
  return out;
}

std::string invalid_integer(std::string_view value, std::string_view word) {
  std::string out = messages::kInvalidInteger;
  out += value;
  out += messages::kIntegerExpected;
  out += word;
  return out;
}

bool is_number_family(Family f) {
  return f == Family::kUint || f == Family::kInt || f == Family::kNil ||
         f == Family::kBool || f == Family::kF32 || f == Family::kF64;
}

}  // namespace

Family family_of(std::uint8_t m) {
  if (m <= 0x7f) return Family::kUint;
  if (m <= 0x8f) return Family::kMap;
  if (m <= 0x9f) return Family::kArray;
  if (m <= 0xbf) return Family::kStr;
  if (m >= 0xe0) return Family::kInt;
  switch (m) {
    case 0xc0:
      return Family::kNil;
    case 0xc1:
      return Family::kReserved;
    case 0xc2:
    case 0xc3:
      return Family::kBool;
    case 0xc4:
    case 0xc5:
    case 0xc6:
      return Family::kBin;
    case 0xca:
      return Family::kF32;
    case 0xcb:
      return Family::kF64;
    case 0xcc:
    case 0xcd:
    case 0xce:
    case 0xcf:
      return Family::kUint;
    case 0xd0:
    case 0xd1:
    case 0xd2:
    case 0xd3:
      return Family::kInt;
    case 0xd9:
    case 0xda:
    case 0xdb:
      return Family::kStr;
    case 0xdc:
    case 0xdd:
      return Family::kArray;
    case 0xde:
    case 0xdf:
      return Family::kMap;
    default:  // c7..c9, d4..d8
      return Family::kExt;
  }
}

std::string marker_name(std::uint8_t m) {
  auto with = [](const char* name, int n) {
    return std::string(name) + "(" + std::to_string(n) + ")";
  };
  if (m <= 0x7f) return with("FixPos", m);
  if (m <= 0x8f) return with("FixMap", m & 0x0f);
  if (m <= 0x9f) return with("FixArray", m & 0x0f);
  if (m <= 0xbf) return with("FixStr", m & 0x1f);
  if (m >= 0xe0) return with("FixNeg", static_cast<int>(m) - 256);
  static constexpr const char* kNames[] = {
      "Null",    "Reserved", "False",   "True",     "Bin8", "Bin16", "Bin32",
      "Ext8",    "Ext16",    "Ext32",   "F32",      "F64",  "U8",    "U16",
      "U32",     "U64",      "I8",      "I16",      "I32",  "I64",   "FixExt1",
      "FixExt2", "FixExt4",  "FixExt8", "FixExt16", "Str8", "Str16", "Str32",
      "Array16", "Array32",  "Map16",   "Map32"};
  return kNames[m - 0xc0];
}

MsgpackReader::MsgpackReader(ByteSource& source) : source_(source) {
  scratch_.reserve(128);
}

bool MsgpackReader::fail(std::string message) {
  error_.emplace(std::move(message));
  return false;
}

bool MsgpackReader::fail(Error error) {
  error_.emplace(std::move(error));
  return false;
}

bool MsgpackReader::check_text(std::string_view bytes) {
  if (const utf8::Validation v = utf8::validate(bytes); !v.ok) {
    std::string text = utf8::describe(v);
    return fail(Error(messages::kInvalidUtf8 + text, {text}));
  }
  return true;
}

bool MsgpackReader::fail_wrong_marker(std::uint8_t marker) {
  return fail(messages::kWrongMarker + marker_name(marker));
}

bool MsgpackReader::fail_invalid_length(std::uint64_t got,
                                        std::string_view expected) {
  return fail(messages::kInvalidLength + std::to_string(got) +
              messages::kExpected + std::string(expected));
}

bool MsgpackReader::fail_surplus(std::uint64_t expected) {
  return fail(messages::kSurplusElements + std::to_string(expected));
}

bool MsgpackReader::fail_fill(const FillOutcome& got, IoError::Kind at_end,
                              std::string_view what) {
  const IoError io = got.code == FillOutcome::Code::kEnd
                         ? IoError{at_end}
                         : IoError::os(got.os_errno);
  failed_in_os_ = got.code == FillOutcome::Code::kOsError;
  std::string text = io.message();
  return fail(
      Error(messages::kReadError + std::string(what) + ": " + text, {text}));
}

bool MsgpackReader::read_marker(std::uint8_t& marker) {
  if (source_.available() == 0) {
    FillOutcome got = source_.fill(1);
    if (got.code != FillOutcome::Code::kFilled) {
      return fail_fill(got, IoError::Kind::kFillWholeBuffer, "marker");
    }
  }
  marker = source_.data()[0];
  source_.consume(1);
  return true;
}

bool MsgpackReader::read_exact(std::uint8_t* dst, std::size_t n) {
  if (source_.available() < n) {
    FillOutcome got = source_.fill(n);
    if (got.code != FillOutcome::Code::kFilled) {
      return fail_fill(got, IoError::Kind::kFillWholeBuffer, "data");
    }
  }
  std::memcpy(dst, source_.data(), n);
  source_.consume(n);
  return true;
}

bool MsgpackReader::read_body(std::uint64_t n, std::string& dst) {
  dst.clear();
  // Reserving up to what the input really holds costs a hostile length
  // nothing more than the file's own size, and spares the stored text
  // (most of a file) the copies of growing step by step.
  dst.reserve(static_cast<std::size_t>(
      std::min<std::uint64_t>(n, source_.remaining_hint())));
  return consume_body(n, &dst);
}

bool MsgpackReader::skip_body(std::uint64_t n) {
  return consume_body(n, nullptr);
}

bool MsgpackReader::consume_body(std::uint64_t n, std::string* dst) {
  while (n > 0) {
    if (source_.available() == 0) {
      FillOutcome got = source_.fill(1);
      if (got.code != FillOutcome::Code::kFilled) {
        return fail_fill(got, IoError::Kind::kUnexpectedEof, "data");
      }
    }
    std::size_t take = static_cast<std::size_t>(
        std::min<std::uint64_t>(n, source_.available()));
    if (dst != nullptr) {
      dst->append(reinterpret_cast<const char*>(source_.data()), take);
    }
    source_.consume(take);
    n -= take;
  }
  return true;
}

bool MsgpackReader::read_rest(std::uint8_t m, Head& head) {
  head.marker = m;
  head.family = family_of(m);
  std::uint8_t payload[8];
  std::size_t size = fixed_payload_size(m);
  if (size > 0 && !read_exact(payload, size)) return false;
  std::uint64_t raw = load_be(payload, size);
  switch (head.family) {
    case Family::kUint:
      head.number = m <= 0x7f ? m : raw;
      break;
    case Family::kInt:
      if (m >= 0xe0) {
        head.signed_number = static_cast<std::int8_t>(m);
      } else if (m == 0xd0) {
        head.signed_number = static_cast<std::int8_t>(raw);
      } else if (m == 0xd1) {
        head.signed_number = static_cast<std::int16_t>(raw);
      } else if (m == 0xd2) {
        head.signed_number = static_cast<std::int32_t>(raw);
      } else {
        head.signed_number = static_cast<std::int64_t>(raw);
      }
      break;
    case Family::kBool:
      head.number = m == 0xc3;
      break;
    case Family::kF32:
      head.float_number = std::bit_cast<float>(static_cast<std::uint32_t>(raw));
      break;
    case Family::kF64:
      head.float_number = std::bit_cast<double>(raw);
      break;
    case Family::kStr:
      head.number = m <= 0xbf ? (m & 0x1f) : raw;
      break;
    case Family::kArray:
      head.number = m <= 0x9f ? (m & 0x0f) : raw;
      break;
    case Family::kMap:
      head.number = m <= 0x8f ? (m & 0x0f) : raw;
      break;
    case Family::kBin:
      head.number = raw;
      break;
    case Family::kExt:
      head.number = m >= 0xd4 ? (std::uint64_t{1} << (m - 0xd4)) : raw;
      break;
    case Family::kNil:
    case Family::kReserved:
      break;
  }
  return true;
}

bool MsgpackReader::fail_unexpected(const Head& head, std::string_view word) {
  switch (head.family) {
    case Family::kReserved:
      return fail_wrong_marker(head.marker);
    case Family::kStr: {
      if (!read_body(head.number, scratch_) || !check_text(scratch_)) {
        return false;
      }
      break;
    }
    case Family::kBin:
      if (!read_body(head.number, scratch_)) return false;
      break;
    case Family::kArray:
    case Family::kMap:
    case Family::kExt:
      if (!enter()) return false;
      break;
    default:
      break;
  }
  return fail(invalid_type(describe(head, scratch_), word));
}

bool MsgpackReader::read_uint_slow(std::uint64_t max, std::string_view word,
                                   std::uint64_t& out) {
  std::uint8_t m;
  if (!read_marker(m)) return false;
  if (!is_number_family(family_of(m))) return fail_wrong_marker(m);
  Head head;
  if (!read_rest(m, head)) return false;
  if (head.family == Family::kUint) {
    if (head.number > max) {
      return fail(invalid_integer(std::to_string(head.number), word));
    }
    out = head.number;
    return true;
  }
  if (head.family == Family::kInt) {
    if (head.signed_number < 0 ||
        static_cast<std::uint64_t>(head.signed_number) > max) {
      return fail(invalid_integer(std::to_string(head.signed_number), word));
    }
    out = static_cast<std::uint64_t>(head.signed_number);
    return true;
  }
  return fail_unexpected(head, word);
}

bool MsgpackReader::read_int_slow(std::int64_t min, std::int64_t max,
                                  std::string_view word, std::int64_t& out) {
  std::uint8_t m;
  if (!read_marker(m)) return false;
  if (!is_number_family(family_of(m))) return fail_wrong_marker(m);
  Head head;
  if (!read_rest(m, head)) return false;
  if (head.family == Family::kUint) {
    if (head.number > static_cast<std::uint64_t>(max)) {
      return fail(invalid_integer(std::to_string(head.number), word));
    }
    out = static_cast<std::int64_t>(head.number);
    return true;
  }
  if (head.family == Family::kInt) {
    if (head.signed_number < min || head.signed_number > max) {
      return fail(invalid_integer(std::to_string(head.signed_number), word));
    }
    out = head.signed_number;
    return true;
  }
  return fail_unexpected(head, word);
}

bool MsgpackReader::read_f64_slow(double& out) {
  std::uint8_t m;
  if (!read_marker(m)) return false;
  if (!is_number_family(family_of(m))) return fail_wrong_marker(m);
  Head head;
  if (!read_rest(m, head)) return false;
  switch (head.family) {
    case Family::kF32:
    case Family::kF64:
      out = head.float_number;
      return true;
    case Family::kUint:
      out = static_cast<double>(head.number);
      return true;
    case Family::kInt:
      out = static_cast<double>(head.signed_number);
      return true;
    default:
      return fail_unexpected(head, "f64");
  }
}

bool MsgpackReader::read_str(std::string& out) {
  Head head;
  if (!read_head(head)) return false;
  if (head.family == Family::kStr) {
    return read_body(head.number, out) && check_text(out);
  }
  if (head.family == Family::kBin) {
    if (!read_body(head.number, out)) return false;
    if (!utf8::is_valid(out)) {
      return fail(messages::kBytesForString);
    }
    return true;
  }
  return fail_unexpected(head, "a string");
}

bool MsgpackReader::read_char(char32_t& out) {
  Head head;
  if (!read_head(head)) return false;
  if (head.family != Family::kStr) return fail_unexpected(head, "a character");
  if (!read_body(head.number, scratch_) || !check_text(scratch_)) {
    return false;
  }
  if (scratch_.empty() || utf8::char_width(static_cast<std::uint8_t>(
                              scratch_[0])) != scratch_.size()) {
    return fail("invalid value: string " + quoted_text(scratch_) +
                ", expected a character");
  }
  out = utf8::decode_char(scratch_);
  return true;
}

bool MsgpackReader::skip_any() {
  // Elements still to read in each open container, innermost last. An
  // explicit stack keeps 1023 levels of nesting off the C++ stack.
  std::vector<std::uint64_t> open;
  do {
    if (!open.empty()) --open.back();
    Head head;
    if (!read_head(head)) return false;
    switch (head.family) {
      case Family::kReserved:
        return fail_wrong_marker(head.marker);
      case Family::kStr:
        // A thrown-away string is still a string: text that is not UTF-8
        // fails here exactly as it would in a field.
        if (!read_body(head.number, scratch_) || !check_text(scratch_)) {
          return false;
        }
        break;
      case Family::kBin:
        if (!skip_body(head.number)) return false;
        break;
      case Family::kExt: {
        std::uint8_t type;
        if (!enter() || !read_exact(&type, 1) || !skip_body(head.number)) {
          return false;
        }
        leave();
        break;
      }
      case Family::kArray:
        if (!enter()) return false;
        open.push_back(head.number);
        break;
      case Family::kMap:
        if (!enter()) return false;
        open.push_back(2 * head.number);
        break;
      default:
        break;
    }
    while (!open.empty() && open.back() == 0) {
      open.pop_back();
      leave();
    }
  } while (!open.empty());
  return true;
}

bool MsgpackReader::read_field_key(std::span<const std::string_view> names,
                                   std::size_t& index) {
  Head head;
  if (!read_head(head)) return false;
  index = names.size();
  switch (head.family) {
    case Family::kStr:
    case Family::kBin:
      // Keys are compared as bytes: a key that is not UTF-8 is simply not
      // a field name.
      if (!read_body(head.number, scratch_)) return false;
      for (std::size_t i = 0; i < names.size(); ++i) {
        if (scratch_ == names[i]) index = i;
      }
      return true;
    case Family::kUint:
      if (head.number < names.size()) {
        index = static_cast<std::size_t>(head.number);
      }
      return true;
    default:
      return fail_unexpected(head, "field identifier");
  }
}

bool MsgpackReader::uint_as_uint(std::uint64_t v, std::uint64_t max,
                                 std::string_view word, std::uint64_t& out) {
  if (v > max) return fail(invalid_integer(std::to_string(v), word));
  out = v;
  return true;
}

bool MsgpackReader::uint_as_int(std::uint64_t v, std::int64_t max,
                                std::string_view word, std::int64_t& out) {
  if (v > static_cast<std::uint64_t>(max)) {
    return fail(invalid_integer(std::to_string(v), word));
  }
  out = static_cast<std::int64_t>(v);
  return true;
}

bool MsgpackReader::uint_rejected(std::uint64_t v, std::string_view word) {
  return fail(invalid_type("integer `" + std::to_string(v) + "`", word));
}

}  // namespace quorvel::persist
