// Tallyhost: the UDP listener. Runs with a window when a display is
// available, else (or with "headless=1" on the command line) without one.
#include <cstdio>

#include "main_module.h"
#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
  const tallyhost::OptionCheck check = tallyhost::CheckArguments(tallyhost::ArgumentList(argc, argv));
  switch (check.action) {
    case tallyhost::OptionCheck::Action::Help:
      std::fputs(tallyhost::HelpText().c_str(), stdout);
      return 0;
    case tallyhost::OptionCheck::Action::Version:
      std::fputs(tallyhost::VersionText().c_str(), stdout);
      return 0;
    case tallyhost::OptionCheck::Action::Usage:
      std::fprintf(stderr, "tallyhost: %s\n%s", check.message.c_str(), tallyhost::UsageLine().c_str());
      return tallyhost::kExitUsage;
    case tallyhost::OptionCheck::Action::Run:
      break;
  }
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
