// Score records per second for a realistic game (16 players, 20 weapons,
// 5,000 score records in datagrams of about 1 KB) scored end to end through
// Score_Class into SQLite: into an empty database, and into one that already
// holds 200 games, 1,000,000 score rows and 100,000 players. The cost per
// record of the two should stay within a factor of two.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "com.h"
#include "datagram_builder.h"
#include "msgbox.h"
#include "schema.h"
#include "score_class.h"
#include "client/pass_properties.h"
#include "scoring.h"
#include "test_env.h"

namespace {

constexpr int kScoreRecords = 5000;
constexpr int kPlayers = 16;
constexpr int kWeapons = 20;

using datagram::RecordLine;

// The game's datagrams, split as a log mod sends them.
std::vector<std::vector<uint8_t>> GameDatagrams() {
  std::mt19937 rng(7);
  datagram::Builder log;
  log.server_vars = {{"hostname", "Server 1"}, {"$HOST_IP$", "198.51.100.1"}, {"port", "27960"},
                     {"g_gametype", "4"}, {"sv_maxclients", "16"}, {"timelimit", "30"}};
  log.packet_number = 1;
  auto player = [](int i) {
    // Half of them have played before (they are in the large database).
    return i % 2 ? "Player " + std::to_string(i * 997) : "Newcomer " + std::to_string(i);
  };
  std::vector<std::string> names;
  for (int i = 0; i < kPlayers; ++i) names.push_back(player(i));
  auto& r = log.records;
  r = {RecordLine({"", "", "StdLog", "1.2"}), RecordLine({"", "", "PatchName", "Relaymod 2.1"}),
       RecordLine({"", "", "LogDate", "12/31/1999"}), RecordLine({"", "", "LogTime", "13:45:10"}),
       RecordLine({"", "", "LogDeathFlags", "3"}), RecordLine({"", "", "Map", "q3dm17"}),
       RecordLine({"", "", "GameStart"})};
  for (int i = 0; i < kPlayers; ++i)
    r.push_back(RecordLine({"", "", "PlayerConnect", names[i], i % 2 ? "Red" : "Blue", std::to_string(i)}));
  const char* kTypes[] = {"Kill", "Kill", "Kill", "Kill", "Suicide", "TeamKill", "Flag"};
  for (int k = 0; k < kScoreRecords; ++k) {
    int a = static_cast<int>(rng() % kPlayers), b = static_cast<int>(rng() % kPlayers);
    std::string type = kTypes[rng() % 7];
    if (type == "Suicide") b = a;
    std::string offset = std::to_string(20 + k / 3) + "." + std::to_string(k % 10);
    r.push_back(RecordLine({names[a], names[b], type, "Weapon " + std::to_string(rng() % kWeapons),
                     type == "Suicide" || type == "TeamKill" ? "-1" : "1", offset}));
    if (k % 500 == 250) {
      r.push_back(RecordLine({"", "", "PlayerTeamChange", names[a], k % 1000 ? "Red" : "Blue", offset}));
    }
  }
  r.push_back(RecordLine({"", "", "PlayerRename", names[3], names[3] + " (2)", "1700"}));
  r.push_back(RecordLine({"", "", "PlayerLeft", names[5], "", "1710"}));
  r.push_back(RecordLine({"", "", "GameEnd", "", "", "1800"}));
  for (int i = 0; i < kPlayers; ++i) {
    log.player_var_lines.push_back("netname \"" + names[i] + "\"");
    log.player_var_lines.push_back("model \"sarge/" + std::to_string(i % 4) + "\"");
    log.player_var_lines.push_back("rate \"25000\"");
  }
  return datagram::SplitBytes(log, 1024);
}

void Exec(sqlite3* db, const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw std::runtime_error(msg + " in " + sql);
  }
}

