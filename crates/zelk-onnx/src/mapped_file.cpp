// Mapping a model file with POSIX mmap.
#include "mapped_file.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

namespace zelk_onnx::detail {
namespace {

std::unexpected<zelk_compiler::CompileError> cannot_read(const std::string& reason) {
  return std::unexpected(zelk_compiler::CompileError::graph("cannot read: " + reason));
}

}  // namespace

zelk_compiler::Result<MappedFile> MappedFile::open(const std::filesystem::path& file) {
  const int descriptor = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (descriptor < 0) {
    return cannot_read(std::strerror(errno));
  }
  struct stat status {};
  if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = S_ISDIR(status.st_mode) ? EISDIR : errno;
    ::close(descriptor);
    return cannot_read(error == 0 ? "not a regular file" : std::strerror(error));
  }
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size == 0) {
    ::close(descriptor);
    return MappedFile(nullptr, 0);
  }
  // Populated at once: the parse reads every byte, in order.
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, descriptor, 0);
  const int error = errno;
  ::close(descriptor);
  if (data == MAP_FAILED) {
    return cannot_read(std::strerror(error));
  }
  return MappedFile(static_cast<const std::byte*>(data), size);
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  std::swap(data_, other.data_);
  std::swap(size_, other.size_);
  return *this;
}

MappedFile::~MappedFile() {
  if (data_ != nullptr) {
    ::munmap(const_cast<std::byte*>(data_), size_);
  }
}

}  // namespace zelk_onnx::detail
