// Models the importer refuses, each with a message that names what is wrong
// and where; nothing is returned but the error.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

#include <zelk_onnx/onnx.hpp>

#include "onnx_test_support.hpp"

namespace zelk_onnx {
namespace {

namespace zc = zelk_compiler;
using test_support::ModelBuilder;
using test_support::set_float;
using test_support::set_int;

// A model whose input x [2, 4] flows through `body` into output y.
ModelBuilder with_body(const std::function<void(ModelBuilder&)>& body, std::int64_t opset = 17) {
  ModelBuilder model(opset);
  model.input("x", {2, 4});
  body(model);
  model.output("y");
  return model;
}

struct BadModel {
  std::string name;
  std::function<ModelBuilder()> build;
  Dims dims;
  std::string message;  // a part of the expected message
};

std::vector<BadModel> bad_models() {
  const std::vector<float> sixteen(16, 1.0F);
  return {
      {"UnsupportedOperator",
       [] { return with_body([](ModelBuilder& m) { m.node("Conv", {"x"}, {"y"}); }); },
       {},
       "ONNX model: node '/Conv_0' (Conv): unsupported operator; supported: Add, Cast, Concat"},
      {"OperatorOfAnotherDomain",
       [] {
         return with_body(
             [](ModelBuilder& m) { m.node("Relu", {"x"}, {"y"}).set_domain("com.example"); });
       },
       {},
       "(Relu): unsupported operator of domain 'com.example'"},
      {"OpsetTooOld",
       [] { return with_body([](ModelBuilder& m) { m.node("Relu", {"x"}, {"y"}); }, 12); },
       {},
       "ONNX model: opset 12 is not supported (13 to 17 are)"},
      {"OpsetImportedTwiceInTwoVersions",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); }, 13);
         auto* second = m.model().add_opset_import();
         second->set_domain("ai.onnx");
         second->set_version(17);
         return m;
       },
       {},
       "ONNX model: the model imports the ONNX opset twice, as versions 13 and 17"},
      {"InputWhoseBytesOverflow",
       [] {
         ModelBuilder m;
         m.input("x", {std::int64_t{1} << 31, std::int64_t{1} << 31});
         m.node("Relu", {"x"}, {"y"});
         return m.output("y");
       },
       {},
       "ONNX model: tensor 'x' of shape [2147483648, 2147483648] has 4611686018427387904 "
       "elements of 4 bytes, more bytes than 64 bits count"},
      {"InputWhoseElementsOverflow",
       [] {
         ModelBuilder m;
         m.input("x", {std::int64_t{1} << 32, std::int64_t{1} << 32});
         m.node("Relu", {"x"}, {"y"});
         return m.output("y");
       },
       {},
       "ONNX model: tensor 'x' of shape [4294967296, 4294967296] has more elements than 64 bits "
       "count"},
      {"OpsetTooNew",
       [] { return with_body([](ModelBuilder& m) { m.node("Relu", {"x"}, {"y"}); }, 18); },
       {},
       "opset 18 is not supported"},
      {"UnboundDimension",
       [] {
         ModelBuilder m;
         m.input("x", {-1, 4}, {"batch", ""});
         m.node("Relu", {"x"}, {"y"});
         return m.output("y");
       },
       {},
       "symbolic dimension 'batch' (input 'x' axis 0) is not bound to an extent"},
      {"EveryUnboundDimensionAtOnce",
       [] {
         ModelBuilder m;
         m.input("x", {-1, -1, 4}, {"batch", "sequence", ""});
         m.input("mask", {-1, -1, -1}, {"batch", "heads", "keys"});
         m.node("Relu", {"x"}, {"y"});
         return m.output("y");
       },
       {{"keys", 8}},
       "symbolic dimensions 'batch' (input 'x' axis 0), 'sequence' (input 'x' axis 1) and "
       "'heads' (input 'mask' axis 1) are not bound to an extent"},
      {"DimensionTheModelDoesNotHave",
       [] {
         ModelBuilder m;
         m.input("x", {-1, 4}, {"batch", ""});
         m.node("Relu", {"x"}, {"y"});
         return m.output("y");
       },
       {{"batch", 2}, {"sequence", 8}},
       "dimension 'sequence' is not a symbolic dimension of the model's inputs"},
      {"RawDataShorterThanItsShape",
       [] {
         return with_body([](ModelBuilder& m) {
           m.initializer("w", {4, 4}, std::vector<float>(8, 1.0F));
           m.node("MatMul", {"x", "w"}, {"y"});
         });
       },
       {},
       "tensor 'w': raw data of 32 bytes for shape [4, 4] of 64 bytes"},
      {"UnusedInitializerThatIsInconsistent",
       [] {
         return with_body([](ModelBuilder& m) {
           m.initializer("unused", {3}, std::vector<float>(2, 1.0F));
           m.node("Relu", {"x"}, {"y"});
         });
       },
       {},
       "tensor 'unused': raw data of 8 bytes"},
      {"TypedEntriesMissing",
       [] {
         return with_body([](ModelBuilder& m) {
           m.int_initializer("shape", {2}, {8});
           m.node("Reshape", {"x", "shape"}, {"y"});
         });
       },
       {},
       "tensor 'shape': 1 values for 2 elements"},
      // Float32 bytes written for a 16-bit tensor, and int32_data short by one.
      {"SixteenBitRawDataOfFloatLength",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); });
         auto* tensor = m.model().mutable_graph()->add_initializer();
         tensor->set_name("h");
         tensor->set_data_type(onnx::TensorProto_DataType_BFLOAT16);
         tensor->add_dims(2);
         tensor->set_raw_data(std::string(8, '\0'));
         return m;
       },
       {},
       "ONNX model: tensor 'h': raw data of 8 bytes for shape [2] of 4 bytes"},
      {"SixteenBitTypedEntriesMissing",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); });
         auto* tensor = m.model().mutable_graph()->add_initializer();
         tensor->set_name("h");
         tensor->set_data_type(onnx::TensorProto_DataType_FLOAT16);
         tensor->add_dims(2);
         tensor->add_int32_data(0x3C00);
         return m;
       },
       {},
       "ONNX model: tensor 'h': 1 values for 2 elements"},
      {"UnsupportedElementType",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); });
         auto* tensor = m.model().mutable_graph()->add_initializer();
         tensor->set_name("d");
         tensor->set_data_type(onnx::TensorProto_DataType_DOUBLE);
         return m;
       },
       {},
       "tensor 'd': element type DOUBLE is not supported"},
      {"IntegerInput",
       [] {
         ModelBuilder m;
         m.input("ids", {2, 4});
         m.model()
             .mutable_graph()
             ->mutable_input(0)
             ->mutable_type()
             ->mutable_tensor_type()
             ->set_elem_type(onnx::TensorProto_DataType_DOUBLE);
         m.node("Relu", {"ids"}, {"y"});
         return m.output("y");
       },
       {},
       "input 'ids' has element type DOUBLE; FLOAT, FLOAT16, BFLOAT16, INT64 and INT32 inputs "
       "and outputs are supported"},
      {"ValueReadBeforeItIsDefined",
       [] {
         return with_body([](ModelBuilder& m) {
           m.node("Add", {"x", "later"}, {"y"});
           m.node("Relu", {"x"}, {"later"});
         });
       },
       {},
       "node '/Add_0' (Add): input 'later' is not defined before this node"},
      {"ValueDefinedTwice",
       [] {
         return with_body([](ModelBuilder& m) {
           m.node("Relu", {"x"}, {"y"});
           m.node("Tanh", {"x"}, {"y"});
         });
       },
       {},
       "node '/Tanh_1' (Tanh): value 'y' is defined twice"},
      {"OutputNothingComputes",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); });
         return m.output("z");
       },
       {},
       "output 'z' is not computed by the graph"},
      {"ReshapeToAComputedShape",
       [] { return with_body([](ModelBuilder& m) {
              m.node("Reshape", {"x", "x"}, {"y"});
            }); },
       {},
       "(Reshape): shape 'x' is computed by the graph; it must be known at import"},
      {"SliceWithAStep",
       [] {
         return with_body([](ModelBuilder& m) {
           m.int_initializer("starts", {1}, {0});
           m.int_initializer("ends", {1}, {4});
           m.int_initializer("axes", {1}, {1});
           m.int_initializer("steps", {1}, {2});
           m.node("Slice", {"x", "starts", "ends", "axes", "steps"}, {"y"});
         });
       },
       {},
       "(Slice): step 2; only step 1 is supported"},
      {"EmptySlice",
       [] {
         return with_body([](ModelBuilder& m) {
           m.int_initializer("starts", {1}, {3});
           m.int_initializer("ends", {1}, {1});
           m.node("Slice", {"x", "starts", "ends"}, {"y"});
         });
       },
       {},
       "the slice [2, 2) of axis 0 of [2, 4] is empty"},
      {"LayerNormalizationOverTwoAxes",
       [] {
         return with_body([](ModelBuilder& m) {
           m.initializer("gain", {2, 4}, std::vector<float>(8, 1.0F));
           set_int(m.node("LayerNormalization", {"x", "gain"}, {"y"}), "axis", 0);
         });
       },
       {},
       "normalises from axis 0 of [2, 4]; only the last axis is supported"},
      {"LayerNormalizationStatisticsOutput",
       [] {
         return with_body([](ModelBuilder& m) {
           m.initializer("gain", {4}, std::vector<float>(4, 1.0F));
           m.node("LayerNormalization", {"x", "gain"}, {"y", "mean"});
         });
       },
       {},
       "(LayerNormalization): output 1 ('mean') is not supported"},
      {"BuilderMisfitIsReportedAtItsNode",
       [sixteen] {
         return with_body([&](ModelBuilder& m) {
           m.initializer("w", {2, 8}, std::vector<float>(sixteen));
           m.node("MatMul", {"x", "w"}, {"y"});
         });
       },
       {},
       "node '/MatMul_0' (MatMul): y: incompatible matmul [2, 4] x [2, 8]"},
      {"GatherOfComputedIndices",
       [] { return with_body([](ModelBuilder& m) {
              m.node("Gather", {"x", "x"}, {"y"});
            }); },
       {},
       "(Gather): y: gather takes integer ids, not F32"},
      {"FoldBeyondTheLimit",
       [] {
         return with_body([](ModelBuilder& m) {
           m.int_initializer("huge", {2}, {1 << 20, 1 << 20});
           m.node("ConstantOfShape", {"huge"}, {"filled"});
           m.node("Add", {"x", "filled"}, {"y"});
         });
       },
       {},
       "(ConstantOfShape): folding needs 4398046511104 bytes for the FLOAT result of shape "
       "[1048576, 1048576]"},
      {"IntegerOverflowInShapeArithmetic",
       [] {
         return with_body([](ModelBuilder& m) {
           m.int_initializer("big", {1}, {std::numeric_limits<std::int64_t>::max()});
           m.node("Mul", {"big", "big"}, {"square"});
           m.node("Reshape", {"x", "square"}, {"y"});
         });
       },
       {},
       "(Mul): integer overflow in Mul"},
      {"DropoutInTrainingMode",
       [] {
         return with_body([](ModelBuilder& m) {
           m.initializer("ratio", {}, {0.5F});
           auto* training = m.model().mutable_graph()->add_initializer();
           training->set_name("training");
           training->set_data_type(onnx::TensorProto_DataType_BOOL);
           training->add_int32_data(1);
           m.node("Dropout", {"x", "ratio", "training"}, {"y"});
         });
       },
       {},
       "(Dropout): training mode is not supported"},
      {"OutputOfAnotherShapeThanDeclared",
       [] {
         auto m = with_body([](ModelBuilder& b) { b.node("Relu", {"x"}, {"y"}); });
         auto* dims = m.model()
                          .mutable_graph()
                          ->mutable_output(0)
                          ->mutable_type()
                          ->mutable_tensor_type()
                          ->mutable_shape();
         dims->add_dim()->set_dim_value(4);
         dims->add_dim()->set_dim_value(2);
         return m;
       },
       {},
       "output 'y' has shape [2, 4], not the declared [4, 2]"},
      {"NodeWithoutOutputs",
       [] {
         return with_body([](ModelBuilder& m) {
           m.node("Relu", {"x"}, {});
           m.node("Relu", {"x"}, {"y"});
         });
       },
       {},
       "node '/Relu_0' (Relu): no outputs"},
      {"ConstantWithoutOutputs",
       [] {
         return with_body([](ModelBuilder& m) {
           set_float(m.node("Constant", {}, {}), "value_float", 1.0F);
           m.node("Relu", {"x"}, {"y"});
         });
       },
       {},
       "node '/Constant_0' (Constant): no outputs"},
      {"NoGraph", [] { return ModelBuilder(); }, {}, "graph has no outputs"},
  };
}

