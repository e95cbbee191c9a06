// Uses the installed ONNX importer: imports the model named on the command
// line and compiles it.
#include <iostream>

#include <zelk_compiler/lib.hpp>
#include <zelk_onnx/onnx.hpp>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: app MODEL.onnx\n";
    return 2;
  }
  const auto model = zelk_onnx::load_onnx(argv[1]);
  if (!model) {
    std::cerr << model.error() << '\n';
    return 1;
  }
  const auto schedule = zelk_compiler::compile(model->graph, zelk_compiler::CompilerOptions{});
  std::cout << "onnx consumer: " << model->graph.ops.size() << " operations, "
            << (schedule ? "compiled" : "not compiled") << '\n';
  return schedule ? 0 : 1;
}
