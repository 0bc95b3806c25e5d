// How an operation went: one value that every layer answers with. A failure carries its code,
// which reports print and scripts compare, and one line saying why, written where the failure
// happened (the file and the errno, the driver attribute, the place in a snapshot), so that the
// layer that ends the run can tell the administrator without asking anyone else. An operation
// that gives a value back answers a StatusOr<T>: the value, or the failure in its place.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace halvane {

// The codes of every failure, one set for the whole tool, compared for equality only; 0 is
// success. They are the device registry's statuses, which "Could not apply settings to the
// specified port (status 0x%08X)" prints and snapshots keep as an entry's "write-status"; a
// snapshot's driver may answer any other value, which travels unchanged.
using StatusCode = std::int32_t;

// No such device; permission denied; a value refused; not supported; an input/output error; no
// such data.
inline constexpr StatusCode kNoDevice = static_cast<StatusCode>(0xE00002C0);
inline constexpr StatusCode kNotPrivileged = static_cast<StatusCode>(0xE00002C1);
inline constexpr StatusCode kBadArgument = static_cast<StatusCode>(0xE00002C2);
inline constexpr StatusCode kUnsupported = static_cast<StatusCode>(0xE00002C7);
inline constexpr StatusCode kIoError = static_cast<StatusCode>(0xE00002CA);
inline constexpr StatusCode kNotFound = static_cast<StatusCode>(0xE00002F0);

class [[nodiscard]] Status {
 public:
  // Success, which costs nothing to make, copy or test.
  Status() = default;
  static Status Ok() { return Status(); }
  // A failure: code is not 0, reason one line saying why.
  static Status Error(StatusCode code, std::string reason) {
    Status s;
    s.state_ = std::make_shared<const State>(
        State{code == 0 ? kIoError : code, std::move(reason), 0, {}, 0});
    return s;
  }
  // A failure the system answered with errno error (ErrnoStatus makes them).
  static Status SystemError(StatusCode code, int error, std::string reason) {
    Status s;
    s.state_ = std::make_shared<const State>(
        State{code == 0 ? kIoError : code, std::move(reason), error, {}, 0});
    return s;
  }
  // The same failure as a read of path that failed: "path: " and the reason, with path kept apart
  // so that every output can name what could not be read and why, each in its own place.
  Status OfPath(std::string path) const {
    if (ok()) return *this;
    Status s;
    const std::string& why = message();
    s.state_ = std::make_shared<const State>(
        State{code(), path + ": " + why, error_number(), std::move(path), why.size()});
    return s;
  }

  bool ok() const { return state_ == nullptr; }
  StatusCode code() const { return state_ ? state_->code : 0; }
  // Why it failed; empty for success.
  const std::string& message() const {
    static const std::string kNone;
    return state_ ? state_->message : kNone;
  }
  // The errno the system answered, 0 when the failure is none of the system's.
  int error_number() const { return state_ ? state_->error : 0; }
  // For a read that failed (OfPath): what could not be read, and why without it; otherwise empty,
  // and the message.
  const std::string& path() const {
    static const std::string kNone;
    return state_ ? state_->path : kNone;
  }
  std::string_view reason() const {
    const std::string_view text = message();
    return state_ && !state_->path.empty() ? text.substr(text.size() - state_->reason_size) : text;
  }
  // A driver's answer that is a code alone, as a snapshot's entries give one: its reason is the
  // code in words, "status 0xE00002C7", which says nothing the code does not.
  static Status Answered(StatusCode code);
  bool SaysOnlyItsCode() const { return !ok() && message() == CodeText(code()); }
  // "status 0x%08X".
  static std::string CodeText(StatusCode code);

  // The same failure with its reason said of something: "host3: " and the reason.
  Status Of(std::string_view what) const {
    return ok() ? *this : SystemError(code(), error_number(), std::string(what) + ": " + message());
  }

 private:
  struct State {
    StatusCode code;
    std::string message;
    int error = 0;
    std::string path;
    std::size_t reason_size = 0;
  };
  std::shared_ptr<const State> state_;
};

inline std::string Status::CodeText(StatusCode code) {
  char text[24];
  std::snprintf(text, sizeof text, "status 0x%08X", static_cast<std::uint32_t>(code));
  return text;
}

inline Status Status::Answered(StatusCode code) { return Error(code, CodeText(code)); }

// A value, or the failure that stands in its place.
template <typename T>
class [[nodiscard]] StatusOr {
 public:
  template <typename U = T, typename = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                                        !std::is_same_v<std::decay_t<U>, Status> &&
                                                        !std::is_same_v<std::decay_t<U>, StatusOr>>>
  StatusOr(U&& value)  // NOLINT(google-explicit-constructor)
      : value_(std::in_place, std::forward<U>(value)) {}
  // A failure; a success given here is taken for one with no value, which is a failure too.
  StatusOr(Status failure)  // NOLINT(google-explicit-constructor)
      : status_(failure.ok() ? Status::Error(kIoError, "no value") : std::move(failure)) {}

  bool ok() const { return status_.ok(); }
  const Status& status() const { return status_; }

  // The value; only when ok().
  T& value() & { return *value_; }
  const T& value() const& { return *value_; }
  T&& value() && { return std::move(*value_); }
  T& operator*() & { return *value_; }
  const T& operator*() const& { return *value_; }
  T&& operator*() && { return std::move(*value_); }
  T* operator->() { return &*value_; }
  const T* operator->() const { return &*value_; }

 private:
  Status status_;
  std::optional<T> value_;
};

}  // namespace halvane
