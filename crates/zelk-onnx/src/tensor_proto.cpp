// Reading ONNX tensors from raw bytes, typed entries or external files.
#include "tensor_proto.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <ranges>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <zelk_compiler/checked.hpp>
#include <zelk_compiler/detail/float16.hpp>

namespace zelk_onnx::detail {
namespace {

namespace zc = zelk_compiler;
namespace fs = std::filesystem;

std::unexpected<zc::CompileError> fail(const onnx::TensorProto& tensor,
                                       const std::string& problem) {
  return detail::fail("tensor '" + tensor.name() + "': " + problem);
}

// Bytes per element as stored in raw or external data.
std::uint64_t stored_size(std::int32_t data_type) {
  switch (data_type) {
    case onnx::TensorProto_DataType_INT64:
      return 8;
    case onnx::TensorProto_DataType_BOOL:
      return 1;
    case onnx::TensorProto_DataType_FLOAT16:
    case onnx::TensorProto_DataType_BFLOAT16:
      return 2;
    default:
      return 4;
  }
}

template <class T>
T little_endian(const std::byte* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof(T));
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (std::is_floating_point_v<T>) {
      value = std::bit_cast<T>(std::byteswap(std::bit_cast<std::uint32_t>(value)));
    } else {
      value = std::byteswap(value);
    }
  }
  return value;
}

// Reads values of type T stored little-endian, one at a time: a vector
// constructed from a range of these is filled in one pass, without first
// being zeroed.
template <class T>
class LittleEndianReader {
 public:
  using iterator_category = std::random_access_iterator_tag;
  using value_type = T;
  using difference_type = std::ptrdiff_t;
  using pointer = const T*;
  using reference = T;

  LittleEndianReader() = default;
  explicit LittleEndianReader(const std::byte* at) : at_(at) {}

  T operator*() const { return little_endian<T>(at_); }
  T operator[](difference_type n) const { return *(*this + n); }
  LittleEndianReader& operator++() { return *this += 1; }
  LittleEndianReader operator++(int) {
    LittleEndianReader before = *this;
    ++*this;
    return before;
  }
  LittleEndianReader& operator--() { return *this -= 1; }
  LittleEndianReader& operator+=(difference_type n) {
    at_ += n * static_cast<difference_type>(sizeof(T));
    return *this;
  }
  LittleEndianReader& operator-=(difference_type n) { return *this += -n; }
  friend LittleEndianReader operator+(LittleEndianReader it, difference_type n) { return it += n; }
  friend difference_type operator-(const LittleEndianReader& a, const LittleEndianReader& b) {
    return (a.at_ - b.at_) / static_cast<difference_type>(sizeof(T));
  }
  friend bool operator==(const LittleEndianReader&, const LittleEndianReader&) = default;
  friend auto operator<=>(const LittleEndianReader&, const LittleEndianReader&) = default;

 private:
  const std::byte* at_ = nullptr;
};

// A 16-bit float pattern of `type` widened, exactly, to a float.
float widened(ElementType type, std::uint16_t bits) {
  return type == ElementType::Float16 ? zc::detail::f16_value(bits) : zc::detail::bf16_value(bits);
}

// The 16-bit float patterns of `type` in `patterns`, widened.
template <class Patterns>
HostTensor widened_all(ElementType type, Shape shape, const Patterns& patterns) {
  std::vector<float> values;
  values.reserve(static_cast<std::size_t>(std::ranges::distance(patterns)));
  for (const auto pattern : patterns) {
    values.push_back(
        widened(type, static_cast<std::uint16_t>(static_cast<std::uint32_t>(pattern) & 0xFFFFU)));
  }
  return HostTensor::of_floats(std::move(shape), std::move(values), type);
}

