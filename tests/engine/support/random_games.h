// Random games of several servers (players joining, leaving and renaming,
// scores, player variables, game ends), their datagrams interleaved in an
// order the seed fixes, each with its sender and a receipt time one second
// after the previous one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace enginetest {

struct SentDatagram {
  std::string ip;
  int32_t port = 0;
  std::vector<uint8_t> bytes;
  double received = 0;   // a day serial
};

std::vector<SentDatagram> RandomGames(uint32_t seed, int servers, int datagrams_per_server);

}  // namespace enginetest
