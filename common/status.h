#pragma once

#include <string>
#include <utility>

namespace quilltap {

/// The outcome of a call that can fail: ok, or what went wrong in words a
/// user can read. Every fallible call returns one; only the entry of the
/// program turns a failed start into an "error" event and exit status 1.
class [[nodiscard]] Status {
 public:
  Status() = default;

  /// A failure described by `message`.
  static Status error(std::string message) { return Status(std::move(message), {}); }
  /// A system call's failure: "context: description", e.g. "take/01 Kick.wav:
  /// No space left on device"; the description alone stays available.
  static Status posix(const std::string& context, int error);

  bool ok() const { return !failed_; }
  /// The whole message; empty when ok.
  const std::string& message() const { return message_; }
  /// The failure without its context: the system's own words for a system
  /// call, else the whole message.
  const std::string& description() const { return description_.empty() ? message_ : description_; }

 private:
  Status(std::string message, std::string description)
      : failed_(true), message_(std::move(message)), description_(std::move(description)) {}

  bool failed_ = false;
  std::string message_;
  std::string description_;
};

}  // namespace quilltap
