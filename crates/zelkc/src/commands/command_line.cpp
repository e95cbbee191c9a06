// CLI11's parse errors turned into failures that say what to type instead.
#include "commands/command_line.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string_view>
#include <utility>

#include "commands/suggestions.hpp"

namespace zelkc {
namespace {

// Flags that read a file, and the file name ending that hints at each.
constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kFileFlags{{
    {".json", "--graph"},
    {".onnx", "--onnx"},
}};

std::vector<std::string> flag_names(const CLI::App& command) {
  std::vector<std::string> names;
  for (const CLI::Option* option : command.get_options()) {
    for (const std::string& name : option->get_lnames()) {
      names.push_back("--" + name);
    }
    for (const std::string& name : option->get_snames()) {
      names.push_back("-" + name);
    }
  }
  return names;
}

bool has_flag(const CLI::App& command, std::string_view flag) {
  const std::vector<std::string> names = flag_names(command);
  return std::ranges::find(names, flag) != names.end();
}

std::vector<const CLI::App*> all_commands(const CLI::App& app) {
  return app.get_subcommands([](const CLI::App*) { return true; });
}

std::vector<std::string> command_names(const CLI::App& app) {
  std::vector<std::string> names;
  for (const CLI::App* command : all_commands(app)) {
    names.push_back(command->get_name());
  }
  return names;
}

std::string unknown_command(const CLI::App& app, const std::string& word) {
  const std::vector<std::string> commands = command_names(app);
  const std::string message = word + ": unknown command";
  if (const auto near = closest(word, commands)) {
    return message + "; did you mean " + *near + '?';
  }
  return message + "; the commands are " + listing(commands, "and");
}

std::string unknown_flag(const CLI::App& app, const CLI::App& command, std::string word) {
  // "--tiels=16" is the flag "--tiels".
  word = word.substr(0, word.find('='));
  std::string message = word + ": unknown flag";
  if (const auto near = closest(word, flag_names(command))) {
    return message + "; did you mean " + *near + '?';
  }
  if (&command == &app) {
    return message + "; flags come after the command";
  }
  std::vector<std::string> others;
  for (const CLI::App* other : all_commands(app)) {
    if (other != &command && has_flag(*other, word)) {
      others.push_back(other->get_name());
    }
  }
  if (!others.empty()) {
    return word + ": not a flag of " + command.get_name() + "; " + listing(others, "and") +
           (others.size() == 1 ? " has it" : " have it");
  }
  return message;
}

// A word where no argument belongs: when the command reads files, it was
// likely meant for the flag that names one.
std::string unexpected_argument(const CLI::App& command, const std::string& word) {
  const std::string message = word + ": unexpected argument";
  std::vector<std::string> readers;
  for (const auto& [ending, flag] : kFileFlags) {
    if (!has_flag(command, flag)) {
      continue;
    }
    if (word.ends_with(ending)) {
      readers = {std::string(flag) + ' ' + word};
      break;
    }
    readers.push_back(std::string(flag) + ' ' + word);
  }
  return readers.empty() ? message : message + "; did you mean " + listing(readers, "or") + '?';
}

// The command whose arguments were being read when parsing stopped.
CLI::App& innermost_command(CLI::App& app) {
  CLI::App* command = &app;
  while (!command->get_subcommands().empty()) {
    command = command->get_subcommands().front();
  }
  return *command;
}

Failure parse_failure(CLI::App& app, const CLI::ParseError& error) {
  CLI::App& innermost = innermost_command(app);
  const bool top = &innermost == &app;
  const std::string help =
      top ? std::string(" (see zelkc --help)") : " (see zelkc " + innermost.get_name() + " --help)";

  // Words nothing took: those of the innermost command, or failing that of
  // the command line before it.
  const bool extras_error = dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr;
  const bool required_error = dynamic_cast<const CLI::RequiredError*>(&error) != nullptr;
  if (extras_error || (top && required_error)) {
    for (CLI::App* command = &innermost; command != nullptr; command = command->get_parent()) {
      const std::vector<std::string> extras = command->remaining();
      if (extras.empty()) {
        continue;
      }
      const std::string& word = extras.front();
      if (word.starts_with('-')) {
        return Failure::usage(unknown_flag(app, *command, word) + help);
      }
      if (command == &app) {
        return Failure::usage(unknown_command(app, word) + help);
      }
      return Failure::usage(unexpected_argument(*command, word) + help);
    }
  }
  if (top && required_error) {
    return Failure::usage("a command is required: " + listing(command_names(app), "or") + help);
  }
  return Failure::usage(error.what() + help);
}

}  // namespace

Outcome<bool> parse_command_line(CLI::App& app, std::vector<std::string> arguments) {
  // CLI11 takes the arguments last first.
  std::ranges::reverse(arguments);
  try {
    app.parse(arguments);
  } catch (const CLI::ParseError& error) {
    // Help requests come as ParseErrors with exit code 0; CLI11 prints the
    // help of the command they were made on.
    if (error.get_exit_code() == 0) {
      errno = 0;
      app.exit(error);
      return false;
    }
    return std::unexpected(parse_failure(app, error));
  }
  return true;
}

int finish(const Outcome<std::string>& done, std::ostream& out, std::ostream& err) {
  if (!done) {
    err << "zelkc: error: " << done.error().message << '\n';
    return done.error().exit_status();
  }
  errno = 0;
  out << *done;
  return flush_output(out, err);
}

int flush_output(std::ostream& out, std::ostream& err) {
  out.flush();
  if (out) {
    return 0;
  }
  // The stream keeps no reason of its own; the failed write's errno is the
  // best there is, when the caller cleared it before writing.
  const int error = errno;
  std::string message = "standard output: cannot write";
  if (error != 0) {
    message += ": ";
    message += std::strerror(error);
  }
  return finish(std::unexpected(Failure::failed(std::move(message))), out, err);
}

}  // namespace zelkc
