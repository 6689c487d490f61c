// Core errors and internal failures.
//
// Every core operation either produces its value or an `Error`: a message,
// an optional chain of underlying causes, optional notes on where the fault
// lies and, when the environment variable QUORVEL_BACKTRACE is set to a
// non-empty value other than "0", a stack trace captured where the error was
// created. `Result<T>` carries one or the other.
//
// A violated invariant is not an error value: it is an `InternalFailure`, a
// C++ exception that writes a diagnostic to standard error where it is raised
// (see `panic`) and is caught only at the Python boundary, where it becomes
// PanicException.
//
// Thread safety: Error and Result are plain values; distinct objects may be
// used from different threads freely, const methods concurrently.

#ifndef QUORVEL_BASE_ERROR_H_
#define QUORVEL_BASE_ERROR_H_

#include <exception>
#include <optional>
#include <source_location>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel {

// How the binding should surface an error. Almost everything is a runtime
// error; kInvalidArgument marks errors about the caller's values (for example
// a non-finite query position), which Python sees as ValueError;
// kInterrupted marks work that the caller's StopCheck stopped (the caller
// already knows why and reports it its own way).
enum class ErrorKind { kRuntime, kInvalidArgument, kInterrupted };

class Error {
 public:
  // An error with `message` as its display text and no causes.
  explicit Error(std::string message, ErrorKind kind = ErrorKind::kRuntime);

  // An error whose cause chain is `causes`, direct cause first.
  Error(std::string message, std::vector<std::string> causes,
        ErrorKind kind = ErrorKind::kRuntime);

  const std::string& message() const { return message_; }
  const std::vector<std::string>& causes() const { return causes_; }
  ErrorKind kind() const { return kind_; }
  const std::string& backtrace() const { return backtrace_; }

  // Appends `cause` as the deepest cause of the chain. Returns *this.
  Error& caused_by(std::string cause);

  // Context that helps a user find the fault, such as the input line it lies
  // in. Kept apart from the message so that message texts stay fixed: the
  // binding shows each note under the message, and report() leaves them out.
  const std::vector<std::string>& notes() const { return notes_; }

  // Appends `note` after the notes already attached. Returns *this.
  Error& with_note(std::string note);

  // The report text shown to users: the message, then "\n\nCaused by:" and
  // the causes (one cause indented by four spaces; several numbered
  // "    0: ", "    1: " with continuation lines indented by seven), then
  // the backtrace if one was captured.
  std::string report() const;

 private:
  std::string message_;
  std::vector<std::string> causes_;
  std::vector<std::string> notes_;
  std::string backtrace_;  // Empty unless capture is switched on.
  ErrorKind kind_;
};

namespace internal {
// Panics (see `panic`) with "`accessor` called on " + `state`: a Result or
// Status read on the side it does not hold. Kept out of line so that the
// accessors stay a compare and a branch that is never taken.
// The "internal" namespace marks it as the accessors' own, not for callers.
[[noreturn]] void wrong_side(const char* accessor, const std::string& state,
                             std::source_location where);
}  // namespace internal

// Either a T or an Error. Deliberately small: callers test ok(), then take
// value() or error(). Taking the side that is not there is an internal
// failure: it panics, naming the accessor and, for value(), the error held.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  // REQUIRES: ok().
  T& value() & { return *std::get_if<0>(&checked(0)); }
  const T& value() const& { return *std::get_if<0>(&checked(0)); }
  T&& value() && { return std::move(*std::get_if<0>(&checked(0))); }

  // REQUIRES: !ok().
  Error& error() & { return *std::get_if<1>(&checked(1)); }
  const Error& error() const& { return *std::get_if<1>(&checked(1)); }
  Error&& error() && { return std::move(*std::get_if<1>(&checked(1))); }

 private:
  // The state, once it is known to hold side `index`. The check replaces the
  // one std::get would make, so it costs nothing on the path where it holds.
  std::variant<T, Error>& checked(std::size_t index) {
    if (state_.index() != index) [[unlikely]] {
      fail(index);
    }
    return state_;
  }
  const std::variant<T, Error>& checked(std::size_t index) const {
    if (state_.index() != index) [[unlikely]] {
      fail(index);
    }
    return state_;
  }
  [[noreturn]] void fail(
      std::size_t index,
      std::source_location where = std::source_location::current()) const {
    if (index == 0) {
      const Error* held = std::get_if<1>(&state_);
      internal::wrong_side(
          "Result::value()",
          "an error: " + (held ? held->message() : std::string("(none)")),
          where);
    }
    internal::wrong_side("Result::error()", "a value", where);
  }

  std::variant<T, Error> state_;
};

// Success or an Error, for operations without a value.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)) {}

  static Status Ok() { return Status(); }
  // Success costs no Error construction: the hot paths return it per line.
  bool ok() const { return !error_.has_value(); }
  explicit operator bool() const { return ok(); }
  // The error held. Panics on success, like Result::error().
  // REQUIRES: !ok().
  const Error& error() const& {
    if (!error_) [[unlikely]] {
      internal::wrong_side("Status::error()", "success",
                           std::source_location::current());
    }
    return *error_;
  }
  Error&& error() && {
    if (!error_) [[unlikely]] {
      internal::wrong_side("Status::error()", "success",
                           std::source_location::current());
    }
    return std::move(*error_);
  }

 private:
  std::optional<Error> error_;
};

// Thrown on a violated invariant. Carries the message and the place in the
// source where the failure was detected. Constructing one prints nothing;
// `panic` prints the diagnostic first.
class InternalFailure : public std::exception {
 public:
  InternalFailure(std::string message, std::source_location where);

  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const { return message_; }
  const std::source_location& where() const { return where_; }

 private:
  std::string message_;
  std::source_location where_;
};

// Writes "internal failure at FILE:LINE: MESSAGE" to standard error, then
// throws InternalFailure. Use only for states that correct code cannot reach.
[[noreturn]] void panic(
    std::string message,
    std::source_location where = std::source_location::current());

// True when QUORVEL_BACKTRACE asks for stack traces on core errors. The
// environment is read once per process.
bool backtrace_capture_enabled();

}  // namespace quorvel

#endif  // QUORVEL_BASE_ERROR_H_
