#include "base/error.h"

#include <execinfo.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace quorvel {
namespace {

// Frames beyond this depth add nothing a reader of a core error needs.
constexpr int kMaxFrames = 64;

std::string capture_backtrace() {
  void* frames[kMaxFrames];
  int n = ::backtrace(frames, kMaxFrames);
  std::unique_ptr<char*, decltype(&std::free)> symbols(
      ::backtrace_symbols(frames, n), &std::free);
  std::string text = "Stack backtrace:";
  for (int i = 0; i < n; ++i) {
    text += "\n  ";
    text += std::to_string(i);
    text += ": ";
    text += symbols ? symbols.get()[i] : "<unknown>";
  }
  return text;
}

// Appends `text` to `out`, starting every line after the first with
// `indent` spaces so that multi-line causes stay inside their column.
void append_indented(std::string& out, const std::string& text,
                     std::size_t indent) {
  for (char c : text) {
    out += c;
    if (c == '\n') out.append(indent, ' ');
  }
}

}  // namespace

bool backtrace_capture_enabled() {
  static const bool enabled = [] {
    const char* value = std::getenv("QUORVEL_BACKTRACE");
    return value != nullptr && value[0] != '\0' &&
           !(value[0] == '0' && value[1] == '\0');
  }();
  return enabled;
}

Error::Error(std::string message, ErrorKind kind)
    : message_(std::move(message)), kind_(kind) {
  if (backtrace_capture_enabled()) backtrace_ = capture_backtrace();
}

Error::Error(std::string message, std::vector<std::string> causes,
             ErrorKind kind)
    : message_(std::move(message)), causes_(std::move(causes)), kind_(kind) {
  if (backtrace_capture_enabled()) backtrace_ = capture_backtrace();
}

Error& Error::caused_by(std::string cause) {
  causes_.push_back(std::move(cause));
  return *this;
}

Error& Error::with_note(std::string note) {
  notes_.push_back(std::move(note));
  return *this;
}

std::string Error::report() const {
  std::string out = message_;
  if (causes_.size() == 1) {
    out += "\n\nCaused by:\n    ";
    append_indented(out, causes_[0], 4);
  } else if (causes_.size() > 1) {
    out += "\n\nCaused by:";
    char label[32];
    for (std::size_t i = 0; i < causes_.size(); ++i) {
      std::snprintf(label, sizeof label, "\n%5zu: ", i);
      out += label;
      append_indented(out, causes_[i], 7);
    }
  }
  if (!backtrace_.empty()) {
    std::string trace = backtrace_;
    while (!trace.empty() && (trace.back() == ' ' || trace.back() == '\n' ||
                              trace.back() == '\t' || trace.back() == '\r')) {
      trace.pop_back();
    }
    out += "\n\n";
    out += trace;
  }
  return out;
}

InternalFailure::InternalFailure(std::string message,
                                 std::source_location where)
    : message_(std::move(message)), where_(where) {}

void panic(std::string message, std::source_location where) {
  std::fprintf(stderr, "quorvel: internal failure at %s:%u: %s\n",
               where.file_name(), static_cast<unsigned>(where.line()),
               message.c_str());
  std::fflush(stderr);
  throw InternalFailure(std::move(message), where);
}

namespace internal {

void wrong_side(const char* accessor, const std::string& state,
                std::source_location where) {
  panic(std::string(accessor) + " called on " + state, where);
}

}  // namespace internal

}  // namespace quorvel
