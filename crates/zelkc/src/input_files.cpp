// Whole files read into memory.
#include "input_files.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <system_error>

namespace zelkc {

Outcome<std::string> read_text_file(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  const auto cannot_read = [&path](const char* reason) {
    return std::unexpected(Failure::usage(path + ": cannot read: " + reason));
  };
  // A directory opens like a file and fails only on the first read.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    return cannot_read("it is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return cannot_read(std::strerror(errno));
  }
  try {
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) {
      return cannot_read(std::strerror(errno));
    }
    return text;
  } catch (const std::ios_base::failure&) {
    // The file buffer throws when the system refuses a read.
    return cannot_read(std::strerror(errno));
  }
}

}  // namespace zelkc