// The values of `type` stored little-endian in `bytes`, whose size the caller
// has checked.
HostTensor from_bytes(ElementType type, Shape shape, std::span<const std::byte> bytes) {
  const auto read = [&]<class T>(T) {
    const std::size_t count = bytes.size() / sizeof(T);
    return std::pair{LittleEndianReader<T>(bytes.data()),
                     LittleEndianReader<T>(bytes.data() + count * sizeof(T))};
  };
  switch (type) {
    case ElementType::Float: {
      const auto [begin, end] = read(float{});
      return HostTensor::of_floats(std::move(shape), std::vector<float>(begin, end));
    }
    case ElementType::Float16:
    case ElementType::BFloat16: {
      const auto [begin, end] = read(std::uint16_t{});
      return widened_all(type, std::move(shape), std::ranges::subrange(begin, end));
    }
    case ElementType::Int64: {
      const auto [begin, end] = read(std::int64_t{});
      return HostTensor::of_integers(type, std::move(shape), std::vector<std::int64_t>(begin, end));
    }
    case ElementType::Int32: {
      const auto [begin, end] = read(std::int32_t{});
      return HostTensor::of_integers(type, std::move(shape), std::vector<std::int64_t>(begin, end));
    }
    case ElementType::Bool:
      break;
  }
  std::vector<std::int64_t> values;
  values.reserve(bytes.size());
  for (const std::byte flag : bytes) {
    values.push_back(flag == std::byte{0} ? 0 : 1);
  }
  return HostTensor::of_integers(type, std::move(shape), std::move(values));
}

zc::Result<std::uint64_t> parse_unsigned(const onnx::TensorProto& tensor, const std::string& key,
                                         const std::string& text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) {
    return fail(tensor, "external data " + key + " \"" + text + "\" is not an unsigned number");
  }
  return value;
}

// The file `location` names inside `directory`, refused when it would lead
// outside: absolute paths, "..", or links that resolve elsewhere.
zc::Result<fs::path> inside(const onnx::TensorProto& tensor, const fs::path& directory,
                            const std::string& location) {
  const fs::path relative(location);
  const bool climbs =
      std::ranges::any_of(relative, [](const fs::path& part) { return part == ".."; });
  if (location.empty() || relative.is_absolute() || relative.has_root_name() ||
      relative.has_root_directory() || climbs) {
    return fail(tensor, "external data location \"" + location +
                            "\" is not a file inside the model's directory");
  }
  std::error_code error;
  const fs::path base = fs::weakly_canonical(directory, error);
  fs::path file = fs::weakly_canonical(directory / relative, error);
  if (error) {
    return fail(tensor, "external data \"" + location + "\": " + error.message());
  }
  const auto [base_end, file_at] = std::ranges::mismatch(base, file);
  if (base_end != base.end() || file_at == file.end()) {
    return fail(tensor, "external data location \"" + location +
                            "\" resolves outside the model's directory");
  }
  return file;
}

// External data of at least this size must be stored on disk in full; small
// files may be stored inline in their directory entry, without blocks.
constexpr std::uint64_t kSparseCheckBytes = std::uint64_t{1} << 20;

// The bytes `file` has on disk (its blocks), which a sparse file has fewer
// of than its length; as many as any length when the system does not say.
std::uint64_t stored_bytes(const fs::path& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0 || status.st_blocks < 0) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return zc::saturating_mul(static_cast<std::uint64_t>(status.st_blocks), std::uint64_t{512});
}

// Where the external data of `tensor` lies, checked to hold `bytes` bytes.
zc::Result<ExternalRange> locate_external(const onnx::TensorProto& tensor,
                                          const std::optional<fs::path>& directory,
                                          std::uint64_t bytes) {
  std::string location;
  std::uint64_t offset = 0;
  std::optional<std::uint64_t> length;
  for (const auto& entry : tensor.external_data()) {
    if (entry.key() == "location") {
      location = entry.value();
    } else if (entry.key() == "offset" || entry.key() == "length") {
      auto number = parse_unsigned(tensor, entry.key(), entry.value());
      if (!number) {
        return std::unexpected(number.error());
      }
      (entry.key() == "offset" ? offset : length.emplace()) = *number;
    }
  }
  if (!directory) {
    return fail(tensor, "stored in external data, which a model read from memory cannot reach");
  }
  if (length && *length != bytes) {
    return fail(tensor, "external data of " + std::to_string(*length) + " bytes for " +
                            std::to_string(bytes) + " bytes of values");
  }
  auto file = inside(tensor, *directory, location);
  if (!file) {
    return std::unexpected(file.error());
  }
  std::error_code error;
  const std::uint64_t file_size = fs::file_size(*file, error);
  if (error) {
    return fail(tensor, "external data \"" + location + "\": " + error.message());
  }
  const auto end = zc::checked_add(offset, bytes);
  if (!end || *end > file_size) {
    return fail(tensor, "external data \"" + location + "\" holds " + std::to_string(file_size) +
                            " bytes, fewer than offset " + std::to_string(offset) + " plus " +
                            std::to_string(bytes));
  }
  // A sparse file reads as zeros where it stores nothing, so its length
  // alone could make the importer allocate what no disk holds.
  if (const auto stored = stored_bytes(*file); bytes >= kSparseCheckBytes && stored < bytes) {
    return fail(tensor, "external data \"" + location + "\" stores " + std::to_string(stored) +
                            " bytes on disk (a sparse file), fewer than the " +
                            std::to_string(bytes) + " bytes of values");
  }
  return ExternalRange{std::move(*file), offset};
}

