// tallysend's streaming modes: standard input sent as its records arrive,
// and a log file followed as it is written (--follow, with --state).
// Both run until their input ends or SIGTERM / SIGINT arrives, which lets
// the datagram being sent finish; status 0 then.
#pragma once

#include "datagram_sender.h"
#include "send_options.h"

namespace tallysend {

// Reads standard input line by line; sends a batch whenever no more bytes
// are there right now, or about a megabyte has gathered; at its end the rest.
int RunStdin(const Options& o, UdpTarget& target);

// Follows o.follow_path (LogFollower), polling five times a second.
int RunFollow(const Options& o, UdpTarget& target);

}  // namespace tallysend
