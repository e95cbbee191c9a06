// Conversions of Python arguments into the library's integers and lists, with
// errors that name the argument: TypeError for a value of the wrong type,
// ValueError for an integer outside the field's range.
#pragma once

#include <pybind11/pybind11.h>

#include <concepts>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace zelk_python {

namespace py = pybind11;

// Any integer of 64 bits or fewer without sign: Python ints and anything with
// __index__ (NumPy integers), never floats.
[[nodiscard]] std::uint64_t to_u64(py::handle value, std::string_view what);

// `value` itself, or ValueError naming `what` where it is above `maximum`.
[[nodiscard]] std::uint64_t check_at_most(std::uint64_t value, std::uint64_t maximum,
                                          std::string_view what);

// `value` as a T, or ValueError naming `what` and T's largest value.
template <std::unsigned_integral T>
[[nodiscard]] T to_unsigned(py::handle value, std::string_view what) {
  return static_cast<T>(check_at_most(to_u64(value, what), std::numeric_limits<T>::max(), what));
}

// A list, tuple or other sequence of such integers (a shape, a permutation).
[[nodiscard]] std::vector<std::uint64_t> to_u64_list(py::handle value, std::string_view what);

// The Python name of `value`'s type, for messages.
[[nodiscard]] std::string type_name(py::handle value);

}  // namespace zelk_python
