#include "send_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

namespace tallysend {

const char kUsage[] =
    "usage: tallysend [options] LOGFILE|-\n"
    "       tallysend [options] --follow LOGFILE [--state FILE] [--from-start]\n"
    "\n"
    "Sends the records of LOGFILE (one record per line) to a listener as UDP datagrams.\n"
    "\"-\" reads standard input and sends the records as they arrive: a batch goes out\n"
    "whenever input pauses, the rest at its end.\n"
    "  --to HOST:PORT       the listener (default 127.0.0.1:28000)\n"
    "  --hostname NAME      server variable hostname (default \"tallysend\")\n"
    "  --host-ip IP         server variable $HOST_IP$ (default 127.0.0.1)\n"
    "  --port PORT          server variable port (default 27960)\n"
    "  --var NAME=VALUE     a further server variable (repeatable)\n"
    "  --player-vars FILE   player variable lines (e.g. netname \"x\") for the last datagram\n"
    "                       (of every batch when streaming)\n"
    "  --max-size BYTES     largest datagram (default 1400, at most 65507)\n"
    "  --first-packet N     the first packet number (default 1)\n"
    "  --rate N             datagrams per second (default: as fast as possible)\n"
    "  --repeat N           send the whole log N times (default 1)\n"
    "  --count N            send exactly N datagrams, going round the log as needed\n"
    "                       (--rate, --repeat and --count read all of \"-\" before sending)\n"
    "  --follow LOGFILE     send the records appended to LOGFILE as they are written, as\n"
    "                       tail -F: from its end (what it holds is not sent), through\n"
    "                       rotation (the old file is read to its end, then the new one\n"
    "                       from its start) and truncation; a missing file is waited for\n"
    "                       and read from its start. Runs until SIGTERM or SIGINT.\n"
    "  --from-start         with --follow: send what LOGFILE holds already, then follow\n"
    "  --state FILE         with --follow: after each datagram, note in FILE how far\n"
    "                       sending got and the next packet number; a run started with\n"
    "                       the same FILE goes on with the first record not yet sent (a\n"
    "                       log rotated meanwhile is looked for in its folder and\n"
    "                       finished first); without FILE yet, it starts as without it\n"
    "  --quiet              no summary\n"
    "Packet numbers keep increasing over repeats. Exit status 0 when all were sent\n"
    "(and on SIGTERM or SIGINT, after the datagram being sent).\n"
    "The systemd unit tallysend@NAME follows one log configured in /etc/tallysend/NAME.conf.\n";

void Fail(const std::string& message) {
  std::fprintf(stderr, "tallysend: %s\n", message.c_str());
  std::exit(2);
}

namespace {

long ParseLong(const std::string& option, const std::string& text, long min, long max) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max)
    Fail(option + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
         ", not \"" + text + "\"");
  return v;
}

}  // namespace

Options Parse(int argc, char** argv) {
  Options o;
  std::string hostname = "tallysend", host_ip = "127.0.0.1", port = "27960";
  std::vector<std::pair<std::string, std::string>> extra;
  long first = 1;
  bool rate_given = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--to") {
      std::string t = value();
      size_t colon = t.rfind(':');
      if (colon == std::string::npos || colon == 0) Fail("--to needs HOST:PORT");
      o.host = t.substr(0, colon);
      // An IPv6 address may stand in brackets, as in [::1]:28000.
      if (o.host.size() > 2 && o.host.front() == '[' && o.host.back() == ']') o.host = o.host.substr(1, o.host.size() - 2);
      o.target_port = std::to_string(ParseLong("--to", t.substr(colon + 1), 1, 65535));
    } else if (a == "--hostname") {
      hostname = value();
    } else if (a == "--host-ip") {
      host_ip = value();
    } else if (a == "--port") {
      port = value();
    } else if (a == "--var") {
      std::string v = value();
      size_t eq = v.find('=');
      if (eq == std::string::npos || eq == 0) Fail("--var needs NAME=VALUE");
      extra.emplace_back(v.substr(0, eq), v.substr(eq + 1));
    } else if (a == "--player-vars") {
      o.player_vars_path = value();
    } else if (a == "--max-size") {
      o.max_size = static_cast<size_t>(ParseLong(a, value(), 64, 65507));
    } else if (a == "--first-packet") {
      first = ParseLong(a, value(), 0, datagram::kMaxPacketNumber);
    } else if (a == "--rate") {
      o.rate = static_cast<double>(ParseLong(a, value(), 1, 100000000));
      rate_given = true;
    } else if (a == "--repeat") {
      o.repeat = ParseLong(a, value(), 1, 100000000);
      o.repeat_given = true;
    } else if (a == "--count") {
      o.count = ParseLong(a, value(), 0, 1000000000);
    } else if (a == "--follow") {
      o.follow_path = value();
      if (o.follow_path.empty()) Fail("--follow needs a file");
    } else if (a == "--state") {
      o.state_path = value();
      if (o.state_path.empty()) Fail("--state needs a file");
    } else if (a == "--from-start") {
      o.from_start = true;
    } else if (a == "--quiet") {
      o.quiet = true;
    } else if (a.size() > 1 && a[0] == '-' && a != "-") {
      Fail("unknown option " + a + "\n" + kUsage);
    } else if (o.log_path.empty()) {
      o.log_path = a;
    } else {
      Fail("only one log file can be sent");
    }
  }
  if (!o.follow_path.empty()) {
    if (!o.log_path.empty()) Fail("--follow sends one log file; \"" + o.log_path + "\" is one too many");
    if (rate_given || o.repeat_given || o.count >= 0) Fail("--follow can not be used with --rate, --repeat or --count");
  } else {
    if (o.log_path.empty()) Fail(std::string("no log file given\n") + kUsage);
    if (!o.state_path.empty() || o.from_start) Fail("--state and --from-start need --follow");
  }
  o.log.server_vars = {{"hostname", hostname}, {"$HOST_IP$", host_ip}, {"port", port}};
  o.log.server_vars.insert(o.log.server_vars.end(), extra.begin(), extra.end());
  o.log.packet_number = static_cast<uint32_t>(first);
  // Streaming standard input sends as records arrive; the options that need
  // the whole log first keep reading it all.
  if (o.log_path == "-" && (rate_given || o.repeat_given || o.count >= 0)) o.read_all_input = true;
  return o;
}

}  // namespace tallysend
