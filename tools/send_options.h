// tallysend's command line.
#pragma once

#include <cstddef>
#include <string>

#include "datagram_builder.h"

namespace tallysend {

extern const char kUsage[];

struct Options {
  std::string host = "127.0.0.1", target_port = "28000";
  datagram::Builder log;   // server variables and first packet number; no records yet
  std::string log_path, player_vars_path;
  std::string follow_path, state_path;
  bool from_start = false;
  size_t max_size = 1400;
  double rate = 0;
  long repeat = 1, count = -1;
  bool repeat_given = false;
  bool read_all_input = false;   // "-" with --rate, --repeat or --count
  bool quiet = false;
};

// Ends the program with status 2 and `message` on standard error.
[[noreturn]] void Fail(const std::string& message);

// Reads the options; a bad one ends the program with a message (Fail).
Options Parse(int argc, char** argv);

}  // namespace tallysend
