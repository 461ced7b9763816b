// PaddedGame and ListenerTraffic: games laid out by the datagram builder.
#include "listener_traffic.h"

#include <algorithm>
#include <string>

#include "datagram_builder.h"

namespace benchkit {
namespace {

using datagram::RecordLine;

constexpr int kPlayers = kGamePlayers;
constexpr size_t kLongestValue = 200;

}  // namespace

datagram::Builder GameOpening(int s, std::vector<std::string>* names) {
  datagram::Builder log;
  log.server_vars = {{"hostname", "Server " + std::to_string(s)}, {"$HOST_IP$", "198.51.100." + std::to_string(s + 1)},
                     {"port", "27960"}, {"g_gametype", "4"}, {"sv_maxclients", "16"}};
  log.packet_number = 1;
  names->clear();
  for (int i = 0; i < kPlayers; ++i) names->push_back("Player " + std::to_string(s * 100 + i));
  log.records = {RecordLine({"", "", "StdLog", "1.2"}), RecordLine({"", "", "LogDate", "12/31/1999"}),
                 RecordLine({"", "", "LogTime", "13:45:10"}), RecordLine({"", "", "Map", "q3dm17"}),
                 RecordLine({"", "", "GameStart"})};
  for (int i = 0; i < kPlayers; ++i)
    log.records.push_back(RecordLine({"", "", "PlayerConnect", (*names)[i], i % 2 ? "Red" : "Blue", std::to_string(i)}));
  return log;
}

std::vector<std::vector<uint8_t>> PaddedGame(int s, int kills, size_t datagram_bytes) {
  std::vector<std::string> names;
  datagram::Builder log = GameOpening(s, &names);
  auto& r = log.records;
  for (int k = 0; k < kills; ++k) {
    const int a = (k * 7 + s) % kPlayers, b = (k * 5 + 3 + (k * 7 + s) % 2) % kPlayers;
    r.push_back(RecordLine({names[a], names[a == b ? (b + 1) % kPlayers : b], "Kill", "Weapon " + std::to_string(k % 20),
                            "1", std::to_string(20 + k / 3) + "." + std::to_string(k % 10)}));
  }
  r.push_back(RecordLine({"", "", "GameEnd", "", "", std::to_string(30 + kills)}));
  for (int i = 0; i < kPlayers; ++i) log.player_var_lines.push_back("netname \"" + names[i] + "\"");

  // Room for the variables and the longest record, not for two records
  // (but for LogDate and the record it stays with).
  size_t longest = 0;
  for (size_t i = 0; i < r.size(); ++i)
    longest = std::max(longest, r[i].size() + 1 + (i == 1 ? r[2].size() + 1 : 0));
  datagram::Builder head = log;
  head.records.clear();
  head.player_var_lines.clear();
  for (const char* name : {"g_motd", "sv_joinmessage", "sv_rules", "sv_contact", "sv_links", "sv_info"}) {
    const size_t line = std::string(name).size() + 4, have = head.Size() + longest;   // name "value" LF
    if (have + line >= datagram_bytes) break;
    std::string text = std::string(name) + " of server " + std::to_string(s) + ": ";
    text.resize(std::min(kLongestValue, datagram_bytes - have - line), '~');
    head.server_vars.emplace_back(name, text);
  }
  log.server_vars = head.server_vars;
  return datagram::SplitBytes(log, head.Size() + longest);
}

Traffic ListenerTraffic(int servers, int datagrams, size_t datagram_bytes) {
  const int per_server = datagrams / std::max(1, servers);
  const int opening = static_cast<int>(PaddedGame(0, 0, datagram_bytes).size());
  const int kills = std::max(1, per_server - opening);
  std::vector<std::vector<std::vector<uint8_t>>> games;
  for (int s = 0; s < servers; ++s) games.push_back(PaddedGame(s, kills, datagram_bytes));
  Traffic out;
  out.score_records = static_cast<long long>(servers) * (kills + kPlayers);
  for (size_t i = 0;; ++i) {
    bool any = false;
    for (int s = 0; s < servers; ++s) {
      if (i >= games[s].size()) continue;
      out.datagrams.push_back(games[s][i]);
      out.server.push_back(s);
      out.bytes += games[s][i].size();
      any = true;
    }
    if (!any) break;
  }
  return out;
}

}  // namespace benchkit
