// options: the listener's command line checked before anything starts.
//
// The options are "name=value" words: maxcon=, logout=, cfgfile=,
// headless=, quiet=, metrics=, spoolsync= and spoolmax=, names in any letter case; an empty value
// keeps the default. CheckArguments looks at each word once: "--help" (or
// "-h") and "--version" ask for a text and nothing else, an unknown word or
// a malformed value is a usage error (the caller prints the message and the
// usage and ends with status 2, starting nothing). A word that passes is
// applied later by ParseCommandLine (main_module.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "spool.h"

namespace tallyhost {

struct OptionCheck {
  enum class Action { Run, Help, Version, Usage };
  Action action = Action::Run;
  std::string message;   // for Usage: what is wrong, naming the word
};

OptionCheck CheckArguments(const std::vector<std::string>& args);
std::vector<std::string> ArgumentList(int argc, char** argv);

// The full --help text (every option, files, signals, exit statuses).
std::string HelpText();
// The one-line usage summary printed after a usage error.
std::string UsageLine();
std::string VersionText();

// "ADDR:PORT" (IPv6 addresses in brackets): the metrics endpoint.
struct Endpoint {
  std::string address;
  uint16_t port = 0;
};
std::optional<Endpoint> ParseEndpoint(const std::string& text);

// "spoolsync=": "every" (each datagram synced to disk), "system" (left to
// the system) or a number of milliseconds (synced as a group at most that
// often; 0 is "every"). "spoolmax=": the largest spool file per entry in
// MiB, or in KiB or GiB with "k" or "g" after the number; 0 for no cap. False (and `options` untouched) for any other value.
bool ParseSpoolSync(const std::string& value, SpoolOptions* options);
bool ParseSpoolMax(const std::string& value, SpoolOptions* options);

constexpr int kExitUsage = 2;
constexpr int kExitNoListener = 3;

}  // namespace tallyhost
