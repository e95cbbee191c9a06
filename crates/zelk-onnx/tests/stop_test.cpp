// Stopping an import through its stop token: a stop requested before the
// call throws Stopped from both entry points, and a token never stopped
// changes nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stop_token>
#include <string>
#include <vector>

#include "onnx_test_support.hpp"
#include "zelk_onnx/onnx.hpp"

namespace zelk_onnx {
namespace {

using test_support::ModelBuilder;

ModelBuilder relu_chain(int nodes) {
  ModelBuilder m;
  m.input("v0", {4});
  for (int i = 0; i < nodes; ++i) {
    (void)m.node("Relu", {"v" + std::to_string(i)}, {"v" + std::to_string(i + 1)});
  }
  m.output("v" + std::to_string(nodes));
  return m;
}

TEST(StoppingAnImport, AStopRequestedBeforeTheCallThrowsFromBothEntryPoints) {
  const ModelBuilder model = relu_chain(3);
  const std::filesystem::path file =
      std::filesystem::path(testing::TempDir()) / "zelk_onnx_stop_test.onnx";
  {
    const std::vector<std::byte> bytes = model.bytes();
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
  }
  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_THROW((void)import_onnx(model.bytes(), {}, {}, stopped.get_token()),
               zelk_compiler::Stopped);
  EXPECT_THROW((void)load_onnx(file, {}, stopped.get_token()), zelk_compiler::Stopped);

  const std::stop_source live;
  const auto imported = import_onnx(model.bytes(), {}, {}, live.get_token());
  const auto loaded = load_onnx(file, {}, live.get_token());
  ASSERT_TRUE(imported.has_value()) << imported.error();
  ASSERT_TRUE(loaded.has_value()) << loaded.error();
  EXPECT_EQ(imported->graph, import_onnx(model.bytes(), {}, {})->graph);
  EXPECT_EQ(loaded->graph, imported->graph);
  EXPECT_EQ(imported->graph.ops.size(), 3U);
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace zelk_onnx
