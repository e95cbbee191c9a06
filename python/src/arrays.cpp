// Float32 conversion rules and zero-copy results.
#include "arrays.hpp"

#include <limits>
#include <memory>
#include <stdexcept>
#include <string>

#include "convert.hpp"
#include "zelk_compiler/checked.hpp"

namespace zelk_python {
namespace {

// Integers up to 2**24 in magnitude are exactly float32 values.
constexpr long long kExactFloat32Integer = 1LL << 24;

[[noreturn]] void refuse(const py::array& array, std::string_view what, std::string_view why) {
  throw py::type_error(std::string(what) + ": expected float32 values, got " +
                       py::str(array.dtype()).cast<std::string>() + " " + std::string(why) +
                       "; convert with .astype(numpy.float32) if rounding is intended");
}

// NumPy's floating-point warnings off while a conversion probes values that
// may overflow float32: such a value is refused, not warned about.
class QuietNumpy {
 public:
  explicit QuietNumpy(const py::module_& numpy)
      : state_(numpy.attr("errstate")(py::arg("all") = "ignore")) {
    state_.attr("__enter__")();
  }
  QuietNumpy(const QuietNumpy&) = delete;
  QuietNumpy& operator=(const QuietNumpy&) = delete;
  ~QuietNumpy() {
    try {
      state_.attr("__exit__")(py::none(), py::none(), py::none());
    } catch (py::error_already_set& failure) {
      failure.discard_as_unraisable(__func__);
    }
  }

 private:
  py::object state_;
};

// `array` converted to float32, or TypeError where that would change a value.
py::array exact_float32(const py::array& array, std::string_view what) {
  const py::module_ numpy = py::module_::import("numpy");
  const QuietNumpy quiet(numpy);
  const py::object float32 = numpy.attr("float32");
  const py::dtype dtype = array.dtype();
  if (numpy.attr("can_cast")(dtype, float32, "safe").cast<bool>()) {
    return array.attr("astype")(float32);
  }
  const char kind = dtype.kind();
  if (kind == 'f') {
    py::array converted = array.attr("astype")(float32);
    const py::object same =
        numpy.attr("array_equal")(converted, array, py::arg("equal_nan") = true);
    if (!same.cast<bool>()) {
      refuse(array, what, "values that float32 cannot represent exactly");
    }
    return converted;
  }
  if (kind == 'i' || kind == 'u') {
    const bool exact = array.size() == 0 ||
                       (array.attr("min")().cast<py::int_>() >= py::int_(-kExactFloat32Integer) &&
                        array.attr("max")().cast<py::int_>() <= py::int_(kExactFloat32Integer));
    if (!exact) {
      refuse(array, what, "values beyond 2**24 in magnitude, which float32 may round");
    }
    return array.attr("astype")(float32);
  }
  refuse(array, what, "values, which are not real numbers");
}

}  // namespace

Float32Array to_float32(py::handle value, std::string_view what) {
  if (value.is_none()) {
    throw py::type_error(std::string(what) + ": expected a float32 array, got None");
  }
  py::array array = py::module_::import("numpy").attr("asarray")(value);
  const py::dtype dtype = array.dtype();
  if (dtype.kind() != 'f' || dtype.itemsize() != 4) {
    array = exact_float32(array, what);
  }
  // Copies only for another memory order or byte order; no value changes.
  Float32Array result = Float32Array::ensure(array);
  if (!result) {
    throw py::error_already_set();
  }
  return result;
}

void require_dimensions(const py::array& array, py::ssize_t dimensions, std::string_view what) {
  if (array.ndim() != dimensions) {
    throw py::value_error(std::string(what) + ": expected " + std::to_string(dimensions) +
                          " dimensions, got an array of shape " +
                          py::str(array.attr("shape")).cast<std::string>());
  }
}

py::ssize_t array_extent(std::uint64_t extent) {
  return static_cast<py::ssize_t>(
      check_at_most(extent, std::numeric_limits<py::ssize_t>::max(), "array extent"));
}

py::array take_float32(std::vector<float>&& values, const std::vector<std::uint64_t>& shape) {
  std::vector<py::ssize_t> extents;
  extents.reserve(shape.size());
  for (const std::uint64_t extent : shape) {
    extents.push_back(array_extent(extent));
  }
  if (zelk_compiler::checked_product(shape) != values.size()) {
    throw std::invalid_argument("result of " + std::to_string(values.size()) +
                                " values does not fit its shape");
  }
  auto owned = std::make_unique<std::vector<float>>(std::move(values));
  const py::capsule owner(owned.get(),
                          [](void* held) { delete static_cast<std::vector<float>*>(held); });
  // The capsule owns the values from here on.
  float* data = owned.release()->data();
  return py::array_t<float>(extents, data, owner);
}

}  // namespace zelk_python
