// Translation of the library's errors and standard exceptions into Python's.
#include "errors.hpp"

#include <exception>
#include <string>

#include "convert.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_python {

CompileErrorRaised::CompileErrorRaised(zelk_compiler::CompileError error)
    : std::runtime_error(error.message), error_(std::move(error)) {}

void unwrap(zelk_compiler::Result<void>&& result) {
  if (!result) {
    throw CompileErrorRaised(std::move(result).error());
  }
}

namespace {

void raise_compile_error(const zelk_compiler::CompileError& error) {
  try {
    const py::object type = py::module_::import("zelk_compiler._errors").attr("CompileError");
    // A message may quote a file's bytes or a path that are not UTF-8.
    const py::object instance =
        type(zelk_compiler::debug_string(error.kind), lenient_str(error.message));
    PyErr_SetObject(type.ptr(), instance.ptr());
  } catch (py::error_already_set& failure) {
    failure.restore();
  }
}

}  // namespace

void register_error_translation() {
  // pybind11 already maps std::invalid_argument and std::length_error to
  // ValueError and std::out_of_range to IndexError; an overflowing size is a
  // broken precondition too, not an arithmetic error of the caller's.
  // The translator's signature is pybind11's: the pointer by value.
  // NOLINTNEXTLINE(performance-unnecessary-value-param)
  py::register_exception_translator([](std::exception_ptr raised) {
    try {
      if (raised) {
        std::rethrow_exception(raised);
      }
    } catch (const CompileErrorRaised& raised_error) {
      raise_compile_error(raised_error.error());
    } catch (const std::overflow_error& overflow) {
      PyErr_SetString(PyExc_ValueError, overflow.what());
    }
  });
}

}  // namespace zelk_python