void PrintTo(const BadModel& model, std::ostream* out) { *out << model.name; }

class Refused : public testing::TestWithParam<BadModel> {};

TEST_P(Refused, WithAMessageNamingTheFault) {
  const auto model = GetParam().build();
  const auto imported = import_onnx(model.bytes(), GetParam().dims, {});
  ASSERT_FALSE(imported);
  EXPECT_EQ(imported.error().kind, zc::CompileError::Kind::Graph);
  EXPECT_NE(imported.error().message.find(GetParam().message), std::string::npos)
      << imported.error().message;
  EXPECT_EQ(imported.error().message.rfind("ONNX model: ", 0), 0U) << imported.error().message;
}

std::string bad_model_name(const testing::TestParamInfo<BadModel>& param) {
  return param.param.name;
}

INSTANTIATE_TEST_SUITE_P(Import, Refused, testing::ValuesIn(bad_models()), bad_model_name);

TEST(ImportErrors, TheOpsetImportedTwiceInOneVersionIsOneOpset) {
  auto model = with_body([](ModelBuilder& m) { m.node("Relu", {"x"}, {"y"}); });
  auto* again = model.model().add_opset_import();
  again->set_domain("ai.onnx");
  again->set_version(17);
  EXPECT_TRUE(import_onnx(model.bytes(), {}, {}));
}

