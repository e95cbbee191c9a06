// NumPy arrays in and out: float32 arguments converted where no value changes,
// results handed over without a copy, and read-only views into records that
// Python owns.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zelk_python {

namespace py = pybind11;

using Float32Array = py::array_t<float, py::array::c_style>;

// `value` (an array or anything NumPy turns into one) as a C-ordered native
// float32 array. Other dtypes are converted only where every value stays
// exactly the same (float16, small integers, float64 values that float32
// holds exactly); otherwise TypeError names `what` and says how to convert.
// Another memory order or byte order is copied. The array is the caller's own
// where nothing had to change.
[[nodiscard]] Float32Array to_float32(py::handle value, std::string_view what);

// `array` must have `dimensions` axes; ValueError names `what` otherwise.
void require_dimensions(const py::array& array, py::ssize_t dimensions, std::string_view what);

// A float32 array of `shape` that takes over `values` without copying them.
[[nodiscard]] py::array take_float32(std::vector<float>&& values,
                                     const std::vector<std::uint64_t>& shape);

// `extent` as an array extent; ValueError where NumPy cannot hold it.
[[nodiscard]] py::ssize_t array_extent(std::uint64_t extent);

// A read-only one-dimensional view of `count` values of type T, the first at
// `first`, each `stride` bytes after the one before, kept alive by `owner`.
template <class T>
[[nodiscard]] py::array readonly_view(const T* first, std::size_t count, std::size_t stride,
                                      py::handle owner) {
  const py::ssize_t length = array_extent(count);
  py::array view = count == 0
                       ? py::array_t<T>(0)
                       : py::array_t<T>({length}, {static_cast<py::ssize_t>(stride)}, first, owner);
  view.attr("setflags")(py::arg("write") = false);
  return view;
}

}  // namespace zelk_python
