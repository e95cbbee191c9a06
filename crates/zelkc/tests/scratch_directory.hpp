// A fresh directory per test for the tests that read and write files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace zelkc {

class ScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    const ::testing::UnitTest& unit = *::testing::UnitTest::GetInstance();
    directory_ = std::filesystem::temp_directory_path() /
                 ("zelkc-" + std::string(unit.current_test_info()->test_suite_name()) + "-" +
                  std::to_string(unit.random_seed()) + "-" + unit.current_test_info()->name());
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  static std::string read(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  static void write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  }
  // Entries of `directory` (by default the test's own), temporaries included.
  std::size_t entries(const std::filesystem::path& directory = {}) const {
    return static_cast<std::size_t>(std::distance(
        std::filesystem::directory_iterator(directory.empty() ? directory_ : directory), {}));
  }

  std::filesystem::path directory_;
};

}  // namespace zelkc
