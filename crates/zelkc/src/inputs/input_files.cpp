// Whole files read into memory, bounded in size and refused when they hold a
// NUL byte.
#include "inputs/input_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

namespace zelkc {

namespace {

// An input that cannot be had is a failure of the data, not of the command
// line: exit status 1, as for a model the library refuses.
std::unexpected<Failure> cannot_read(const std::string& name, const std::string& reason) {
  return std::unexpected(Failure::failed(name + ": cannot read: " + reason));
}

std::unexpected<Failure> too_long(const std::string& name, std::uint64_t longest) {
  return cannot_read(name, "longer than " + std::to_string(longest) + " bytes");
}

// Reads `fd` to its end. A regular file's size is checked before anything
// is read; a stream (a pipe, a device) is stopped as soon as it passes the
// limit or shows a NUL byte, so neither /dev/zero nor an endless pipe is
// read for long.
Outcome<std::string> read_to_end(int fd, const std::string& name, std::uint64_t longest) {
  std::string text;
  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    return cannot_read(name, std::strerror(errno));
  }
  if (S_ISDIR(status.st_mode)) {
    return cannot_read(name, "it is a directory");
  }
  if (S_ISREG(status.st_mode)) {
    if (static_cast<std::uint64_t>(status.st_size) > longest) {
      return too_long(name, longest);
    }
    text.reserve(static_cast<std::size_t>(status.st_size));
  }
  std::array<char, 1 << 16> chunk{};
  for (;;) {
    const ssize_t count = ::read(fd, chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      return cannot_read(name, std::strerror(errno));
    }
    if (count == 0) {
      return text;
    }
    const auto size = static_cast<std::size_t>(count);
    if (const void* nul = std::memchr(chunk.data(), '\0', size); nul != nullptr) {
      const auto offset =
          text.size() + static_cast<std::size_t>(static_cast<const char*>(nul) - chunk.data());
      return std::unexpected(Failure::usage(name + ": not a text file: a NUL byte at offset " +
                                            std::to_string(offset)));
    }
    if (size > longest - text.size()) {
      return too_long(name, longest);
    }
    text.append(chunk.data(), size);
  }
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

Outcome<std::string> read_text_file(const std::string& path, std::uint64_t longest) {
  if (path == "-") {
    return read_to_end(STDIN_FILENO, "standard input", longest);
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return cannot_read(path, std::strerror(errno));
  }
  auto text = read_to_end(fd, path, longest);
  ::close(fd);
  return text;
}

}  // namespace zelkc
