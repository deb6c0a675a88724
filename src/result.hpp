// Result<T, E>: a value or an error, the way every fallible operation reports.
//
// A small stand-in for std::expected, which the clang used for fuzzing cannot
// compile with this standard library; the interface is the same subset.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace vesk {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  Result(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const { return v_.index() == 0; }
  explicit operator bool() const { return has_value(); }

  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

// Result<void, E>: success carries nothing.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class G>
  Result(Unexpected<G> u) : err_(std::move(u.error)) {}

  bool has_value() const { return !err_.has_value(); }
  explicit operator bool() const { return has_value(); }
  E& error() & { return *err_; }
  const E& error() const& { return *err_; }
  E&& error() && { return std::move(*err_); }

 private:
  std::optional<E> err_;
};

}  // namespace vesk