// Runs `sql` with the row number bound to ?1 for rows 1..count.
void Fill(sqlite3* db, const std::string& sql, long count) {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    throw std::runtime_error(sqlite3_errmsg(db));
  for (long i = 1; i <= count; ++i) {
    sqlite3_bind_int64(st, 1, i);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
}

// A database the engine has filled for a while: 10 servers, 200 closed
// games with 5,000 score rows each, 100,000 players. Written with direct SQL
// in one transaction.
void BuildLargeDatabase(const std::string& file) {
  testkit::Touch(file);
  // No idle connection may stay behind: the journal mode is changed below.
  schema::CreateDatabaseTables("Provider=SQLite;Pooling=False;Data Source=" + file);
  sqlite3* db = nullptr;
  sqlite3_open(file.c_str(), &db);
  Exec(db, "BEGIN");
  const std::string when = "'2020-05-01 12:00:00'";
  Fill(db, "INSERT INTO Servers VALUES (?1, 'Server ' || ?1, '198.51.100.' || ?1, '27960', 9, " + when + ")", 10);
  Fill(db, "INSERT INTO Cvars VALUES (?1, 'var' || (?1 % 5), 'value ' || ?1, " + when + ")", 60);
  Fill(db, "INSERT INTO Servers_Cvars VALUES (?1, (?1 - 1) / 6 + 1, ?1)", 60);
  Fill(db, "INSERT INTO Players VALUES (?1, 'Player ' || ?1, " + when + ")", 100000);
  Fill(db, "INSERT INTO Weapons VALUES (?1, 'Weapon ' || (?1 - 1), " + when + ")", 40);
  Fill(db, "INSERT INTO Types VALUES (?1, 'Type ' || ?1, " + when + ")", 10);
  Fill(db, "INSERT INTO Teams VALUES (?1, 'Team ' || ?1, " + when + ")", 4);
  Fill(db, "INSERT INTO Maps VALUES (?1, 'map' || ?1, " + when + ")", 20);
  Fill(db, "INSERT INTO Games VALUES (?1, '1.2', 'Relaymod', '2020-05-01 12:00:00', "
           "'2020-05-01 12:30:00', 3)", 200);
  Fill(db, "INSERT INTO Servers_Games VALUES (?1, (?1 - 1) % 10 + 1, ?1)", 200);
  Fill(db, "INSERT INTO Games_Maps VALUES (?1, ?1, ?1 % 20 + 1)", 200);
  Fill(db, "INSERT INTO Games_Cvars VALUES (?1, (?1 - 1) / 6 + 1, ?1 % 60 + 1)", 1200);
  Fill(db, "INSERT INTO Games_Players_Teams VALUES (?1, (?1 - 1) / 16 + 1, ?1 * 31 % 100000 + 1, ?1 % 4 + 1)", 3200);
  Fill(db, "INSERT INTO Games_Players_Cvars VALUES (?1, (?1 - 1) / 48 + 1, ?1 * 31 % 100000 + 1, ?1 % 60 + 1)", 9600);
  Fill(db, "INSERT INTO Logs VALUES (?1, '198.51.100.1', 27960, zeroblob(1000), " + when + ")", 5000);
  Fill(db, "INSERT INTO Logs_Games VALUES (?1, ?1, (?1 - 1) / 25 + 1)", 5000);
  for (int g = 1; g <= 200; ++g) {
    std::string table = "Scores_000000" + std::to_string(g);
    Exec(db, "CREATE TABLE " + table + " (Record INTEGER, Killer INTEGER, Victim INTEGER, "
             "Type INTEGER, Weapon INTEGER, Score INTEGER, Offset REAL)");
    Fill(db, "INSERT INTO " + table + " VALUES (?1, ?1 * 7 % 100000 + 1, ?1 * 13 % 100000 + 1, "
             "?1 % 10 + 1, ?1 % 40 + 1, 1, ?1 * 0.3)", 5000);
  }
  // The engine's own non-unique indexes, as a database it has worked on has them.
  for (const std::string& statement : tallycore::ScoringIndexStatements()) Exec(db, statement);
  Exec(db, "COMMIT");
  Exec(db, "PRAGMA journal_mode=DELETE");   // one file to copy
  sqlite3_close(db);
}

void Score(const std::string& connection_string, const std::vector<std::vector<uint8_t>>& game,
           const std::string& log_path) {
  for (const auto& bytes : game) {
    com::ComPtr<tallycore::_Score_Class> engine;
    com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                          reinterpret_cast<void**>(engine.Receive()), tallycore::kLibraryName);
    tallycore::SetPassProperties(*engine.get(), {connection_string, 27960, "198.51.100.1", 27960, log_path, 0, bytes});
    engine->Process();
  }
}

void ScoreGame(benchmark::State& state, bool large) {
  static testkit::TempDir dir;
  static const auto game = GameDatagrams();
  static const std::string fixture = dir.File("large.db");
  if (large && !std::filesystem::exists(fixture)) BuildLargeDatabase(fixture);
  msgbox::Install(std::make_shared<msgbox::HeadlessMessageBoxes>());
  static int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A new file name each run: the engine keeps the current game per database.
    std::string file = dir.File("run" + std::to_string(++run) + ".db");
    if (large) {
      std::filesystem::copy_file(fixture, file);
    } else {
      testkit::Touch(file);
      schema::CreateDatabaseTables("Provider=SQLite;Data Source=" + file);
    }
    state.ResumeTiming();
    Score("Provider=SQLite;Data Source=" + file, game, dir.File("Process.log"));
    state.PauseTiming();
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(file + suffix);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kScoreRecords);
  state.counters["datagrams"] = static_cast<double>(game.size());
}

void BM_ScoreGameEmptyDatabase(benchmark::State& state) { ScoreGame(state, false); }
void BM_ScoreGameLargeDatabase(benchmark::State& state) { ScoreGame(state, true); }

BENCHMARK(BM_ScoreGameEmptyDatabase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();
BENCHMARK(BM_ScoreGameLargeDatabase)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
