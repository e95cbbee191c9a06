// The compiled module zelk_compiler._core; the package's __init__ re-exports
// it with the pure-Python parts.
#include <pybind11/pybind11.h>

#include <string>
#include <string_view>

#include "bindings.hpp"
#include "errors.hpp"
#include "zelk_compiler/debug.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_core, module) {
  module.doc() = "Ahead-of-time compiler for a tile-based processor (compiled part)";
  module.attr("__version__") = ZELK_VERSION;
  zelk_python::register_error_translation();
  // Classes and signatures name the package users import, zelk_compiler,
  // which re-exports every class; the module's own name comes back after.
  const py::object own_name = module.attr("__name__");
  const std::string name = own_name.cast<std::string>();
  module.attr("__name__") = name.substr(0, name.rfind('.'));
  // The library's quoting of a string, for CompileError's printed form.
  module.def("_quoted", [](std::string_view text) { return zelk_compiler::debug_string(text); });
  zelk_python::bind_graph(module);
  zelk_python::bind_planning(module);
  zelk_python::bind_compiler(module);
  zelk_python::bind_fit(module);
  zelk_python::bind_pipeline(module);
  zelk_python::bind_encoder(module);
  zelk_python::bind_evaluate(module);
  zelk_python::bind_precision(module);
#ifdef ZELK_PYTHON_ONNX
  zelk_python::bind_onnx(module);
#endif
  module.attr("__name__") = own_name;
}
