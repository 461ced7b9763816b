// Score records per second end to end, for 16-player games: through
// tallyfeed (one process, one datagram file per pass) and through a headless
// listener (UDP on loopback, first datagram sent to last one stored), with
// the games cut into datagrams of 1 KB or of one score record each, from 1
// server or from 16 servers whose datagrams are interleaved. Beside each, the
// limit: the very rows of the tallyfeed run's result inserted by a bare
// program with prepared statements, in as many transactions as there were
// datagrams (the rows spread evenly over them), at the engine's durability
// (WAL, synchronous NORMAL).
//
// Benchmark arguments: {records per datagram: 0 = 1 KB datagrams, 1 = one
// record each; servers; score records in all}. Counters: records_per_s for
// tallyfeed, listener and the bare limit, and the ratio to the limit.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "datagram_builder.h"
#include "test_env.h"

namespace {

constexpr int kPlayers = 16;

using datagram::RecordLine;

// One server's game of `scores` score records, cut into datagrams.
std::vector<std::vector<uint8_t>> ServerGame(int server, int scores, bool one_per_datagram) {
  datagram::Builder log;
  log.server_vars = {{"hostname", "Server " + std::to_string(server)},
                     {"$HOST_IP$", "198.51.100." + std::to_string(server + 1)},
                     {"port", "27960"}, {"g_gametype", "4"}};
  log.packet_number = 1;
  std::vector<std::string> names;
  for (int i = 0; i < kPlayers; ++i) names.push_back("Player " + std::to_string(server * 100 + i));
  auto& r = log.records;
  r = {RecordLine({"", "", "StdLog", "1.2"}), RecordLine({"", "", "LogDate", "12/31/1999"}),
       RecordLine({"", "", "LogTime", "13:45:10"}), RecordLine({"", "", "Map", "q3dm17"}), RecordLine({"", "", "GameStart"})};
  for (int i = 0; i < kPlayers; ++i)
    r.push_back(RecordLine({"", "", "PlayerConnect", names[i], i % 2 ? "Red" : "Blue", std::to_string(i)}));
  for (int k = 0; k < scores; ++k) {
    int a = (k * 7 + server) % kPlayers, b = (k * 5 + 3) % kPlayers;
    if (a == b) b = (b + 1) % kPlayers;
    r.push_back(RecordLine({names[a], names[b], "Kill", "Weapon " + std::to_string(k % 20), "1",
                     std::to_string(20 + k / 3) + "." + std::to_string(k % 10)}));
  }
  r.push_back(RecordLine({"", "", "GameEnd", "", "", std::to_string(30 + scores)}));
  for (int i = 0; i < kPlayers; ++i) log.player_var_lines.push_back("netname \"" + names[i] + "\"");
  size_t max = 1024;
  if (one_per_datagram) {
    // Room for the header, the variables and the longest record, not two.
    datagram::Builder head = log;
    head.records.clear();
    head.player_var_lines.clear();
    size_t longest = 0;
    for (const auto& rec : r) longest = std::max(longest, rec.size() + 1);
    max = head.Size() + longest + 8;
  }
  return datagram::SplitBytes(log, max);
}

std::vector<std::vector<uint8_t>> Interleaved(int servers, int total_scores, bool one_per_datagram) {
  std::vector<std::vector<std::vector<uint8_t>>> games;
  for (int s = 0; s < servers; ++s) games.push_back(ServerGame(s, total_scores / servers, one_per_datagram));
  std::vector<std::vector<uint8_t>> out;
  for (size_t i = 0;; ++i) {
    bool any = false;
    for (auto& g : games)
      if (i < g.size()) {
        out.push_back(g[i]);
        any = true;
      }
    if (!any) break;
  }
  return out;
}

long long Count(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  long long n = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

long long ScoreRows(const std::string& db) {
  long long rows = 0;
  sqlite3* h = nullptr;
  sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  std::vector<std::string> tables;
  sqlite3_prepare_v2(h, "SELECT name FROM sqlite_master WHERE type='table' AND name LIKE 'Scores\\_%' ESCAPE '\\'", -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW) tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  sqlite3_finalize(st);
  sqlite3_close(h);
  for (const auto& t : tables) rows += Count(db, "SELECT count(*) FROM \"" + t + "\"");
  return rows;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The result's rows inserted again by a bare program into a copy of its
// empty schema: `transactions` transactions, rows spread evenly. Seconds.
double BareInsert(const std::string& result, const std::string& target, size_t transactions) {
  sqlite3* src = nullptr;
  sqlite3* dst = nullptr;
  sqlite3_open_v2(result.c_str(), &src, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_open(target.c_str(), &dst);
  sqlite3_exec(dst, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
  struct Table {
    std::string insert;
    std::vector<std::vector<std::string>> rows;   // values as text, with a NULL marker
    std::vector<std::vector<int>> types;
  };
  std::vector<Table> tables;
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(src, "SELECT name, sql FROM sqlite_master WHERE type='table'", -1, &st, nullptr);
  std::vector<std::pair<std::string, std::string>> defs;
  while (sqlite3_step(st) == SQLITE_ROW)
    defs.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
  sqlite3_finalize(st);
  size_t total = 0;
  for (const auto& [name, sql] : defs) {
    sqlite3_exec(dst, sql.c_str(), nullptr, nullptr, nullptr);
    Table t;
    sqlite3_prepare_v2(src, ("SELECT * FROM \"" + name + "\"").c_str(), -1, &st, nullptr);
    const int columns = sqlite3_column_count(st);
    t.insert = "INSERT INTO \"" + name + "\" VALUES (";
    for (int c = 0; c < columns; ++c) t.insert += c ? ",?" : "?";
    t.insert += ")";
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      std::vector<int> type;
      for (int c = 0; c < columns; ++c) {
        type.push_back(sqlite3_column_type(st, c));
        const void* blob = sqlite3_column_blob(st, c);
        row.emplace_back(static_cast<const char*>(blob), static_cast<size_t>(sqlite3_column_bytes(st, c)));
      }
      t.rows.push_back(std::move(row));
      t.types.push_back(std::move(type));
    }
    sqlite3_finalize(st);
    total += t.rows.size();
    tables.push_back(std::move(t));
  }
  // Index definitions too, as the engine's database has them.
  sqlite3_prepare_v2(src, "SELECT sql FROM sqlite_master WHERE type='index' AND sql IS NOT NULL", -1, &st, nullptr);
  while (sqlite3_step(st) == SQLITE_ROW)
    sqlite3_exec(dst, reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), nullptr, nullptr, nullptr);
  sqlite3_finalize(st);
  sqlite3_close(src);

  std::vector<sqlite3_stmt*> inserts;
  for (auto& t : tables) {
    sqlite3_stmt* ins = nullptr;
    sqlite3_prepare_v2(dst, t.insert.c_str(), -1, &ins, nullptr);
    inserts.push_back(ins);
  }
  // Rows in turn from every table, as a pass writes a little into each.
  std::vector<std::pair<size_t, size_t>> order;
  for (size_t i = 0;; ++i) {
    bool any = false;
    for (size_t t = 0; t < tables.size(); ++t)
      if (i < tables[t].rows.size()) {
        order.emplace_back(t, i);
        any = true;
      }
    if (!any) break;
  }
  const auto start = std::chrono::steady_clock::now();
  size_t at = 0;
  for (size_t tx = 0; tx < transactions; ++tx) {
    const size_t until = total * (tx + 1) / transactions;
    sqlite3_exec(dst, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    for (; at < until; ++at) {
      auto [t, i] = order[at];
      sqlite3_stmt* ins = inserts[t];
      const auto& row = tables[t].rows[i];
      for (size_t c = 0; c < row.size(); ++c) {
        const int col = static_cast<int>(c) + 1;
        switch (tables[t].types[i][c]) {
          case SQLITE_NULL: sqlite3_bind_null(ins, col); break;
          case SQLITE_INTEGER: sqlite3_bind_int64(ins, col, std::stoll(row[c])); break;
          case SQLITE_FLOAT: sqlite3_bind_double(ins, col, std::stod(row[c])); break;
          case SQLITE_BLOB: sqlite3_bind_blob(ins, col, row[c].data(), static_cast<int>(row[c].size()), SQLITE_STATIC); break;
          default: sqlite3_bind_text(ins, col, row[c].data(), static_cast<int>(row[c].size()), SQLITE_STATIC);
        }
      }
      if (sqlite3_step(ins) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(dst));
      sqlite3_reset(ins);
    }
    sqlite3_exec(dst, "COMMIT", nullptr, nullptr, nullptr);
  }
  const double seconds = Seconds(start);
  for (auto* ins : inserts) sqlite3_finalize(ins);
  sqlite3_close(dst);
  return seconds;
}

int PortFor(int n) { return 21000 + static_cast<int>((::getpid() * 7 + n * 13) % 20000); }

void BM_Throughput(benchmark::State& state) {
  const bool one = state.range(0) == 1;
  const int servers = static_cast<int>(state.range(1));
  const int total_scores = static_cast<int>(state.range(2));
  const std::string bin = testkit::BinaryFolder();
  static int run = 0;
  for (auto _ : state) {
    testkit::TempDir tmp;
    const auto datagrams = Interleaved(servers, total_scores, one);
    // tallyfeed
    std::vector<std::string> argv = {bin + "/tallyfeed", "--create-tables", "--log-path",
                                     tmp.File("feed.log"), "Provider=SQLite;Data Source=" + tmp.File("feed.db")};
    std::filesystem::create_directories(tmp.File("in"));
    for (size_t i = 0; i < datagrams.size(); ++i) {
      argv.push_back(tmp.File("in/" + std::to_string(i) + ".bin"));
      std::ofstream(argv.back(), std::ios::binary)
          .write(reinterpret_cast<const char*>(datagrams[i].data()), static_cast<std::streamsize>(datagrams[i].size()));
    }
    testkit::Touch(tmp.File("feed.db"));
    // TALLY_BENCH_INPUTS=DIR keeps each case's datagram files for profiling.
    if (const char* keep = std::getenv("TALLY_BENCH_INPUTS")) {
      const std::string to = std::string(keep) + "/" + std::to_string(state.range(0)) + "-" +
                             std::to_string(servers);
      std::filesystem::remove_all(to);
      std::filesystem::copy(tmp.File("in"), to);
    }
    // The timed run creates the seventeen tables first (a few milliseconds).
    auto start = std::chrono::steady_clock::now();
    int status = 0;
    waitpid(testkit::Spawn(argv, tmp.File("feed.txt")), &status, 0);
    const double feed_s = Seconds(start);
    const long long feed_records = ScoreRows(tmp.File("feed.db"));

    // The listener
    std::string program = tmp.path() + "/data/tallyhost";
    std::filesystem::create_directories(program);
    const std::string ldb = tmp.File("listen.db");
    testkit::Touch(ldb);
    const int port = PortFor(++run);
    std::ofstream(program + "/connections.cfg", std::ios::binary)
        << "Port=" << port << ",Database=Provider=SQLite;Data Source=" << ldb
        << ",Logon=False,Log=" << tmp.File("listen.log") << "\r\n";
    pid_t listener = testkit::Spawn({bin + "/tallyhost", "headless=1", "logout=0"}, tmp.File("out.txt"));
    while (Count(ldb, "SELECT count(*) FROM Logs") < 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    start = std::chrono::steady_clock::now();
    for (const auto& d : datagrams) {
      ::sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    ::close(fd);
    const long long n = static_cast<long long>(datagrams.size());
    auto last_change = std::chrono::steady_clock::now();
    long long stored = 0, last = -1;
    while (stored < n) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      stored = Count(ldb, "SELECT count(*) FROM Logs");
      if (stored != last) {
        last = stored;
        last_change = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - last_change > std::chrono::seconds(30)) {
        break;
      }
    }
    const double listen_s = Seconds(start);
    const long long listen_records = ScoreRows(ldb);
    kill(listener, SIGTERM);
    waitpid(listener, &status, 0);

    const double bare_s = BareInsert(tmp.File("feed.db"), tmp.File("bare.db"), datagrams.size());
    state.SetIterationTime(feed_s);
    state.counters["datagrams"] = static_cast<double>(n);
    state.counters["score_records"] = static_cast<double>(feed_records);
    state.counters["feed_rec_per_s"] = feed_records / feed_s;
    state.counters["listen_rec_per_s"] = listen_records / listen_s;
    state.counters["listen_stored"] = static_cast<double>(stored);
    state.counters["bare_rec_per_s"] = feed_records / bare_s;
    state.counters["feed_of_bare"] = bare_s / feed_s;
    state.counters["listen_of_bare"] = (listen_records / listen_s) / (feed_records / bare_s);
  }
}

BENCHMARK(BM_Throughput)
    ->ArgNames({"one_per_dgram", "servers", "scores"})
    ->Args({0, 1, 8000})
    ->Args({0, 16, 8000})
    ->Args({1, 1, 3000})
    ->Args({1, 16, 3200})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
