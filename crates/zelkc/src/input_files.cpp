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
#include <utility>

namespace zelkc {

namespace {

std::unexpected<Failure> cannot_read(const std::string& path, const char* reason) {
  return std::unexpected(Failure::usage(path + ": cannot read: " + reason));
}

}  // namespace

Outcome<void> check_readable_file(const std::string& path) {
  // A directory opens like a file and fails only on the first read.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    return cannot_read(path, "it is a directory");
  }
  if (!std::ifstream(path, std::ios::binary)) {
    return cannot_read(path, std::strerror(errno));
  }
  return {};
}

Outcome<std::string> read_text_file(const std::string& path) {
  if (path == "-") {
    return std::string(std::istreambuf_iterator<char>(std::cin), {});
  }
  if (auto readable = check_readable_file(path); !readable) {
    return std::unexpected(std::move(readable.error()));
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return cannot_read(path, std::strerror(errno));
  }
  try {
    std::string text(std::istreambuf_iterator<char>(in), {});
    if (in.bad()) {
      return cannot_read(path, std::strerror(errno));
    }
    return text;
  } catch (const std::ios_base::failure&) {
    // The file buffer throws when the system refuses a read.
    return cannot_read(path, std::strerror(errno));
  }
}

}  // namespace zelkc
