// The library's one error type and the result type of every fallible operation.
#pragma once

#include <expected>
#include <iosfwd>
#include <string>
#include <utility>

namespace zelk_compiler {

// A failure the caller can act on: a malformed graph, bad options or operands
// (`Graph`), or tile memory that cannot be planned (`Memory`). The message is
// the whole payload.
struct CompileError {
  enum class Kind { Graph, Memory };

  Kind kind = Kind::Graph;
  std::string message;

  [[nodiscard]] static CompileError graph(std::string message) {
    return CompileError{Kind::Graph, std::move(message)};
  }
  [[nodiscard]] static CompileError memory(std::string message) {
    return CompileError{Kind::Memory, std::move(message)};
  }

  friend bool operator==(const CompileError&, const CompileError&) = default;
};

template <class T>
using Result = std::expected<T, CompileError>;

// `Graph("message")` or `Memory("message")`, the message quoted and escaped.
std::ostream& operator<<(std::ostream& out, CompileError::Kind kind);
std::ostream& operator<<(std::ostream& out, const CompileError& error);

}  // namespace zelk_compiler
