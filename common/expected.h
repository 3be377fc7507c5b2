// A value-or-error result. Every stage of the core returns one of these; errors
// become exceptions only at the Python boundary.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace tamsel {

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>{std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  // Implicit, as in std::expected.
  Expected(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class G>
  // Implicit, as in std::expected.
  Expected(Unexpected<G> error) : state_(std::in_place_index<1>, std::move(error.error)) {}

  [[nodiscard]] bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  const T& value() const& {
    assert(has_value());
    return *std::get_if<0>(&state_);
  }
  T&& value() && {
    assert(has_value());
    return std::move(*std::get_if<0>(&state_));
  }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  E& error() & {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  const E& error() const& {
    assert(!has_value());
    return *std::get_if<1>(&state_);
  }
  E&& error() && {
    assert(!has_value());
    return std::move(*std::get_if<1>(&state_));
  }

 private:
  std::variant<T, E> state_;
};

}  // namespace tamsel
