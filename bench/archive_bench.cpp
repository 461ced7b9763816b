// Passes per second for 1 KB datagrams into SQLite through Score_Class, with
// an empty Logs table and process log, with 1,000,000 Logs rows, and with a
// process log of 1,000,000 lines.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "com.h"
#include "msgbox.h"
#include "schema.h"
#include "score_class.h"
#include "client/pass_properties.h"
#include "test_env.h"

namespace {

std::vector<uint8_t> Datagram() {
  std::string s(20, '\0');
  s[7] = 1;
  s += "hostname \"Bench server\"\n$HOST_IP$ \"10.1.1.1\"\nport \"27910\"\n";
  for (int i = 0; s.size() < 800; ++i)
    s += "pad" + std::to_string(i) + " \"" + std::string(200, 'a' + i) + "\"\n";
  s += '\0';
  s.resize(1024, '\n');   // empty record lines
  return std::vector<uint8_t>(s.begin(), s.end());
}

struct Setup {
  std::string db, log, cs;
};

Setup Prepare(testkit::TempDir& dir, long logs_rows, long log_lines) {
  Setup s;
  s.db = dir.File("bench.db");
  s.log = dir.File("Process.log");
  s.cs = "Provider=SQLite;Data Source=" + s.db;
  testkit::Touch(s.db);
  schema::CreateDatabaseTables(s.cs);
  if (logs_rows > 0) {
    sqlite3* db;
    sqlite3_open(s.db.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st;
    sqlite3_prepare_v2(db, "insert into Logs values (?, '10.0.0.1', 27910, x'00112233445566778899', '2026-01-01 00:00:00')", -1, &st, nullptr);
    for (long i = 1; i <= logs_rows; ++i) {
      sqlite3_bind_int64(st, 1, i);
      sqlite3_step(st);
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }
  if (log_lines > 0) {
    std::FILE* f = std::fopen(s.log.c_str(), "wb");
    for (long i = 1; i <= log_lines; ++i)
      std::fprintf(f, "Process# %ld %s 2026-01-01 10:00:00;ListenPort=28000;ConnectedIPAddress=10.0.0.1;"
                      "ConnectedPort=27910;Database=Provider=SQLite;Data Source=/x.db\r\n",
                   (i + 1) / 2, i % 2 ? "STARTED" : "COMPLETED");
    std::fclose(f);
  }
  return s;
}

void RunPasses(benchmark::State& state, long logs_rows, long log_lines) {
  testkit::TempDir dir;
  msgbox::Install(std::make_shared<msgbox::HeadlessMessageBoxes>());
  Setup s = Prepare(dir, logs_rows, log_lines);
  auto bytes = Datagram();
  for (auto _ : state) {
    com::ComPtr<tallycore::_Score_Class> engine;
    com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                          reinterpret_cast<void**>(engine.Receive()), tallycore::kLibraryName);
    tallycore::SetPassProperties(*engine.get(), {s.cs, 28000, "10.1.1.1", 27910, s.log, 0, bytes});
    engine->Process();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

void BM_ArchivePass_Empty(benchmark::State& state) { RunPasses(state, 0, 0); }
void BM_ArchivePass_MillionLogsRows(benchmark::State& state) { RunPasses(state, 1000000, 0); }
void BM_ArchivePass_MillionProcessLogLines(benchmark::State& state) { RunPasses(state, 0, 1000000); }

BENCHMARK(BM_ArchivePass_Empty)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_ArchivePass_MillionLogsRows)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(BM_ArchivePass_MillionProcessLogLines)->Unit(benchmark::kMillisecond)->MinTime(3);

}  // namespace

BENCHMARK_MAIN();
