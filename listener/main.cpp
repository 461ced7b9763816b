// Tallyhost: the UDP listener. Runs with a window when a display is
// available, else (or with "headless=1" on the command line) without one.
#include "main_module.h"
#include "run.h"

int main(int argc, char** argv) {
  std::string command_line = tallyhost::JoinArguments(argc, argv);
  bool headless = false;
  try {
    headless = tallyhost::ParseCommandLine(command_line).headless;
  } catch (...) {
    // A malformed number is reported by start-up itself.
  }
  if (headless || !tallyhost::DisplayAvailable())
    return tallyhost::RunHeadless(argc, argv, command_line);
  return tallyhost::RunWindowed(argc, argv, command_line);
}
