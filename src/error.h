// The one error type of the core: what kind of failure it was, and its text
// exactly as the system shows it ("io: Permission denied (os error 13)",
// "key not found", "codec: unexpected end of buffer").
//
// The kind is for callers that must tell failures apart (the Python layer
// picks its exception class by it); the text is for people. A layer that
// wraps a lower one's failure keeps the kind and puts its own word in front
// of the text (`in_context("io")`), as the texts have always read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace quillet {

enum class ErrorKind : std::uint8_t {
  NotFound,         // the key, record or field asked for is not there
  Corruption,       // the bytes of a file or value are not what a writer writes
  InvalidArgument,  // the caller asked for something that can never succeed
  ReadOnly,         // a write to something opened, or left, for reading only
  Io,               // the operating system refused, or a resource ran out
};

class Error {
 public:
  Error(ErrorKind kind, std::string text, int os_error = 0)
      : kind_(kind), os_error_(os_error), text_(std::move(text)) {}

  // An OS error as the system shows it: "Permission denied (os error 13)".
  static Error from_errno(int err);
  static Error io(std::string text) { return {ErrorKind::Io, std::move(text)}; }
  static Error corruption(std::string text) { return {ErrorKind::Corruption, std::move(text)}; }
  static Error invalid_argument(std::string text) { return {ErrorKind::InvalidArgument, std::move(text)}; }
  static Error read_only(std::string text) { return {ErrorKind::ReadOnly, std::move(text)}; }
  static Error not_found(std::string text) { return {ErrorKind::NotFound, std::move(text)}; }

  ErrorKind kind() const { return kind_; }
  bool is(ErrorKind kind) const { return kind_ == kind; }
  // errno for an OS error, 0 for the store's own texts.
  int os_error() const { return os_error_; }
  const std::string& text() const { return text_; }

  // The same failure with "<word>: " in front of its text.
  Error in_context(std::string_view word) const& { return Error(*this).in_context(word); }
  Error in_context(std::string_view word) && {
    text_.insert(0, std::string(word) + ": ");
    return std::move(*this);
  }

 private:
  ErrorKind kind_;
  int os_error_ = 0;
  std::string text_;
};

}  // namespace quillet
