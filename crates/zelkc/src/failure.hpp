// How zelkc reports a failure: a one-line message and the exit status it ends
// the process with.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace zelkc {

struct Failure {
  // `Usage`: bad flags or a malformed file (exit status 2). `Refused`: the
  // input was well formed but the library refused it (exit status 1).
  // `Failed`: an input file could not be read (missing, a directory, too
  // long), or the system failed a write once it was under way, such as a
  // full disk (exit status 1).
  enum class Kind { Usage, Refused, Failed };

  Kind kind = Kind::Usage;
  std::string message;

  [[nodiscard]] static Failure usage(std::string message) {
    return Failure{Kind::Usage, std::move(message)};
  }
  [[nodiscard]] static Failure refused(std::string message) {
    return Failure{Kind::Refused, std::move(message)};
  }
  [[nodiscard]] static Failure failed(std::string message) {
    return Failure{Kind::Failed, std::move(message)};
  }

  [[nodiscard]] int exit_status() const { return kind == Kind::Usage ? 2 : 1; }

  // The same failure with `where` and ": " in front of the message.
  [[nodiscard]] Failure at(std::string_view where) const {
    std::string located(where);
    located += ": ";
    located += message;
    return Failure{kind, std::move(located)};
  }
};

template <class T>
using Outcome = std::expected<T, Failure>;

}  // namespace zelkc
