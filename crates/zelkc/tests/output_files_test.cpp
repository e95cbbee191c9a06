// Output files appear whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "output_files.hpp"

namespace zelkc {
namespace {

namespace fs = std::filesystem;

class OutputFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ =
        fs::temp_directory_path() /
        ("zelkc-output-files-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  static std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::size_t entries() const {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(directory_), {}));
  }

  fs::path directory_;
};

TEST_F(OutputFiles, WritesEveryFileAndLeavesNoTemporaries) {
  const OutputFile files[] = {{directory_ / "a.txt", "alpha"}, {directory_ / "b.svg", "beta"}};
  ASSERT_TRUE(write_files(files).has_value());
  EXPECT_EQ(read(directory_ / "a.txt"), "alpha");
  EXPECT_EQ(read(directory_ / "b.svg"), "beta");
  EXPECT_EQ(entries(), 2U);
}

TEST_F(OutputFiles, AFileThatCannotBeWrittenLeavesTheOthersUntouched) {
  { std::ofstream(directory_ / "a.txt") << "old"; }
  const OutputFile files[] = {{directory_ / "a.txt", "new"},
                              {directory_ / "missing" / "b.svg", "beta"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_EQ(written.error().kind, Failure::Kind::Usage);
  EXPECT_NE(written.error().message.find("b.svg: cannot write: No such file or directory"),
            std::string::npos)
      << written.error().message;
  EXPECT_EQ(read(directory_ / "a.txt"), "old");
  EXPECT_EQ(entries(), 1U);
}

TEST_F(OutputFiles, OneFileForTwoOutputsIsRefused) {
  const OutputFile files[] = {{directory_ / "a.txt", "one"}, {directory_ / "." / "a.txt", "two"}};
  const auto written = write_files(files);
  ASSERT_FALSE(written.has_value());
  EXPECT_NE(written.error().message.find("the same file is given for two outputs"),
            std::string::npos);
  EXPECT_EQ(entries(), 0U);
}

}  // namespace
}  // namespace zelkc
