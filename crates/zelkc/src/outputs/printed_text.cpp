// Breaking a printed value over lines in two passes: the first decides which
// bracket groups break, the second writes the text with the line breaks.
//
// A group is the text between matching brackets: a record (`Name { ... }`),
// a map (`{...}` without a name), a list (`[...]`) or a call (`Some(...)`).
// A list or map breaks when one of its elements is a record; any group
// breaks when a group directly inside it breaks. So a group that does not
// break holds none that does, and the indentation is the number of broken
// groups open. Both passes are linear in the text.
#include "outputs/printed_text.hpp"

#include <cctype>
#include <cstddef>
#include <vector>

namespace zelkc {
namespace {

enum class Group { Record, Map, List, Call };

// The end of the quoted string starting at `at` (one past its closing quote),
// or the end of the text for an unterminated one.
std::size_t string_end(std::string_view text, std::size_t at) {
  for (std::size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i + 1;
    }
  }
  return text.size();
}

bool opens(char c) { return c == '{' || c == '[' || c == '('; }
bool closes(char c) { return c == '}' || c == ']' || c == ')'; }

// A brace opens a record when a name and a space come before it.
Group group_at(std::string_view text, std::size_t at) {
  switch (text[at]) {
    case '[':
      return Group::List;
    case '(':
      return Group::Call;
    default: {
      const bool named =
          at >= 2 && text[at - 1] == ' ' &&
          (std::isalnum(static_cast<unsigned char>(text[at - 2])) != 0 || text[at - 2] == '_');
      return named ? Group::Record : Group::Map;
    }
  }
}

// Whether each group breaks, in the order the groups open.
std::vector<bool> breaking_groups(std::string_view text) {
  struct Open {
    std::size_t index = 0;
    Group group = Group::List;
    bool holds_record = false;
    bool holds_broken = false;
  };
  std::vector<bool> breaks;
  std::vector<Open> open;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      i = string_end(text, i) - 1;
    } else if (opens(c)) {
      open.push_back({.index = breaks.size(), .group = group_at(text, i)});
      breaks.push_back(false);
    } else if (closes(c) && !open.empty()) {
      const Open group = open.back();
      open.pop_back();
      const bool holds_elements = group.group == Group::List || group.group == Group::Map;
      const bool broken = group.holds_broken || (holds_elements && group.holds_record);
      breaks[group.index] = broken;
      if (!open.empty()) {
        open.back().holds_record = open.back().holds_record || group.group == Group::Record;
        open.back().holds_broken = open.back().holds_broken || broken;
      }
    }
  }
  return breaks;
}

}  // namespace

std::string indent_printed_form(std::string_view text) {
  const std::vector<bool> breaks = breaking_groups(text);
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  std::vector<bool> open;  // whether each open group breaks
  std::size_t depth = 0;   // broken groups open
  std::size_t next_group = 0;
  const auto new_line = [&] {
    out += '\n';
    out.append(2 * depth, ' ');
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool in_broken = !open.empty() && open.back();
    if (c == '"') {
      const std::size_t end = string_end(text, i);
      out.append(text.substr(i, end - i));
      i = end - 1;
    } else if (opens(c)) {
      const bool broken = next_group < breaks.size() && breaks[next_group];
      ++next_group;
      open.push_back(broken);
      out += c;
      if (broken) {
        ++depth;
        new_line();
        // A record's fields start after "{ ".
        if (c == '{' && i + 1 < text.size() && text[i + 1] == ' ') {
          ++i;
        }
      }
    } else if (closes(c) && !open.empty()) {
      if (in_broken) {
        --depth;
        new_line();
      }
      open.pop_back();
      out += c;
    } else if (c == ',' && in_broken) {
      out += ',';
      new_line();
      if (i + 1 < text.size() && text[i + 1] == ' ') {
        ++i;
      }
    } else if (c == ' ' && in_broken && i + 1 < text.size() && text[i + 1] == '}') {
      // The space before a broken record's closing brace gives way to the
      // line break.
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace zelkc
