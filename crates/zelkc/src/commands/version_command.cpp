// zelkc version.
#include "commands/version_command.hpp"

#include "build/build_info.hpp"

namespace zelkc {

CLI::App* add_version_command(CLI::App& app) {
  // The text is also --version's, which CLI11 prints with a newline of its
  // own.
  std::string text = version_text();
  text.pop_back();
  app.set_version_flag("--version", text, "Print the version and how zelkc was built, and exit");
  return app.add_subcommand("version", "Print the version and how zelkc was built");
}

std::string version_text() {
  const BuildInfo& build = build_info();
  std::string text = "zelkc " + std::string(build.version) + '\n';
  text += "compiler:   " + std::string(build.compiler) + '\n';
  text +=
      "build type: " + std::string(build.build_type.empty() ? "(none)" : build.build_type) + '\n';
  text += "flags:      " + std::string(build.flags.empty() ? "(none)" : build.flags) + '\n';
  return text;
}

}  // namespace zelkc
