// The pieces of the module, each adding its classes and functions to it.
#pragma once

#include <pybind11/pybind11.h>

namespace zelk_python {

namespace py = pybind11;

void bind_graph(py::module_& module);
void bind_planning(py::module_& module);
void bind_compiler(py::module_& module);
void bind_fit(py::module_& module);
void bind_pipeline(py::module_& module);
void bind_encoder(py::module_& module);
void bind_evaluate(py::module_& module);
void bind_precision(py::module_& module);
void bind_onnx(py::module_& module);

}  // namespace zelk_python
