// tallysend: sends a game log to a listener the way a game server's log mod
// does. The log holds one record per line, as the records appear in a
// datagram (tab-separated fields); it is cut into datagrams of at most
// --max-size bytes by the engine's datagram builder, each carrying the server
// variables and an increasing packet number. The player variable section
// comes from a second file.
//
// A log file is read whole and sent (--repeat, --count, --rate); standard
// input ("-") and a followed file (--follow) are sent as their records
// arrive (stream_send.h).
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datagram_builder.h"
#include "datagram_sender.h"
#include "send_options.h"
#include "stream_send.h"
#include "textfile.h"

using tallysend::Fail;

namespace {

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

// The whole log, sent --repeat times or as --count datagrams, at --rate.
int SendWhole(tallysend::Options& o, tallysend::UdpTarget& target) {
  o.log.records = ReadLines(o.log_path, true);
  std::vector<datagram::Builder> parts;
  try {
    parts = datagram::Split(o.log, o.max_size);
  } catch (const std::exception& e) {
    Fail(std::string("the log can not be sent: ") + e.what());
  }
  if (parts.empty()) Fail("the log holds nothing to send");
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
    try {
      const std::vector<uint8_t> bytes = b.Build();
      target.Send(bytes);
      bytes_sent += bytes.size();
    } catch (const std::exception& e) {
      Fail("datagram " + std::to_string(i + 1) + ": " + e.what());
    }
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (!o.quiet)
    std::fprintf(stderr, "tallysend: %ld datagrams, %llu bytes to %s:%s in %.3f s (%.0f/s)\n", total,
                 static_cast<unsigned long long>(bytes_sent), o.host.c_str(), o.target_port.c_str(), seconds,
                 seconds > 0 ? total / seconds : 0.0);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  tallysend::Options o = tallysend::Parse(argc, argv);
  if (!o.player_vars_path.empty()) o.log.player_var_lines = ReadLines(o.player_vars_path, true);
  std::optional<tallysend::UdpTarget> target;
  try {
    target.emplace(o.host, o.target_port);
  } catch (const std::exception& e) {
    Fail(e.what());
  }
  if (!o.follow_path.empty()) return tallysend::RunFollow(o, *target);
  if (o.log_path == "-" && !o.read_all_input) return tallysend::RunStdin(o, *target);
  return SendWhole(o, *target);
}