zc::Result<void> read_external(const onnx::TensorProto& tensor, const ExternalRange& range,
                               std::span<std::byte> out) {
  std::ifstream in(range.file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(range.offset));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(out.size()));
  if (!in || static_cast<std::uint64_t>(in.gcount()) != out.size()) {
    return fail(tensor, "external data " + range.file.string() + " could not be read");
  }
  return {};
}

// Room for the `bytes` bytes of external data of `tensor` as values of T, or
// an error naming the tensor and the file when memory cannot be had for them.
template <class T>
zc::Result<std::vector<T>> room_for(const onnx::TensorProto& tensor, const ExternalRange& range,
                                    std::uint64_t bytes) {
  const auto no_room = [&] {
    return fail(tensor, "the " + std::to_string(bytes) + " bytes of external data in " +
                            range.file.string() + " do not fit in memory");
  };
  const std::uint64_t count = bytes / sizeof(T);
  if (count > std::vector<T>().max_size()) {
    return no_room();
  }
  try {
    return std::vector<T>(count);
  } catch (const std::bad_alloc&) {
    return no_room();
  }
}

template <class Entries>
zc::Result<void> typed_count(const onnx::TensorProto& tensor, const Entries& entries,
                             std::uint64_t elements) {
  if (static_cast<std::uint64_t>(entries.size()) != elements) {
    return fail(tensor, std::to_string(entries.size()) + " values for " + std::to_string(elements) +
                            " elements");
  }
  return {};
}

}  // namespace

std::string data_type_name(std::int32_t data_type) {
  if (onnx::TensorProto_DataType_IsValid(data_type)) {
    return onnx::TensorProto_DataType_Name(static_cast<onnx::TensorProto_DataType>(data_type));
  }
  return "type " + std::to_string(data_type);
}

std::optional<zc::DType> graph_element_type(std::int32_t data_type) {
  switch (data_type) {
    case onnx::TensorProto_DataType_FLOAT:
      return zc::DType::F32;
    case onnx::TensorProto_DataType_FLOAT16:
      return zc::DType::F16;
    case onnx::TensorProto_DataType_BFLOAT16:
      return zc::DType::BF16;
    case onnx::TensorProto_DataType_INT32:
      return zc::DType::I32;
    case onnx::TensorProto_DataType_INT64:
      return zc::DType::I64;
    default:
      return std::nullopt;
  }
}

zc::Result<ElementType> element_type(std::int32_t data_type) {
  switch (data_type) {
    case onnx::TensorProto_DataType_FLOAT:
      return ElementType::Float;
    case onnx::TensorProto_DataType_FLOAT16:
      return ElementType::Float16;
    case onnx::TensorProto_DataType_BFLOAT16:
      return ElementType::BFloat16;
    case onnx::TensorProto_DataType_INT64:
      return ElementType::Int64;
    case onnx::TensorProto_DataType_INT32:
      return ElementType::Int32;
    case onnx::TensorProto_DataType_BOOL:
      return ElementType::Bool;
    default:
      return std::unexpected(
          zc::CompileError::graph("element type " + data_type_name(data_type) +
                                  " is not supported (FLOAT, FLOAT16, BFLOAT16, INT64, INT32 "
                                  "and BOOL are)"));
  }
}

zc::Result<std::pair<ElementType, Shape>> declared_type(const onnx::TensorProto& tensor) {
  auto type = element_type(tensor.data_type());
  if (!type) {
    return fail(tensor, type.error().message);
  }
  if (static_cast<std::uint64_t>(tensor.dims_size()) > kMaxRank) {
    return fail(tensor, "rank " + std::to_string(tensor.dims_size()) + " is above " +
                            std::to_string(kMaxRank));
  }
  Shape shape;
  shape.reserve(static_cast<std::size_t>(tensor.dims_size()));
  for (const std::int64_t dim : tensor.dims()) {
    if (dim < 0) {
      return fail(tensor, "negative dimension " + std::to_string(dim));
    }
    shape.push_back(static_cast<std::uint64_t>(dim));
  }
  if (auto count = element_count(shape); !count) {
    return fail(tensor, count.error().message);
  }
  return std::pair{*type, std::move(shape)};
}

