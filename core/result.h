// A value or an error, the way every core operation reports failure.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tallmap {

// An error as a value: an operating-system error number (0 when the error is
// one of the program's own) and a message for people.
struct Error {
  int code = 0;
  std::string text;
};

template <class T, class E = Error>
class Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  E& error() { return std::get<1>(v_); }
  const E& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, E> v_;
};

}  // namespace tallmap
