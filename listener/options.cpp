#include "options.h"

#include <QHostAddress>
#include <cctype>
#include <cstdlib>

#include "text_rules.h"

#ifndef TALLY_VERSION
#define TALLY_VERSION "0.0"
#endif

namespace tallyhost {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool HasDigitPrefix(const std::string& v) {
  size_t i = 0;
  while (i < v.size() && v[i] == ' ') ++i;
  if (i < v.size() && (v[i] == '+' || v[i] == '-')) ++i;
  if (i < v.size() && v[i] == '.') ++i;
  return i < v.size() && std::isdigit(static_cast<unsigned char>(v[i]));
}

// Empty when the value fits the option, else what is wrong with it.
std::string CheckValue(const std::string& name, const std::string& value) {
  if (value.empty()) return "";
  if (name == "maxcon" || name == "logout") {
    if (!HasDigitPrefix(value)) return "a number is expected";
    try {
      if (name == "maxcon") RoundToInt32(NumberPrefix(value));
      else RoundToInt16(NumberPrefix(value));
    } catch (...) {
      return "the number is out of range";
    }
    return "";
  }
  if (name == "headless" || name == "quiet")
    return value == "0" || value == "1" ? "" : "0 or 1 is expected";
  if (name == "metrics")
    return ParseEndpoint(value) ? "" : "ADDRESS:PORT is expected, such as 127.0.0.1:9465";
  SpoolOptions ignored;
  if (name == "spoolsync")
    return ParseSpoolSync(value, &ignored) ? "" : "every, system or a number of milliseconds is expected";
  if (name == "spoolmax")
    return ParseSpoolMax(value, &ignored) ? "" : "a size such as 1024, 512k or 2g (MiB unless K or G follows; 0: no cap) is expected";
  return "";   // cfgfile: any file name
}

}  // namespace

std::vector<std::string> ArgumentList(int argc, char** argv) {
  std::vector<std::string> out;
  for (int i = 1; i < argc; ++i) out.emplace_back(argv[i]);
  return out;
}

OptionCheck CheckArguments(const std::vector<std::string>& args) {
  OptionCheck c;
  for (const std::string& word : args) {
    const std::string lowered = Lower(word);
    if (lowered == "--help" || lowered == "-h") return {OptionCheck::Action::Help, ""};
    if (lowered == "--version") return {OptionCheck::Action::Version, ""};
  }
  for (const std::string& word : args) {
    if (word.empty()) continue;
    const size_t eq = word.find('=');
    const std::string name = Lower(word.substr(0, eq));
    if (eq == std::string::npos ||
        (name != "maxcon" && name != "logout" && name != "cfgfile" && name != "headless" &&
         name != "quiet" && name != "metrics" && name != "spoolsync" && name != "spoolmax"))
      return {OptionCheck::Action::Usage, "unknown option '" + word + "'"};
    const std::string problem = CheckValue(name, word.substr(eq + 1));
    if (!problem.empty())
      return {OptionCheck::Action::Usage, "malformed option '" + word + "': " + problem};
  }
  return c;
}

namespace {
// A whole decimal number of at most `digits` digits.
bool WholeNumber(const std::string& v, size_t digits, uint64_t* out) {
  if (v.empty() || v.size() > digits) return false;
  for (char ch : v)
    if (!std::isdigit(static_cast<unsigned char>(ch))) return false;
  *out = std::strtoull(v.c_str(), nullptr, 10);
  return true;
}
}  // namespace

bool ParseSpoolSync(const std::string& value, SpoolOptions* options) {
  const std::string v = Lower(value);
  uint64_t ms = 0;
  if (v == "every") {
    options->sync = SpoolSync::kEvery;
  } else if (v == "system") {
    options->sync = SpoolSync::kSystem;
  } else if (WholeNumber(v, 6, &ms)) {
    options->sync = ms == 0 ? SpoolSync::kEvery : SpoolSync::kGroup;
    options->group_interval = std::chrono::milliseconds(ms);
  } else {
    return false;
  }
  return true;
}