TEST(ImportErrors, BytesThatAreNoModel) {
  const std::string text = "graph: not a protobuf at all \xff\xff\xff";
  const auto imported = import_onnx(test_support::as_bytes(text), {}, {});
  ASSERT_FALSE(imported);
  EXPECT_NE(imported.error().message.find("not an ONNX model"), std::string::npos)
      << imported.error().message;
}

TEST(ImportErrors, TruncatedFilesAreRefusedWherever) {
  const std::string whole =
      test_support::read_file(test_support::fixture_dir() / "gpt_block.op17.onnx");
  for (std::size_t size = 0; size < whole.size(); size += whole.size() / 97 + 1) {
    const auto imported = import_onnx(test_support::as_bytes(whole.substr(0, size)), {}, {});
    EXPECT_FALSE(imported) << "cut at " << size;
  }
}

TEST(ImportErrors, FileErrorsNameTheFile) {
  const auto missing = load_onnx("no/such/model.onnx");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message.rfind("no/such/model.onnx: cannot read", 0), 0U)
      << missing.error().message;

  const auto directory = std::filesystem::path(testing::TempDir()) / "zelk_onnx_errors";
  std::filesystem::create_directories(directory);
  const auto file = directory / "relu.onnx";
  auto model = with_body([](ModelBuilder& m) { m.node("Conv", {"x"}, {"y"}); });
  std::ofstream(file, std::ios::binary) << model.model().SerializeAsString();
  const auto refused = load_onnx(file);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message.rfind(file.string() + ": node '/Conv_0' (Conv)", 0), 0U)
      << refused.error().message;
}

