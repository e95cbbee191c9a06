// Checked conversions of Python integers and integer sequences.
#include "convert.hpp"

#include <Python.h>

namespace zelk_python {

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

namespace {

// Python's bool or NumPy's: an int to Python (NumPy's only with a warning),
// but True as an extent or an index is a slip.
bool is_boolean(py::handle value) {
  if (PyBool_Check(value.ptr()) != 0) {
    return true;
  }
  const std::string_view type = Py_TYPE(value.ptr())->tp_name;
  return type == "numpy.bool_" || type == "numpy.bool";
}

}  // namespace

std::uint64_t to_u64(py::handle value, std::string_view what) {
  if (value.is_none() || is_boolean(value) || PyIndex_Check(value.ptr()) == 0) {
    throw py::type_error(std::string(what) + " must be an integer, got " + type_name(value));
  }
  const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
  if (!number) {
    throw py::error_already_set();
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(number.ptr(), &overflow);
  if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
    throw py::value_error(std::string(what) + " must not be negative, got " +
                          py::str(number).cast<std::string>());
  }
  const unsigned long long unsigned_value = PyLong_AsUnsignedLongLong(number.ptr());
  if (PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    throw py::value_error(std::string(what) + " must be below 2**64, got " +
                          py::str(number).cast<std::string>());
  }
  return unsigned_value;
}

std::uint64_t check_at_most(std::uint64_t value, std::uint64_t maximum, std::string_view what) {
  if (value > maximum) {
    throw py::value_error(std::string(what) + " must be at most " + std::to_string(maximum) +
                          ", got " + std::to_string(value));
  }
  return value;
}

std::string to_text(py::handle value, std::string_view what) {
  if (PyUnicode_Check(value.ptr()) != 0) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.ptr(), &size);
    if (data == nullptr) {
      PyErr_Clear();
      throw py::value_error(std::string(what) +
                            " must be Unicode text, got a str with a lone surrogate");
    }
    return {data, static_cast<std::size_t>(size)};
  }
  if (PyBytes_Check(value.ptr()) != 0) {
    std::string text = py::reinterpret_borrow<py::bytes>(value);
    if (!is_utf8(text)) {
      throw py::value_error(std::string(what) + " must be UTF-8 text, got bytes that are not");
    }
    return text;
  }
  throw py::type_error(std::string(what) + " must be a str, got " + type_name(value));
}

bool is_utf8(std::string_view text) {
  const auto decoded = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!decoded) {
    PyErr_Clear();
    return false;
  }
  return true;
}

py::str lenient_str(std::string_view text) {
  auto decoded = py::reinterpret_steal<py::str>(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!decoded) {
    throw py::error_already_set();
  }
  return decoded;
}

std::vector<std::pair<std::string, py::object>> text_keyed_items(py::handle value,
                                                                 std::string_view what,
                                                                 std::string_view maps,
                                                                 std::string_view key) {
  const py::object mapping = py::module_::import("collections.abc").attr("Mapping");
  if (!py::isinstance(value, mapping)) {
    throw py::type_error(std::string(what) + " must map " + std::string(maps) + ", got " +
                         type_name(value));
  }
  std::vector<std::pair<std::string, py::object>> items;
  // By key, so that a mapping whose items() is unusual is read all the same.
  for (const py::handle name : py::iter(value)) {
    if (PyUnicode_Check(name.ptr()) == 0) {
      throw py::type_error(std::string(what) + " must be keyed by " + std::string(key) +
                           ", got a key of type " + type_name(name));
    }
    items.emplace_back(to_text(name, std::string(what) + " keys"), value[name]);
  }
  return items;
}

std::vector<std::uint64_t> to_u64_list(py::handle value, std::string_view what) {
  if (value.is_none() || PyUnicode_Check(value.ptr()) != 0 || PyBytes_Check(value.ptr()) != 0 ||
      PySequence_Check(value.ptr()) == 0) {
    throw py::type_error(std::string(what) + " must be a sequence of integers, got " +
                         type_name(value));
  }
  std::vector<std::uint64_t> values;
  const std::string entry = std::string(what) + " entries";
  for (const py::handle item : py::iter(value)) {
    values.push_back(to_u64(item, entry));
  }
  return values;
}

}  // namespace zelk_python