zc::Result<StoredTensor> check_tensor(const onnx::TensorProto& tensor,
                                      const std::optional<fs::path>& directory) {
  auto declared = declared_type(tensor);
  if (!declared) {
    return std::unexpected(declared.error());
  }
  StoredTensor stored{declared->first, std::move(declared->second), 0, std::nullopt};
  const std::uint64_t elements = *element_count(stored.shape);
  const auto bytes = zc::checked_mul(elements, stored_size(tensor.data_type()));
  if (!bytes) {
    return fail(tensor, "size beyond 64 bits");
  }
  stored.bytes = *bytes;
  if (tensor.data_location() == onnx::TensorProto_DataLocation_EXTERNAL) {
    auto range = locate_external(tensor, directory, *bytes);
    if (!range) {
      return std::unexpected(range.error());
    }
    stored.external = std::move(*range);
    return stored;
  }
  if (tensor.has_raw_data()) {
    if (tensor.raw_data().size() != *bytes) {
      return fail(tensor, "raw data of " + std::to_string(tensor.raw_data().size()) +
                              " bytes for shape " + shape_text(stored.shape) + " of " +
                              std::to_string(*bytes) + " bytes");
    }
    return stored;
  }
  // 16-bit floats are typed entries of int32_data, as booleans and INT32.
  auto counted =
      stored.type == ElementType::Float   ? typed_count(tensor, tensor.float_data(), elements)
      : stored.type == ElementType::Int64 ? typed_count(tensor, tensor.int64_data(), elements)
                                          : typed_count(tensor, tensor.int32_data(), elements);
  if (!counted) {
    return std::unexpected(counted.error());
  }
  return stored;
}

zc::Result<HostTensor> read_tensor(const onnx::TensorProto& tensor,
                                   const std::optional<fs::path>& directory) {
  auto stored = check_tensor(tensor, directory);
  if (!stored) {
    return std::unexpected(stored.error());
  }
  auto& [type, shape, bytes, external] = *stored;
  if (external) {
    if (type == ElementType::Float && std::endian::native == std::endian::little) {
      auto values = room_for<float>(tensor, *external, bytes);
      if (!values) {
        return std::unexpected(values.error());
      }
      if (auto read = read_external(tensor, *external, std::as_writable_bytes(std::span(*values)));
          !read) {
        return std::unexpected(read.error());
      }
      return HostTensor::of_floats(std::move(shape), std::move(*values));
    }
    auto data = room_for<std::byte>(tensor, *external, bytes);
    if (!data) {
      return std::unexpected(data.error());
    }
    if (auto read = read_external(tensor, *external, *data); !read) {
      return std::unexpected(read.error());
    }
    return from_bytes(type, std::move(shape), *data);
  }
  if (tensor.has_raw_data()) {
    const std::string& raw = tensor.raw_data();
    return from_bytes(type, std::move(shape), std::as_bytes(std::span(raw.data(), raw.size())));
  }
  switch (type) {
    case ElementType::Float:
      return HostTensor::of_floats(std::move(shape), std::vector<float>(tensor.float_data().begin(),
                                                                        tensor.float_data().end()));
    case ElementType::Float16:
    case ElementType::BFloat16:
      // Each entry holds one pattern in its low 16 bits; the bits above are
      // dropped, so a pattern a writer sign-extended reads the same.
      return widened_all(type, std::move(shape), tensor.int32_data());
    case ElementType::Int64:
      return HostTensor::of_integers(
          type, std::move(shape),
          std::vector<std::int64_t>(tensor.int64_data().begin(), tensor.int64_data().end()));
    default: {
      std::vector<std::int64_t> values;
      values.reserve(static_cast<std::size_t>(tensor.int32_data_size()));
      for (const std::int32_t value : tensor.int32_data()) {
        values.push_back(type == ElementType::Bool ? static_cast<std::int64_t>(value != 0) : value);
      }
      return HostTensor::of_integers(type, std::move(shape), std::move(values));
    }
  }
}

}  // namespace zelk_onnx::detail
