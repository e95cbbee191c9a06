// Test support for the importer: the fixture files, a reader of NumPy's
// .npy float32 arrays, and a small builder of ONNX models in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include <onnx/onnx_pb.h>

namespace zelk_onnx::test_support {

// The directory holding the committed fixtures (scripts/onnx-fixtures).
[[nodiscard]] std::filesystem::path fixture_dir();

struct NpyArray {
  std::vector<std::uint64_t> shape;
  std::vector<float> values;
};

// A little-endian float32 array in C order; throws std::runtime_error for
// anything else.
[[nodiscard]] NpyArray read_npy(const std::filesystem::path& file);

[[nodiscard]] std::string read_file(const std::filesystem::path& file);
[[nodiscard]] std::vector<std::byte> as_bytes(const std::string& text);

// A model built node by node, with opset 17 unless told otherwise.
class ModelBuilder {
 public:
  explicit ModelBuilder(std::int64_t opset = 17);

  // A float input; an extent of -1 stands for the symbolic dimension named
  // in `symbols` at the same position.
  ModelBuilder& input(std::string_view name, std::vector<std::int64_t> dims,
                      std::vector<std::string> symbols = {});
  ModelBuilder& initializer(std::string_view name, std::vector<std::int64_t> dims,
                            std::vector<float> values);
  ModelBuilder& int_initializer(std::string_view name, std::vector<std::int64_t> dims,
                                std::vector<std::int64_t> values);
  ModelBuilder& scalar(std::string_view name, float value);  // a Constant node
  onnx::NodeProto& node(std::string_view op_type, std::initializer_list<std::string_view> inputs,
                        std::initializer_list<std::string_view> outputs);
  ModelBuilder& output(std::string_view name);

  [[nodiscard]] onnx::ModelProto& model() { return model_; }
  [[nodiscard]] std::vector<std::byte> bytes() const;

 private:
  onnx::ModelProto model_;
};

void set_int(onnx::NodeProto& node, std::string_view name, std::int64_t value);
void set_ints(onnx::NodeProto& node, std::string_view name, std::vector<std::int64_t> values);
void set_float(onnx::NodeProto& node, std::string_view name, float value);

}  // namespace zelk_onnx::test_support
