// A file mapped into memory read-only, so that protobuf parses the model
// straight from the page cache instead of from a copy. (A file cut short by
// another process while it is mapped ends the process with SIGBUS, as with
// any mapped file.)
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>

#include <zelk_compiler/error.hpp>

namespace zelk_onnx::detail {

class MappedFile {
 public:
  // The whole of `file`; an error naming the reason when it cannot be read.
  [[nodiscard]] static zelk_compiler::Result<MappedFile> open(const std::filesystem::path& file);

  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  ~MappedFile();

  [[nodiscard]] std::span<const std::byte> bytes() const { return {data_, size_}; }

 private:
  MappedFile(const std::byte* data, std::size_t size) : data_(data), size_(size) {}

  const std::byte* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace zelk_onnx::detail
