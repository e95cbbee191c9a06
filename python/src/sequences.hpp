// Read-only sequence views of the lists inside a record that Python owns
// (`graph.tensors`, `schedule.phases`). A view holds the owner, not the list:
// every access finds the list again and hands out copies, so a view stays
// valid while the owner grows (a Graph's builders append) and keeps it alive.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "short_repr.hpp"
#include "zelk_compiler/debug.hpp"

namespace zelk_python {

namespace py = pybind11;

// Position `index` of a list of `size` entries, counting from the end for a
// negative index; IndexError past either end.
[[nodiscard]] inline std::size_t list_position(py::ssize_t index, std::size_t size) {
  const auto length = static_cast<py::ssize_t>(size);
  const py::ssize_t position = index < 0 ? index + length : index;
  if (position < 0 || position >= length) {
    throw py::index_error("index " + std::to_string(index) + " out of range for " +
                          std::to_string(size) + " entries");
  }
  return static_cast<std::size_t>(position);
}

// A view whose entries are indexed by an id (a graph's tensors by TensorId,
// its operations by OpId) takes that id as well as a position.
template <class Owner, class Element, std::vector<Element> Owner::*Member, class Id = void>
class ListView {
 public:
  using Value = Element;
  using IndexId = Id;

  explicit ListView(py::object owner) : owner_(std::move(owner)) {}

  [[nodiscard]] const std::vector<Element>& items() const {
    return owner_.cast<const Owner&>().*Member;
  }
  [[nodiscard]] const py::object& owner() const { return owner_; }

 private:
  py::object owner_;
};

// Binds `View` as a Python sequence: len, indexing from either end (and by
// id, where the view has one), slices (as lists), iteration, `==` against any
// sequence of the same records, and a short repr of the first entries.
template <class View>
py::class_<View> bind_list_view(py::handle scope, const char* name) {
  using Element = typename View::Value;
  py::class_<View> view(scope, name);
  view.def("__len__", [](const View& self) { return self.items().size(); })
      .def(
          "__getitem__",
          [](const View& self, py::ssize_t index) {
            const auto& items = self.items();
            return items[list_position(index, items.size())];
          },
          py::arg("index"))
      .def(
          "__getitem__",
          [](const View& self, const py::slice& range) {
            const auto& items = self.items();
            py::ssize_t start = 0;
            py::ssize_t stop = 0;
            py::ssize_t step = 0;
            py::ssize_t length = 0;
            if (!range.compute(static_cast<py::ssize_t>(items.size()), &start, &stop, &step,
                               &length)) {
              throw py::error_already_set();
            }
            py::list result;
            for (py::ssize_t i = 0; i < length; ++i) {
              result.append(py::cast(items[static_cast<std::size_t>(start + i * step)]));
            }
            return result;
          },
          py::arg("index"))
      .def(
          "__eq__",
          [](const View& self, const py::object& other) -> py::object {
            try {
              return py::bool_(self.items() == other.cast<std::vector<Element>>());
            } catch (const py::cast_error&) {
              return py::reinterpret_borrow<py::object>(Py_NotImplemented);
            }
          },
          py::arg("other"))
      .def("__repr__", [](const View& self) { return short_list(self.items()); });
  if constexpr (!std::is_void_v<typename View::IndexId>) {
    using Id = typename View::IndexId;
    view.def(
        "__getitem__",
        [](const View& self, const Id& id) {
          const auto& items = self.items();
          if (id.index >= items.size()) {
            throw py::index_error(zelk_compiler::debug_string(id) + " out of range for " +
                                  std::to_string(items.size()) + " entries");
          }
          return items[id.index];
        },
        py::arg("id"));
  }
  return view;
}

}  // namespace zelk_python
