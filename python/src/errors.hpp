// Library errors on their way to Python: `unwrap` turns a failed Result into
// zelk_compiler.CompileError, and the standard exceptions of broken
// preconditions become ValueError or IndexError.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <utility>

#include "zelk_compiler/error.hpp"

namespace zelk_python {

namespace py = pybind11;

// Carries a CompileError out of a binding; the translator raises it in Python.
class CompileErrorRaised : public std::runtime_error {
 public:
  explicit CompileErrorRaised(zelk_compiler::CompileError error);
  [[nodiscard]] const zelk_compiler::CompileError& error() const { return error_; }

 private:
  zelk_compiler::CompileError error_;
};

template <class T>
[[nodiscard]] T unwrap(zelk_compiler::Result<T>&& result) {
  if (!result) {
    throw CompileErrorRaised(std::move(result).error());
  }
  return std::move(*result);
}

void unwrap(zelk_compiler::Result<void>&& result);

void register_error_translation();

}  // namespace zelk_python
