// Conversions of Python arguments into the library's integers, lists and
// names, with errors that name the argument: TypeError for a value of the
// wrong type, ValueError for an integer outside the field's range or text
// that is not Unicode.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zelk_python {

namespace py = pybind11;

// Any integer of 64 bits or fewer without sign: Python ints and anything with
// __index__ (NumPy integers), never floats.
[[nodiscard]] std::uint64_t to_u64(py::handle value, std::string_view what);

// `value` itself, or ValueError naming `what` where it is above `maximum`.
[[nodiscard]] std::uint64_t check_at_most(std::uint64_t value, std::uint64_t maximum,
                                          std::string_view what);

// `value` as a T, or ValueError naming `what` and T's largest value.
template <std::unsigned_integral T>
[[nodiscard]] T to_unsigned(py::handle value, std::string_view what) {
  return static_cast<T>(check_at_most(to_u64(value, what), std::numeric_limits<T>::max(), what));
}

// A list, tuple or other sequence of such integers (a shape, a permutation).
[[nodiscard]] std::vector<std::uint64_t> to_u64_list(py::handle value, std::string_view what);

// The Python name of `value`'s type, for messages.
[[nodiscard]] std::string type_name(py::handle value);

// The entries of `value`, a mapping from str keys (taken by to_text) to
// anything. TypeError names `what` and says what it should map (`maps`, as
// "tensor names to arrays") or be keyed by (`key`, as "tensor name").
[[nodiscard]] std::vector<std::pair<std::string, py::object>> text_keyed_items(
    py::handle value, std::string_view what, std::string_view maps, std::string_view key);

// `value` as UTF-8: a str (ValueError where it holds a lone surrogate, which
// UTF-8 cannot encode) or bytes that are valid UTF-8 (ValueError otherwise),
// so that every name the library holds reads back as a str.
[[nodiscard]] std::string to_text(py::handle value, std::string_view what);

// Whether `text` is valid UTF-8, as Python decodes it.
[[nodiscard]] bool is_utf8(std::string_view text);

// `text` as a str, bytes that are not UTF-8 each read as U+FFFD: for
// messages, which must reach Python whatever a file or a path held.
[[nodiscard]] py::str lenient_str(std::string_view text);

// A name argument: converted by to_text, shown as `str` in signatures.
struct Name {
  std::string text;
};

// An argument the binding converts itself (with to_u64, to_float32, ...),
// shown in signatures and docstrings as the Python type `Hint::name` says
// rather than as an untyped object. `Hint::accepts` may refuse a value, which
// then goes to another overload or fails with TypeError.
template <class Hint>
struct Typed {
  py::object object;
};

namespace hints {

// A type's name as a template argument: Named<"int">.
template <std::size_t N>
struct Literal {
  // NOLINTNEXTLINE(google-explicit-constructor, hicpp-explicit-conversions)
  constexpr Literal(const char (&given)[N]) { std::copy_n(given, N, text); }
  char text[N]{};  // NOLINT(modernize-avoid-c-arrays)
};

template <Literal Text>
struct Named {
  static constexpr auto name = py::detail::const_name(Text.text);
};

using Int = Named<"int">;
using Text = Named<"str">;
using Ints = Named<"Sequence[int]">;
using Array = Named<"numpy.typing.ArrayLike">;
using OptionalArray = Named<"Optional[numpy.typing.ArrayLike]">;
using FloatOrArray = Named<"float | numpy.typing.NDArray[numpy.float32]">;
using Values = Named<"Optional[Mapping[str, numpy.typing.ArrayLike]]">;
using Dims = Named<"Optional[Mapping[str, int]]">;

// Anything that exports a buffer: bytes, bytearray, memoryview, arrays.
struct Bytes : Named<"bytes"> {
  static bool accepts(py::handle value) { return PyObject_CheckBuffer(value.ptr()) != 0; }
};

}  // namespace hints

using Int = Typed<hints::Int>;
using Ints = Typed<hints::Ints>;
using Text = Typed<hints::Text>;
using Array = Typed<hints::Array>;

}  // namespace zelk_python

namespace pybind11::detail {

template <>
struct type_caster<zelk_python::Name> {
  PYBIND11_TYPE_CASTER(zelk_python::Name, const_name("str"));

  // Anything but text is another overload's argument; text that is not
  // Unicode is refused here, with a ValueError.
  bool load(handle source, bool /*convert*/) {
    if (PyUnicode_Check(source.ptr()) == 0 && PyBytes_Check(source.ptr()) == 0) {
      return false;
    }
    value.text = zelk_python::to_text(source, "name");
    return true;
  }

  static handle cast(const zelk_python::Name& name, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return pybind11::str(name.text).release();
  }
};

template <class Hint>
struct type_caster<zelk_python::Typed<Hint>> {
  PYBIND11_TYPE_CASTER(zelk_python::Typed<Hint>, Hint::name);

  bool load(handle source, bool /*convert*/) {
    if constexpr (requires { Hint::accepts(source); }) {
      if (!Hint::accepts(source)) {
        return false;
      }
    }
    value.object = reinterpret_borrow<object>(source);
    return true;
  }

  static handle cast(const zelk_python::Typed<Hint>& typed, return_value_policy /*policy*/,
                     handle /*parent*/) {
    return typed.object.inc_ref();
  }
};

}  // namespace pybind11::detail
