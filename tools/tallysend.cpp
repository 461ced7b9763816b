// tallysend: sends a game log to a listener the way a game server's log mod
// does. The log holds one record per line, as the records appear in a
// datagram (tab-separated fields); it is cut into datagrams of at most
// --max-size bytes by the engine's datagram builder, each carrying the server
// variables and an increasing packet number. The player variable section
// comes from a second file.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datagram_builder.h"
#include "textfile.h"

namespace {

const char kUsage[] =
    "usage: tallysend [options] LOGFILE|-\n"
    "\n"
    "Sends the records of LOGFILE (one record per line; \"-\" reads standard input)\n"
    "to a listener as UDP datagrams.\n"
    "  --to HOST:PORT       the listener (default 127.0.0.1:28000)\n"
    "  --hostname NAME      server variable hostname (default \"tallysend\")\n"
    "  --host-ip IP         server variable $HOST_IP$ (default 127.0.0.1)\n"
    "  --port PORT          server variable port (default 27960)\n"
    "  --var NAME=VALUE     a further server variable (repeatable)\n"
    "  --player-vars FILE   player variable lines (e.g. netname \"x\") for the last datagram\n"
    "  --max-size BYTES     largest datagram (default 1400, at most 65507)\n"
    "  --first-packet N     the first packet number (default 1)\n"
    "  --rate N             datagrams per second (default: as fast as possible)\n"
    "  --repeat N           send the whole log N times (default 1)\n"
    "  --count N            send exactly N datagrams, going round the log as needed\n"
    "  --quiet              no summary\n"
    "Packet numbers keep increasing over repeats. Exit status 0 when all were sent.\n";

[[noreturn]] void Fail(const std::string& message) {
  std::fprintf(stderr, "tallysend: %s\n", message.c_str());
  std::exit(2);
}

long ParseLong(const std::string& option, const std::string& text, long min, long max) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || v < min || v > max)
    Fail(option + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
         ", not \"" + text + "\"");
  return v;
}

// The file's lines (ended by CR LF, a lone CR or a lone LF, as every text
// file of the programs); a leading UTF-8 byte-order mark, as some editors
// write, is no part of the first record.
std::vector<std::string> ReadLines(const std::string& path, bool skip_empty) {
  std::optional<std::string> bytes;
  if (path == "-") {
    bytes.emplace(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) bytes.reset();
  } else {
    errno = 0;
    bytes = textfile::ReadAll(path);
  }
  if (!bytes) Fail("can not read " + path + (errno ? std::string(": ") + std::strerror(errno) : ""));
  if (bytes->rfind("\xEF\xBB\xBF", 0) == 0) bytes->erase(0, 3);
  std::vector<std::string> lines;
  for (std::string& line : textfile::SplitLines(*bytes))
    if (!skip_empty || !line.empty()) lines.push_back(std::move(line));
  return lines;
}

struct Options {
  std::string host = "127.0.0.1", target_port = "28000";
  datagram::Builder log;
  std::string log_path, player_vars_path;
  size_t max_size = 1400;
  double rate = 0;
  long repeat = 1, count = -1;
  bool quiet = false;
};

Options Parse(int argc, char** argv) {
  Options o;
  std::string hostname = "tallysend", host_ip = "127.0.0.1", port = "27960";
  std::vector<std::pair<std::string, std::string>> extra;
  long first = 1;
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
    } else if (a == "--repeat") {
      o.repeat = ParseLong(a, value(), 1, 100000000);
    } else if (a == "--count") {
      o.count = ParseLong(a, value(), 0, 1000000000);
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
  if (o.log_path.empty()) Fail(std::string("no log file given\n") + kUsage);
  o.log.server_vars = {{"hostname", hostname}, {"$HOST_IP$", host_ip}, {"port", port}};
  o.log.server_vars.insert(o.log.server_vars.end(), extra.begin(), extra.end());
  o.log.packet_number = static_cast<uint32_t>(first);
  o.log.records = ReadLines(o.log_path, true);
  if (!o.player_vars_path.empty()) o.log.player_var_lines = ReadLines(o.player_vars_path, true);
  return o;
}

int OpenSocket(const Options& o, sockaddr_storage* to, socklen_t* to_len) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(o.host.c_str(), o.target_port.c_str(), &hints, &found);
  if (rc != 0) Fail("can not resolve " + o.host + ": " + ::gai_strerror(rc));
  int fd = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (fd < 0) Fail(std::string("can not open a socket: ") + std::strerror(errno));
  std::memcpy(to, found->ai_addr, found->ai_addrlen);
  *to_len = found->ai_addrlen;
  ::freeaddrinfo(found);
  return fd;
}

}  // namespace

int main(int argc, char** argv) {
  Options o = Parse(argc, argv);
  std::vector<datagram::Builder> parts;
  try {
    parts = datagram::Split(o.log, o.max_size);
  } catch (const std::exception& e) {
    Fail(std::string("the log can not be sent: ") + e.what());
  }
  if (parts.empty()) Fail("the log holds nothing to send");
  sockaddr_storage to{};
  socklen_t to_len = 0;
  int fd = OpenSocket(o, &to, &to_len);

  const long total = o.count >= 0 ? o.count : o.repeat * static_cast<long>(parts.size());
  uint32_t packet = o.log.packet_number;
  uint64_t bytes_sent = 0;
  auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < total; ++i) {
    if (o.rate > 0) {
      auto due = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                             std::chrono::duration<double>(i / o.rate));
      std::this_thread::sleep_until(due);
    }
    datagram::Builder b = parts[static_cast<size_t>(i) % parts.size()];
    b.packet_number = packet++;
    std::vector<uint8_t> bytes;
    try {
      bytes = b.Build();
    } catch (const std::exception& e) {
      Fail(std::string("datagram can not be built: ") + e.what());
    }
    while (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                    to_len) < 0) {
      if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        continue;
      }
      Fail("sending datagram " + std::to_string(i + 1) + " failed: " + std::strerror(errno));
    }
    bytes_sent += bytes.size();
  }
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::close(fd);
  if (!o.quiet)
    std::fprintf(stderr, "tallysend: %ld datagrams, %llu bytes to %s:%s in %.3f s (%.0f/s)\n",
                 total, static_cast<unsigned long long>(bytes_sent), o.host.c_str(),
                 o.target_port.c_str(), seconds, seconds > 0 ? total / seconds : 0.0);
  return 0;
}
