// Writes the seed datagrams of the engine fuzz target into a folder:
//   fuzz_make_seeds <folder>
// Each seed is a valid datagram as a log mod sends it (see
// datagram_builder.h), together covering every record keyword, score
// records, player variables and the split of a long game.
#include <cstdio>
#include <string>
#include <vector>

#include "datagram_builder.h"

namespace {

datagram::Builder Server(uint32_t packet) {
  datagram::Builder b;
  b.server_vars = {{"hostname", "Fuzz Arena"}, {"$HOST_IP$", "192.0.2.1"}, {"port", "27960"},
                   {"g_gametype", "4"}};
  b.packet_number = packet;
  return b;
}

std::string Keyword(const std::string& k, const std::string& f4 = "", const std::string& f5 = "",
                    const std::string& f6 = "") {
  return "\t\t" + k + "\t" + f4 + "\t" + f5 + "\t" + f6;
}

std::string Score(const std::string& killer, const std::string& victim, const std::string& type,
                  const std::string& weapon, const std::string& score, const std::string& offset) {
  return killer + "\t" + victim + "\t" + type + "\t" + weapon + "\t" + score + "\t" + offset;
}

void Write(const std::string& folder, const std::string& name, const std::vector<uint8_t>& bytes) {
  std::string path = folder + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::perror(path.c_str());
    return;
  }
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_seeds <folder>\n");
    return 2;
  }
  const std::string folder = argv[1];

  datagram::Builder start = Server(1);
  start.records = {Keyword("StdLog", "1.2"), Keyword("PatchName", "Relaymod 2.1"),
                   Keyword("LogDate", "12/31/1999"), Keyword("LogTime", "13:45:10"),
                   Keyword("LogDeathFlags", "3"), Keyword("Map", "q3dm17"), Keyword("GameStart"),
                   Keyword("PlayerConnect", "Alice", "Red", "0.5"),
                   Keyword("PlayerConnect", "Bob", "Blue", "1"), Keyword("Player", "Carol", "Red", "2"),
                   Score("Alice", "Bob", "Kill", "Railgun", "1", "10.5"),
                   Score("Bob", "Bob", "Suicide", "Lava", "-1", "12")};
  Write(folder, "seed-game-start", start.Build());

  datagram::Builder middle = Server(2);
  middle.records = {Keyword("PlayerTeamChange", "Carol", "Blue", "30"),
                    Keyword("PlayerRename", "Bob", "Robert", "35"),
                    Score("Robert", "Alice", "Kill", "Railgun", "1", "40"),
                    Score("Carol", "Robert", "Kill", "Rocket Launcher", "1", "41.25"),
                    Keyword("PlayerLeft", "Robert", "", "50")};
  middle.player_var_lines = {"netname \"Carol\"", "skin \"sarge/red\"", "netname \"Alice\"",
                             "model \"visor\""};
  Write(folder, "seed-game-middle", middle.Build());

  datagram::Builder end = Server(3);
  end.records = {Score("Carol", "Carol", "Suicide", "Falling", "-1", "60"),
                 Keyword("GameEnd", "", "", "3725"), Keyword("Map", "q3dm6")};
  Write(folder, "seed-game-end", end.Build());

  datagram::Builder whole = Server(4);
  whole.records = {Keyword("LogDate", "02/29/2000"), Keyword("LogTime", "23:59:59"),
                   Keyword("Map", "Ma'p"), Keyword("GameStart"),
                   Keyword("PlayerConnect", "O'Neil", "Red's", "1"),
                   Score("O'Neil", "", "Head'Shot", "Jack's Knife", "2", "3"),
                   Score("R\xE4il", "Bob", "Kill", "R\xE4il", "1", "4"),
                   Keyword("GameEnd", "", "", "5")};
  Write(folder, "seed-quotes-latin1", whole.Build());

  datagram::Builder bare = Server(5);
  Write(folder, "seed-server-only", bare.Build());

  datagram::Builder missing;
  missing.server_vars = {{"hostname", "No Port"}};
  missing.records = {Keyword("GameStart")};
  missing.packet_number = 6;
  Write(folder, "seed-missing-port", missing.Build());

  datagram::Builder long_game = Server(100);
  long_game.records.push_back(Keyword("Map", "q3tourney2"));
  long_game.records.push_back(Keyword("GameStart"));
  for (int i = 0; i < 40; ++i)
    long_game.records.push_back(Score("P" + std::to_string(i % 5), "P" + std::to_string((i + 1) % 5),
                                      "Kill", "Shotgun", "1", std::to_string(i) + ".5"));
  int n = 0;
  for (const auto& bytes : datagram::SplitBytes(long_game, 400))
    Write(folder, "seed-split-" + std::to_string(++n), bytes);
  return 0;
}