bool ParseSpoolMax(const std::string& value, SpoolOptions* options) {
  std::string v = Lower(value);
  int shift = 20;
  if (!v.empty() && (v.back() == 'k' || v.back() == 'm' || v.back() == 'g')) {
    shift = v.back() == 'k' ? 10 : v.back() == 'm' ? 20 : 30;
    v.pop_back();
  }
  uint64_t n = 0;
  if (!WholeNumber(v, 7, &n)) return false;
  options->max_bytes = n << shift;
  return true;
}

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
  const size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return std::nullopt;
  std::string address = text.substr(0, colon);
  const std::string port = text.substr(colon + 1);
  if (address.front() == '[') {
    if (address.size() < 3 || address.back() != ']') return std::nullopt;
    address = address.substr(1, address.size() - 2);
  } else if (address.find(':') != std::string::npos) {
    return std::nullopt;   // an IPv6 address needs brackets
  }
  if (port.size() > 5) return std::nullopt;
  for (char ch : port)
    if (!std::isdigit(static_cast<unsigned char>(ch))) return std::nullopt;
  const long p = std::strtol(port.c_str(), nullptr, 10);
  if (p < 1 || p > 65535) return std::nullopt;
  QHostAddress parsed;
  if (!parsed.setAddress(QString::fromStdString(address))) return std::nullopt;
  return Endpoint{address, static_cast<uint16_t>(p)};
}

std::string UsageLine() {
  return "Usage: tallyhost [maxcon=N] [logout=0|1] [cfgfile=NAME] [headless=0|1] [quiet=0|1]\n"
         "                 [metrics=ADDRESS:PORT] [spoolsync=every|system|MS] [spoolmax=MIB]\n"
         "                 | --help | --version\n";
}

std::string VersionText() { return std::string("tallyhost ") + TALLY_VERSION + "\n"; }

std::string HelpText() {
  return UsageLine() + R"(
Tallyhost receives game-server log datagrams over UDP and stores them in a
statistics database through the Tallycore engine library.

Options (names in any letter case; an empty value keeps the default):
  maxcon=N          largest connection number (default 10, at least 1)
  logout=0|1        raw logging to Logout.log (default 1)
  cfgfile=NAME      connections file in the program folder
                    (default connections.cfg)
  headless=1        run without a window (also when no display is set)
  quiet=1           headless: no line per datagram on standard output;
                    failures still go to standard error
  metrics=ADDR:PORT serve metrics in the Prometheus text format over HTTP
                    at http://ADDR:PORT/metrics (off by default); IPv6
                    addresses in brackets, e.g. [::1]:9465
  spoolsync=MS      how often each entry's spool is synced to disk: at most
                    every MS milliseconds (default 200), "every" datagram,
                    or "system" (left to the system; a killed program loses
                    nothing in any case, a power cut what was not synced)
  spoolmax=SIZE     largest spool file per entry in MiB, or with K or G
                    after the number in KiB or GiB (default 1024, 0 no cap);
                    beyond it datagrams wait in memory, then in the system's
                    receive buffers, and the newest are dropped
  --help            this text
  --version         the version

Files (in the program folder, $XDG_DATA_HOME/tallyhost or
~/.local/share/tallyhost unless the engine library is registered):
  connections.cfg   one line per connection:
                    Port=N,Database=CONNECTION STRING,Logon=False,Log=PATH
  connections.allow optional allow-list of senders per port (named after
                    the connections file); see the README
  Process.log       the engine's process log

Signals (headless and windowed):
  SIGTERM, SIGINT   hand over what was received, save the connections and
                    the settings, and end
  SIGHUP            save the connections and the settings, read the
                    allow-list again, and go on; a Process.log or
                    Logout.log renamed away (logrotate) is made anew at its
                    path with the next line, with or without the signal

Exit status:
  0 ended normally, 1 start-up failed, 2 usage error,
  3 headless and no connection could listen.
)";
}

}  // namespace tallyhost