// External data: read from beside the model, never from outside its directory.
class ExternalData : public testing::Test {
 protected:
  void SetUp() override {
    // One directory per test: ctest runs these tests side by side.
    const auto* test = testing::UnitTest::GetInstance()->current_test_info();
    directory_ = std::filesystem::path(testing::TempDir()) /
                 (std::string("zelk_onnx_external_") + test->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_ / "model");
    const std::vector<float> values{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::ofstream(directory_ / "model" / "weights.bin", std::ios::binary)
        .write("padding!", 8)
        .write(reinterpret_cast<const char*>(values.data()), 64);
    std::ofstream(directory_ / "outside.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(values.data()), 64);
  }

  // x [2, 4] times w [4, 4], w stored at `location` with `offset` and `length`.
  [[nodiscard]] std::filesystem::path write_model(const std::string& location,
                                                  const std::string& offset = "8",
                                                  const std::string& length = "64") const {
    auto model = with_body([](ModelBuilder& m) { m.node("MatMul", {"x", "w"}, {"y"}); });
    auto* w = model.model().mutable_graph()->add_initializer();
    w->set_name("w");
    w->set_data_type(onnx::TensorProto_DataType_FLOAT);
    w->add_dims(4);
    w->add_dims(4);
    w->set_data_location(onnx::TensorProto_DataLocation_EXTERNAL);
    for (const auto& [key, value] :
         {std::pair{"location", location}, {"offset", offset}, {"length", length}}) {
      auto* entry = w->add_external_data();
      entry->set_key(key);
      entry->set_value(value);
    }
    const auto file = directory_ / "model" / "model.onnx";
    std::ofstream(file, std::ios::binary) << model.model().SerializeAsString();
    return file;
  }

  void TearDown() override { std::filesystem::remove_all(directory_); }

  std::filesystem::path directory_;
};

TEST_F(ExternalData, IsReadFromBesideTheModel) {
  const auto model = load_onnx(write_model("weights.bin"));
  ASSERT_TRUE(model) << model.error();
  EXPECT_EQ(model->weights.at("w"),
            (std::vector<float>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16}));
}

TEST_F(ExternalData, IsRefusedWhereItIsNotAFileInsideTheModelsDirectory) {
  std::filesystem::create_symlink(directory_ / "outside.bin", directory_ / "model" / "link.bin");
  for (const auto& [location, message] : std::vector<std::pair<std::string, std::string>>{
           {"../outside.bin", "is not a file inside the model's directory"},
           {(directory_ / "outside.bin").string(), "is not a file inside the model's directory"},
           {"link.bin", "resolves outside the model's directory"},
           {"", "is not a file inside"},
           {"missing.bin", "external data \"missing.bin\": No such file or directory"},
       }) {
    const auto model = load_onnx(write_model(location));
    ASSERT_FALSE(model) << location;
    EXPECT_NE(model.error().message.find(message), std::string::npos) << model.error().message;
  }
}

TEST_F(ExternalData, MustHoldExactlyTheValues) {
  for (const auto& [offset, length, message] :
       std::vector<std::tuple<std::string, std::string, std::string>>{
           {"16", "64", "holds 72 bytes, fewer than offset 16 plus 64"},
           {"8", "60", "external data of 60 bytes for 64 bytes of values"},
           {"-8", "64", "offset \"-8\" is not an unsigned number"},
           {"18446744073709551615", "64", "fewer than offset 18446744073709551615 plus 64"},
       }) {
    const auto model = load_onnx(write_model("weights.bin", offset, length));
    ASSERT_FALSE(model) << offset;
    EXPECT_NE(model.error().message.find(message), std::string::npos) << model.error().message;
  }
}

// A sparse file of 8 GiB stores nothing: its length alone must not make the
// importer allocate 8 GiB for a weight.
TEST_F(ExternalData, IsRefusedFromASparseFileThatStoresFewerBytes) {
  const std::uint64_t bytes = std::uint64_t{8} << 30;
  std::filesystem::resize_file(directory_ / "model" / "weights.bin", bytes + 8);
  auto model = with_body([](ModelBuilder& m) { m.node("MatMul", {"x", "w"}, {"y"}); });
  auto* w = model.model().mutable_graph()->add_initializer();
  w->set_name("w");
  w->set_data_type(onnx::TensorProto_DataType_FLOAT);
  w->add_dims(4);
  w->add_dims(static_cast<std::int64_t>(bytes / 16));
  w->set_data_location(onnx::TensorProto_DataLocation_EXTERNAL);
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"location", "weights.bin"},
                                   {"offset", "8"},
                                   {"length", std::to_string(bytes)}}) {
    auto* entry = w->add_external_data();
    entry->set_key(key);
    entry->set_value(value);
  }
  const auto file = directory_ / "model" / "sparse.onnx";
  std::ofstream(file, std::ios::binary) << model.model().SerializeAsString();
  const auto imported = load_onnx(file);
  ASSERT_FALSE(imported);
  EXPECT_NE(imported.error().message.find("tensor 'w': external data \"weights.bin\" stores "),
            std::string::npos)
      << imported.error().message;
  EXPECT_NE(imported.error().message.find(
                "bytes on disk (a sparse file), fewer than the 8589934592 bytes of values"),
            std::string::npos)
      << imported.error().message;
}

TEST_F(ExternalData, NeedsADirectoryWhenTheModelComesFromMemory) {
  const auto bytes = test_support::as_bytes(test_support::read_file(write_model("weights.bin")));
  const auto without = import_onnx(bytes, {}, {});
  ASSERT_FALSE(without);
  EXPECT_NE(without.error().message.find("which a model read from memory cannot reach"),
            std::string::npos);
  EXPECT_TRUE(import_onnx(bytes, {}, directory_ / "model"));
}

}  // namespace
}  // namespace zelk_onnx
