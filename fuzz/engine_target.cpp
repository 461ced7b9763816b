// Fuzz target: one processing pass of the engine per input, the input being
// the datagram's bytes.
//
// The pass runs as Score_Class::Process runs it (ProcessPass, every failure
// caught), on one database and one process log on tmpfs (/dev/shm) that live
// for the whole run. Every connection the pass opens starts inside an outer
// transaction (a session decorator begins it), so the pass's own
// transactions become savepoints within it and closing the connection at the
// end of the pass rolls everything back: each input meets the same empty
// tables without a single write reaching the file, and a finding reproduces
// from its input alone. The engine's per-thread state is reset after each
// input, and the process log cut to nothing every 1024 inputs. Message boxes are answered
// without a window: OK, else No.
#include <sqlite3.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend.h"
#include "msgbox.h"
#include "schema.h"
#include "score_module.h"
#include "textfile.h"

namespace {

class QuietBoxes : public msgbox::MessageBoxService {
 public:
  int Show(const std::string&, int buttons, const std::string&, msgbox::Kind) override {
    return (buttons & 7) == msgbox::vbOKOnly ? msgbox::vbOK : msgbox::vbNo;
  }
};

struct Bench {
  std::string folder, db_path, log_path, connection_string;
  uint64_t inputs = 0;

  Bench() {
    folder = "/dev/shm/tally-fuzz-" + std::to_string(::getpid());
    if (::access("/dev/shm", W_OK) != 0) folder = "/tmp/tally-fuzz-" + std::to_string(::getpid());
    if (std::system(("rm -rf '" + folder + "' && mkdir -p '" + folder + "'").c_str()) != 0)
      std::abort();
    db_path = folder + "/stats.db";
    log_path = folder + "/Process.log";
    std::fclose(std::fopen(db_path.c_str(), "wb"));
    connection_string = "Provider=SQLite;Data Source=" + db_path + ";Synchronous=OFF;Busy Timeout=0";
    msgbox::Install(std::make_shared<QuietBoxes>());
    schema::CreateDatabaseTables(connection_string);
    ado::detail::SetSessionDecorator([](std::shared_ptr<ado::detail::Session> session) {
      session->Begin();
      return session;
    });
  }

  ~Bench() { std::system(("rm -rf '" + folder + "'").c_str()); }

  // The rollback at the close of the pass's connection must have left the
  // tables empty; checked now and then from a handle of the fuzzer's own.
  void CheckEmpty() {
    sqlite3* db = nullptr;
    sqlite3_stmt* st = nullptr;
    long long rows = -1;
    if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT (SELECT count(*) FROM Logs) + (SELECT count(*) FROM Servers)",
                           -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      rows = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    sqlite3_close_v2(db);
    if (rows != 0) {
      std::fprintf(stderr, "the pass left %lld rows behind (or the check failed)\n", rows);
      std::abort();
    }
  }

  // What a pass leaves in the engine's state refers to rows the rollback
  // took back: the state starts afresh, but for what does not depend on the
  // rows (the process log held open, the provider's types). The process log
  // is cut to nothing now and then.
  void Reset() {
    auto& s = tallycore::State();
    textfile::Appender log = std::move(s.ProcessLog);
    auto types = s.ProviderTypeTable;
    std::string types_for = s.ProviderTypesScannedFor;
    s = tallycore::EngineState{};
    s.ProcessLog = std::move(log);
    s.ProviderTypeTable = types;
    s.ProviderTypesScannedFor = types_for;
    if (++inputs % 1024 == 0) {
      CheckEmpty();
      if (std::FILE* f = std::fopen(log_path.c_str(), "wb")) std::fclose(f);
    }
  }
};

Bench& TheBench() {
  static Bench bench;
  return bench;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Bench& bench = TheBench();
  auto& s = tallycore::State();
  s.ConnectionString = bench.connection_string;
  s.ListenPort = 28000;
  s.ConnectedIPAddress = "10.0.0.5";
  s.ConnectedPortAddress = 27960;
  s.LogPath = bench.log_path;
  s.rawlog = 0;
  s.UDPData.assign(data, data + size);
  try {
    tallycore::ProcessPass();
  } catch (const tallycore::PassFailure&) {
  } catch (const ado::Error&) {
  } catch (const std::exception&) {
  }
  // Every way out of the pass lets its connection go; make sure of it.
  s.EngineRecordset.reset();
  s.EngineConnection.reset();
  bench.Reset();
  return 0;
}
