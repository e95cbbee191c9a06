// Reading ONNX tensors (initialisers and Constant values), from the model's
// bytes or from external data beside the model file.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <zelk_compiler/graph.hpp>

#include <onnx/onnx_pb.h>

#include "host_tensor.hpp"

namespace zelk_onnx::detail {

// The name of an ONNX data type code ("FLOAT16", or "type 99" for a code
// that names none).
[[nodiscard]] std::string data_type_name(std::int32_t data_type);

// The element type of the graph's tensors an ONNX data type code stands
// for, if the graph has one.
[[nodiscard]] std::optional<zelk_compiler::DType> graph_element_type(std::int32_t data_type);

// The element type an ONNX data type code stands for, or an error naming the
// type when the importer does not hold values of it.
[[nodiscard]] zelk_compiler::Result<ElementType> element_type(std::int32_t data_type);

// The element type and shape `tensor` declares, checked: a known type, no
// negative dimension, a rank within kMaxRank, an element count within 64 bits.
[[nodiscard]] zelk_compiler::Result<std::pair<ElementType, Shape>> declared_type(
    const onnx::TensorProto& tensor);

// Where external data lies: a file inside the model's directory and an offset.
struct ExternalRange {
  std::filesystem::path file;
  std::uint64_t offset = 0;
};

// A tensor's declared type and shape, and where its values are.
struct StoredTensor {
  ElementType type = ElementType::Float;
  Shape shape;
  std::uint64_t bytes = 0;  // of the stored values
  std::optional<ExternalRange> external;
};

// Checks that the values stored for `tensor` match its declared type and
// shape exactly: raw bytes, typed entries, or external data of exactly that
// size. External data must lie in a file inside `directory` (absolute paths,
// ".." and links leading elsewhere are refused) that holds those bytes;
// without a directory a tensor stored outside is refused. Reads no values.
[[nodiscard]] zelk_compiler::Result<StoredTensor> check_tensor(
    const onnx::TensorProto& tensor, const std::optional<std::filesystem::path>& directory);

// The values of `tensor`, after `check_tensor`. Nothing is allocated beyond
// what the bytes present hold.
[[nodiscard]] zelk_compiler::Result<HostTensor> read_tensor(
    const onnx::TensorProto& tensor, const std::optional<std::filesystem::path>& directory);

}  // namespace zelk_onnx::detail
