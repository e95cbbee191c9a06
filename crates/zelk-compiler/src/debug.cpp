// Printed forms of strings, floats and instants, and of the error type.
#include "zelk_compiler/debug.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <ostream>

#include "zelk_compiler/error.hpp"

namespace zelk_compiler {

void write_debug(std::ostream& out, std::string_view text) {
  static constexpr std::string_view hex = "0123456789abcdef";
  out << '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out << "\\\"";
        break;
      case '\\':
        out << "\\\\";
        break;
      case '\n':
        out << "\\n";
        break;
      case '\r':
        out << "\\r";
        break;
      case '\t':
        out << "\\t";
        break;
      default: {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
          out << "\\u{" << hex[byte >> 4U] << hex[byte & 0xFU] << '}';
        } else {
          out << c;
        }
      }
    }
  }
  out << '"';
}

namespace {

template <class Float>
void write_shortest(std::ostream& out, Float value) {
  std::array<char, 32> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
  out.write(buffer.data(), result.ptr - buffer.data());
}

}  // namespace

void write_debug(std::ostream& out, float value) { write_shortest(out, value); }

void write_debug(std::ostream& out, double value) { write_shortest(out, value); }

void write_debug(std::ostream& out, std::chrono::steady_clock::time_point instant) {
  out << instant.time_since_epoch().count() << " ns";
}

std::ostream& operator<<(std::ostream& out, CompileError::Kind kind) {
  return out << (kind == CompileError::Kind::Graph ? "Graph" : "Memory");
}

std::ostream& operator<<(std::ostream& out, const CompileError& error) {
  out << error.kind << '(';
  write_debug(out, error.message);
  return out << ')';
}

}  // namespace zelk_compiler
