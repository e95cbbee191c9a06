// Importing ONNX models (opsets 13 to 17) as zelk_compiler graphs with their
// weights.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include <zelk_compiler/evaluate.hpp>
#include <zelk_compiler/graph.hpp>
#include <zelk_compiler/stop.hpp>

namespace zelk_onnx {

// Extents for a model's symbolic dimensions, by name ("batch" -> 2).
using Dims = std::map<std::string, std::uint64_t, std::less<>>;

// An imported model. Tensor names are the model's value names, so a tensor
// of the schedule can be found in the model; a fused chain of nodes (GELU,
// layer normalisation) is one operation named after the chain's last output.
// `weights` holds a value for every weight tensor of `graph`: the
// initialisers and constants its operations read (constants of rank 0 as
// shape [1]), and the transposes made of Gemm weights.
struct OnnxModel {
  zelk_compiler::Graph graph;
  zelk_compiler::TensorValues weights;
  std::vector<std::string> inputs;   // the graph's inputs, in the model's order
  std::vector<std::string> outputs;  // the graph's outputs, in the model's order
};

// Reads an ONNX model file; initialisers stored as external data are read
// from files beside it. Every symbolic dimension of the model's inputs needs
// an extent in `dims`, and every entry of `dims` must name one. A file that
// is not a model of the supported operators, or whose contents disagree with
// themselves, is a CompileError (variant Graph) naming the file and the
// node, operator or dimension at fault; nothing partial is returned. A stop
// requested on `stop` throws zelk_compiler::Stopped before the next
// initialiser or node.
[[nodiscard]] zelk_compiler::Result<OnnxModel> load_onnx(const std::filesystem::path& file,
                                                         const Dims& dims = {},
                                                         const std::stop_token& stop = {});

// The same for a model's bytes already in memory. External data is read
// from `base_dir`; with an empty `base_dir` a model with external data is
// refused.
[[nodiscard]] zelk_compiler::Result<OnnxModel> import_onnx(std::span<const std::byte> bytes,
                                                           const Dims& dims,
                                                           const std::filesystem::path& base_dir,
                                                           const std::stop_token& stop = {});

// The ONNX operators the importer takes, in alphabetical order.
[[nodiscard]] std::span<const std::string_view> supported_operators();

// The initialiser a weight of an imported graph was made from, where the
// importer made it: a Gemm weight's transpose, named "<initialiser>:transposed"
// (or "..._2" and on where that name was taken). Messages about such a weight
// name the value as the model does. None for any other name.
[[nodiscard]] std::optional<std::string_view> initializer_of(std::string_view weight_name);

}  // namespace zelk_onnx
