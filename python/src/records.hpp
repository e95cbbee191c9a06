// What every bound record shares: `==` with the library's equality, the
// library's printed form as repr, and copies through the copy module.
#pragma once

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>

#include <string>

#include "zelk_compiler/debug.hpp"

namespace zelk_python {

namespace py = pybind11;

template <class T, class... Options>
py::class_<T, Options...>& value_record(py::class_<T, Options...>& record) {
  record
      .def(py::self == py::self)  // NOLINT(misc-redundant-expression)
      .def("__repr__", [](const T& value) { return zelk_compiler::debug_string(value); })
      .def("__copy__", [](const T& value) { return value; })
      .def(
          "__deepcopy__", [](const T& value, const py::dict&) { return value; }, py::arg("memo"));
  return record;
}

// An enum whose repr is the library's printed form ("Input", "Rows").
template <class E>
void print_enum_as_library(py::enum_<E>& values) {
  values.attr("__repr__") =
      py::cpp_function([](E value) { return zelk_compiler::debug_string(value); },
                       py::name("__repr__"), py::is_method(values));
}

}  // namespace zelk_python
