// The datagrams a benchmark sends to listeners: several game servers' games,
// each datagram about `datagram_bytes` long and carrying one score record
// (the opening records and the players' variables excepted), interleaved
// as they would arrive. Texts such as a message of the day fill each
// server's variable block to that size, as a real server's many variables
// would; each value stays within what a Cvars row holds (250 characters).
//
// Pure functions of their arguments; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "datagram_builder.h"

namespace benchkit {

constexpr int kGamePlayers = 16;

// Server `server`'s log up to its first kill: its variables, and the
// records that open a game and connect its 16 players (named in `names`).
datagram::Builder GameOpening(int server, std::vector<std::string>* names);

// Server `server`'s game: 16 players, `kills` kills, a GameEnd.
std::vector<std::vector<uint8_t>> PaddedGame(int server, int kills, size_t datagram_bytes);

struct Traffic {
  std::vector<std::vector<uint8_t>> datagrams;
  std::vector<int> server;         // the game server of each datagram, 0 to servers - 1
  long long score_records = 0;     // records that each store a score row (kills, connects)
  size_t bytes = 0;
};

// `servers` games of about `datagrams` datagrams in all, in turns: one
// datagram of each server, then the next of each.
Traffic ListenerTraffic(int servers, int datagrams, size_t datagram_bytes);

}  // namespace benchkit
