#include "random_games.h"

#include <random>

#include "datetime.h"
#include "engine_fixture.h"

namespace enginetest {

std::vector<SentDatagram> RandomGames(uint32_t seed, int servers, int datagrams_per_server) {
  std::mt19937 rng(seed);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  static const char* const kWeapons[] = {"Railgun", "Rocket Launcher", "Lava", "Shotgun", "Gauntlet", "Plasma"};
  static const char* const kMaps[] = {"q3dm6", "q3dm17", "q3tourney2", "pro-q3dm6"};
  std::vector<std::vector<SentDatagram>> queues(static_cast<size_t>(servers));   // each server's, in order
  for (int s = 0; s < servers; ++s) {
    std::vector<std::string> players;
    bool in_game = false;
    double clock = 0;
    for (int n = 1; n <= datagrams_per_server; ++n) {
      datagram::Builder d = ServerLog("Server " + std::to_string(s) + " O'Brien", static_cast<uint32_t>(n),
                                      {{"g_gametype", std::to_string(s % 3)}, {"sv_maxclients", "16"}});
      auto& r = d.records;
      if (!in_game) {
        r = {Keyword("StdLog", "1.2"), Keyword("LogDate", "12/" + std::to_string(1 + s) + "/2001"),
             Keyword("LogTime", std::to_string(10 + s) + ":00:00"), Keyword("Map", kMaps[pick(4)]),
             Keyword("GameStart")};
        players.clear();
        clock = 0;
        in_game = true;
      }
      const int lines = 3 + pick(12);
      for (int l = 0; l < lines; ++l) {
        clock += 0.25 * (1 + pick(40));
        char offset[32];
        std::snprintf(offset, sizeof offset, "%.2f", clock);
        const int what = pick(20);
        if (players.size() < 2 || what == 0) {
          std::string name = std::string("P") + std::to_string(pick(30)) + (pick(5) == 0 ? "\xe9" : "");
          players.push_back(name);
          r.push_back(Keyword("PlayerConnect", name, pick(2) ? "Red" : "Blue", offset));
          d.player_var_lines.push_back("netname \"" + name + "\"");
          d.player_var_lines.push_back("model \"" + std::string(pick(2) ? "sarge" : "visor") + "\"");
        } else if (what == 1) {
          r.push_back(Keyword("PlayerLeft", players[static_cast<size_t>(pick(static_cast<int>(players.size())))], "", offset));
        } else if (what == 2) {
          size_t i = static_cast<size_t>(pick(static_cast<int>(players.size())));
          std::string renamed = players[i] + "_" + std::to_string(pick(9));
          r.push_back(Keyword("PlayerRename", players[i], renamed, offset));
          players[i] = renamed;
        } else {
          const std::string& killer = players[static_cast<size_t>(pick(static_cast<int>(players.size())))];
          const std::string& victim = players[static_cast<size_t>(pick(static_cast<int>(players.size())))];
          const bool suicide = killer == victim;
          r.push_back(Score(killer, victim, suicide ? "Suicide" : "Kill", kWeapons[pick(6)], suicide ? "-1" : "1", offset));
        }
      }
      if (pick(6) == 0 || n == datagrams_per_server) {
        r.push_back(Keyword("GameEnd", "", "", std::to_string(static_cast<int>(clock) + 1)));
        in_game = false;
      }
      SentDatagram sent;
      sent.ip = "198.51.100." + std::to_string(1 + s);
      sent.port = 27960 + s;
      sent.bytes = d.Build();
      queues[static_cast<size_t>(s)].push_back(std::move(sent));
    }
  }
  // Interleave: each step takes the next datagram of a random server.
  std::vector<SentDatagram> out;
  std::vector<size_t> next(queues.size(), 0);
  double received = datetime::FromParts(2026, 12, 1, 20, 0, 0);
  for (size_t left = static_cast<size_t>(servers) * static_cast<size_t>(datagrams_per_server); left > 0; --left) {
    size_t s;
    do s = static_cast<size_t>(pick(servers));
    while (next[s] >= queues[s].size());
    SentDatagram d = queues[s][next[s]++];
    received += 1.0 / 86400;
    d.received = received;
    out.push_back(std::move(d));
  }
  return out;
}

}  // namespace enginetest
