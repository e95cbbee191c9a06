// zelk-checks: runs the built-in checks; see --help for the command line.
#include "checks/checks.hpp"
#include "checks/runner.hpp"

int main(int argc, char** argv) {
  return zelk_compiler::checks::run_main(zelk_compiler::tests::check_table(), argc, argv);
}
