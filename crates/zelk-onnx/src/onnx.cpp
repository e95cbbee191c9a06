// The importer's entry points: reading the file, parsing it with protobuf,
// and naming the file in every error.
#include "zelk_onnx/onnx.hpp"

#include <algorithm>
#include <climits>
#include <optional>
#include <system_error>

#include <onnx/onnx_pb.h>

#include "importer.hpp"
#include "mapped_file.hpp"
#include "operators/table.hpp"

namespace zelk_onnx {
namespace {

namespace zc = zelk_compiler;
namespace fs = std::filesystem;

// Folding may allocate this many bytes, plus one per byte of the model (and
// of its external data), in all: plenty for shape arithmetic and masks, and
// an import's peak within three times the model's size (its bytes, protobuf's
// copy of them, what folding allocates) and a few tens of megabytes.
constexpr std::uint64_t kFoldBytes = std::uint64_t{32} << 20;

// Protobuf parses messages of up to 2 GiB; larger models keep their weights
// in external data.
constexpr std::uint64_t kLargestModel = INT_MAX;

zc::CompileError too_large() {
  return zc::CompileError::graph(
      "larger than the 2 GiB a protobuf message may have (store the weights as external data)");
}

zc::CompileError named(std::string_view source, const zc::CompileError& error) {
  return zc::CompileError::graph(std::string(source) + ": " + error.message);
}

zc::Result<OnnxModel> parse_and_import(std::span<const std::byte> bytes, const Dims& dims,
                                       const std::optional<fs::path>& directory,
                                       std::string_view source, const std::stop_token& stop) {
  if (bytes.size() > kLargestModel) {
    return std::unexpected(named(source, too_large()));
  }
  onnx::ModelProto model;
  if (!model.ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    return std::unexpected(named(
        source, zc::CompileError::graph("not an ONNX model (it does not parse; truncated?)")));
  }
  auto imported = detail::import_model(model, dims, directory, kFoldBytes + bytes.size(), stop);
  if (!imported) {
    return std::unexpected(named(source, imported.error()));
  }
  return imported;
}

}  // namespace

zc::Result<OnnxModel> load_onnx(const fs::path& file, const Dims& dims,
                                const std::stop_token& stop) {
  const std::string source = file.string();
  auto mapped = detail::MappedFile::open(file);
  if (!mapped) {
    return std::unexpected(named(source, mapped.error()));
  }
  if (mapped->bytes().size() > kLargestModel) {
    return std::unexpected(named(source, too_large()));
  }
  const fs::path directory = file.parent_path();
  return parse_and_import(mapped->bytes(), dims, directory.empty() ? fs::path(".") : directory,
                          source, stop);
}

zc::Result<OnnxModel> import_onnx(std::span<const std::byte> bytes, const Dims& dims,
                                  const fs::path& base_dir, const std::stop_token& stop) {
  return parse_and_import(bytes, dims,
                          base_dir.empty() ? std::nullopt : std::optional<fs::path>(base_dir),
                          "ONNX model", stop);
}

std::span<const std::string_view> supported_operators() { return detail::operator_names(); }

std::optional<std::string_view> initializer_of(std::string_view weight_name) {
  const std::size_t separator = weight_name.rfind(detail::kRoleSeparator);
  if (separator == std::string_view::npos || separator == 0) {
    return std::nullopt;
  }
  std::string_view role = weight_name.substr(separator + 1);
  if (!role.starts_with(detail::kTransposedRole)) {
    return std::nullopt;
  }
  role.remove_prefix(detail::kTransposedRole.size());
  // fresh_name's "_2", "_3", ... where the plain name was taken.
  if (!role.empty() &&
      (role.size() < 2 || role.front() != '_' ||
       !std::ranges::all_of(role.substr(1), [](char c) { return c >= '0' && c <= '9'; }))) {
    return std::nullopt;
  }
  return weight_name.substr(0, separator);
}

}  // namespace zelk_onnx
