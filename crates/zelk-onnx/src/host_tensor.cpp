// The values known at import and the checks every fold shares.
#include "host_tensor.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include <zelk_compiler/checked.hpp>

namespace zelk_onnx::detail {

namespace zc = zelk_compiler;

std::string_view type_name(ElementType type) {
  switch (type) {
    case ElementType::Float:
      return "FLOAT";
    case ElementType::Float16:
      return "FLOAT16";
    case ElementType::BFloat16:
      return "BFLOAT16";
    case ElementType::Int64:
      return "INT64";
    case ElementType::Int32:
      return "INT32";
    case ElementType::Bool:
      return "BOOL";
  }
  return "FLOAT";
}

std::optional<zc::DType> float_dtype(ElementType type) {
  switch (type) {
    case ElementType::Float:
      return zc::DType::F32;
    case ElementType::Float16:
      return zc::DType::F16;
    case ElementType::BFloat16:
      return zc::DType::BF16;
    case ElementType::Int64:
    case ElementType::Int32:
    case ElementType::Bool:
      break;
  }
  return std::nullopt;
}

HostTensor HostTensor::of_floats(Shape shape, std::vector<float> values, ElementType type) {
  return HostTensor{type, std::move(shape), std::move(values), {}};
}

HostTensor HostTensor::of_integers(ElementType type, Shape shape,
                                   std::vector<std::int64_t> values) {
  return HostTensor{type, std::move(shape), {}, std::move(values)};
}

zc::Result<std::uint64_t> element_count(ShapeView shape) {
  const auto count = zc::checked_product(shape);
  if (!count) {
    return fail("shape " + shape_text(shape) + " has more elements than 64 bits count");
  }
  return *count;
}

zc::Result<void> FoldBudget::take(std::uint64_t count, std::uint64_t size, std::string_view what) {
  const auto bytes = zc::checked_mul(count, size);
  if (!bytes || *bytes > left_) {
    ++refusals_;
    return fail("folding needs " + (bytes ? std::to_string(*bytes) : "more than 2^64") +
                " bytes for " + std::string(what) + "; " + std::to_string(left_) +
                " are left of the importer's folding budget");
  }
  left_ -= *bytes;
  return {};
}

void FoldBudget::give_back(std::uint64_t bytes) { left_ = zc::saturating_add(left_, bytes); }

zc::Result<std::uint64_t> normalize_axis(std::int64_t axis, std::uint64_t rank) {
  const auto signed_rank = static_cast<std::int64_t>(std::min<std::uint64_t>(rank, kMaxRank));
  if (axis < -signed_rank || axis >= signed_rank) {
    return fail("axis " + std::to_string(axis) + " is out of range for rank " +
                std::to_string(rank));
  }
  return static_cast<std::uint64_t>(axis < 0 ? axis + signed_rank : axis);
}

zc::Result<std::vector<std::int64_t>> integer_list(const HostTensor& value, std::string_view what) {
  if (value.is_float() || value.shape.size() > 1) {
    return fail(std::string(what) + " must be a list of integers, not a " +
                std::string(type_name(value.type)) + " tensor of shape " + shape_text(value.shape));
  }
  return value.integers;
}

zc::Result<HostTensor> shape_tensor(ShapeView shape) {
  std::vector<std::int64_t> extents;
  extents.reserve(shape.size());
  for (const std::uint64_t extent : shape) {
    if (extent > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return fail("extent " + std::to_string(extent) + " does not fit INT64");
    }
    extents.push_back(static_cast<std::int64_t>(extent));
  }
  return HostTensor::of_integers(ElementType::Int64, {shape.size()}, std::move(extents));
}

}  // namespace zelk_onnx::detail
