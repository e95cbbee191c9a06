// zelkc version and zelkc --version: the version and how this zelkc was
// built.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace zelkc {

CLI::App* add_version_command(CLI::App& app);

// "zelkc 0.1.0" and the lines naming the compiler, the build type and the
// flags the build was configured with, each ending in a newline.
[[nodiscard]] std::string version_text();

}  // namespace zelkc
