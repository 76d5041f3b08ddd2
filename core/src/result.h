// Internal: how the core reports a failure. Every core call returns a Result
// or a Status; none prints and none throws.
#ifndef QARVEL_RESULT_H
#define QARVEL_RESULT_H

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace qarvel {

// The step that failed, for callers that act on it; the message is for people.
enum class Fault {
  kArgument,  // a pointer, size, step or format the call cannot take
  kNoData,    // an empty input
  kInit,      // no TurboJPEG handle
  kHeader,    // no readable JPEG header, or a header without a frame
  kTooLarge,  // a size or product past what the call can hold
  kAlloc,     // no memory
  kDecode,
  kEncode,
  kOpen,
  kSize,      // the file's size cannot be learnt (a pipe)
  kRead,
  kWrite,
  kResample,
};

struct Error {
  Fault fault;
  std::string message;
};

// A value, or the Error that kept the call from making one.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) noexcept : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) noexcept : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return ok(); }
  T& operator*() noexcept { return *std::get_if<0>(&state_); }
  const T& operator*() const noexcept { return *std::get_if<0>(&state_); }
  T* operator->() noexcept { return std::get_if<0>(&state_); }
  const T* operator->() const noexcept { return std::get_if<0>(&state_); }
  const Error& error() const noexcept { return *std::get_if<1>(&state_); }

 private:
  std::variant<T, Error> state_;
};

// Success, or the Error of a call that makes no value.
class [[nodiscard]] Status {
 public:
  Status() noexcept = default;
  Status(Error error) noexcept : error_(std::move(error)) {}

  bool ok() const noexcept { return !error_; }
  explicit operator bool() const noexcept { return ok(); }
  const Error& error() const noexcept { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace qarvel

#endif
