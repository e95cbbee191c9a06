// The .npy reader and the model builder of the importer's tests.
#include "onnx_test_support.hpp"

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zelk_onnx::test_support {

std::filesystem::path fixture_dir() { return ZELK_ONNX_FIXTURES; }

std::string read_file(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + file.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::byte> as_bytes(const std::string& text) {
  const auto* begin = reinterpret_cast<const std::byte*>(text.data());
  return {begin, begin + text.size()};
}

NpyArray read_npy(const std::filesystem::path& file) {
  const std::string data = read_file(file);
  // Magic, version 1.0, a two-byte header length, then a Python dict.
  if (data.size() < 10 || data.compare(0, 6, "\x93NUMPY") != 0 || data[6] != 1) {
    throw std::runtime_error(file.string() + ": not a version 1 .npy file");
  }
  const std::size_t header_size =
      static_cast<unsigned char>(data[8]) +
      static_cast<std::size_t>(static_cast<unsigned char>(data[9])) * 256;
  const std::string header = data.substr(10, header_size);
  const std::string shape_key = "'shape': (";
  const std::size_t shape_at = header.find(shape_key);
  if (header.find("'descr': '<f4'") == std::string::npos ||
      header.find("'fortran_order': False") == std::string::npos || shape_at == std::string::npos) {
    throw std::runtime_error(file.string() + ": not a float32 array in C order");
  }
  NpyArray array;
  std::uint64_t count = 1;
  std::istringstream extents(header.substr(shape_at + shape_key.size()));
  std::uint64_t extent = 0;
  char separator = 0;
  while (extents >> extent) {
    array.shape.push_back(extent);
    count *= extent;
    if (!(extents >> separator) || separator != ',') {
      break;
    }
  }
  const std::size_t begin = 10 + header_size;
  if (data.size() - begin != count * sizeof(float)) {
    throw std::runtime_error(file.string() + ": size does not match its shape");
  }
  array.values.resize(count);
  std::memcpy(array.values.data(), data.data() + begin, count * sizeof(float));
  return array;
}

ModelBuilder::ModelBuilder(std::int64_t opset) {
  model_.set_ir_version(8);
  auto* import = model_.add_opset_import();
  import->set_domain("");
  import->set_version(opset);
  model_.mutable_graph()->set_name("test");
}

ModelBuilder& ModelBuilder::input(std::string_view name, std::vector<std::int64_t> dims,
                                  std::vector<std::string> symbols) {
  auto* info = model_.mutable_graph()->add_input();
  info->set_name(std::string(name));
  auto* tensor = info->mutable_type()->mutable_tensor_type();
  tensor->set_elem_type(onnx::TensorProto_DataType_FLOAT);
  auto* shape = tensor->mutable_shape();
  for (std::size_t i = 0; i < dims.size(); ++i) {
    auto* dim = shape->add_dim();
    if (dims[i] < 0) {
      dim->set_dim_param(symbols.at(i));
    } else {
      dim->set_dim_value(dims[i]);
    }
  }
  return *this;
}

ModelBuilder& ModelBuilder::initializer(std::string_view name, std::vector<std::int64_t> dims,
                                        std::vector<float> values) {
  auto* tensor = model_.mutable_graph()->add_initializer();
  tensor->set_name(std::string(name));
  tensor->set_data_type(onnx::TensorProto_DataType_FLOAT);
  for (const std::int64_t dim : dims) {
    tensor->add_dims(dim);
  }
  tensor->set_raw_data(values.data(), values.size() * sizeof(float));
  return *this;
}

ModelBuilder& ModelBuilder::int_initializer(std::string_view name, std::vector<std::int64_t> dims,
                                            std::vector<std::int64_t> values) {
  auto* tensor = model_.mutable_graph()->add_initializer();
  tensor->set_name(std::string(name));
  tensor->set_data_type(onnx::TensorProto_DataType_INT64);
  for (const std::int64_t dim : dims) {
    tensor->add_dims(dim);
  }
  for (const std::int64_t value : values) {
    tensor->add_int64_data(value);
  }
  return *this;
}

ModelBuilder& ModelBuilder::scalar(std::string_view name, float value) {
  auto& constant = node("Constant", {}, {name});
  auto* attribute = constant.add_attribute();
  attribute->set_name("value");
  attribute->set_type(onnx::AttributeProto_AttributeType_TENSOR);
  attribute->mutable_t()->set_data_type(onnx::TensorProto_DataType_FLOAT);
  attribute->mutable_t()->add_float_data(value);
  return *this;
}

onnx::NodeProto& ModelBuilder::node(std::string_view op_type,
                                    std::initializer_list<std::string_view> inputs,
                                    std::initializer_list<std::string_view> outputs) {
  auto* node = model_.mutable_graph()->add_node();
  node->set_op_type(std::string(op_type));
  // Appended piece by piece: g++ 12 at -O3 warns falsely (-Wrestrict) about
  // a literal added to a temporary string.
  std::string name = "/";
  name.append(op_type).append("_").append(std::to_string(model_.graph().node_size() - 1));
  node->set_name(name);
  for (const std::string_view input : inputs) {
    node->add_input(std::string(input));
  }
  for (const std::string_view output : outputs) {
    node->add_output(std::string(output));
  }
  return *node;
}

ModelBuilder& ModelBuilder::output(std::string_view name) {
  model_.mutable_graph()->add_output()->set_name(std::string(name));
  return *this;
}

std::vector<std::byte> ModelBuilder::bytes() const { return as_bytes(model_.SerializeAsString()); }

void set_int(onnx::NodeProto& node, std::string_view name, std::int64_t value) {
  auto* attribute = node.add_attribute();
  attribute->set_name(std::string(name));
  attribute->set_type(onnx::AttributeProto_AttributeType_INT);
  attribute->set_i(value);
}

void set_ints(onnx::NodeProto& node, std::string_view name, std::vector<std::int64_t> values) {
  auto* attribute = node.add_attribute();
  attribute->set_name(std::string(name));
  attribute->set_type(onnx::AttributeProto_AttributeType_INTS);
  for (const std::int64_t value : values) {
    attribute->add_ints(value);
  }
}

void set_float(onnx::NodeProto& node, std::string_view name, float value) {
  auto* attribute = node.add_attribute();
  attribute->set_name(std::string(name));
  attribute->set_type(onnx::AttributeProto_AttributeType_FLOAT);
  attribute->set_f(value);
}

}  // namespace zelk_onnx::test_support
