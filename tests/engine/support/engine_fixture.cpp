#include "engine_fixture.h"

#include "com.h"
#include "schema.h"

namespace enginetest {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

PassResult RunPass(const std::string& connection_string, const std::vector<uint8_t>& bytes,
                   const PassOptions& options) {
  com::ComPtr<tallycore::_Score_Class> engine;
  std::string why;
  com::HRESULT hr = com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                                          reinterpret_cast<void**>(engine.Receive()),
                                          tallycore::kLibraryName, &why);
  if (hr != com::S_OK) throw std::runtime_error("engine not created: " + why);
  engine->put_ConnectionString(connection_string);
  engine->put_ListenPort(options.listen_port);
  engine->put_ConnectedIPAddress(options.ip);
  engine->put_ConnectedPortAddress(options.port);
  engine->put_LogPath(options.log_path);
  engine->put_rawlog(options.rawlog);
  engine->put_UDPData(bytes);
  PassResult r;
  try {
    engine->Process();
  } catch (const com::Error& e) {
    r.threw = true;
    r.error_number = e.Number();
    r.error = e.Description();
  }
  com::ComPtr<tallycore::IScoreReport> report;
  if (engine->QueryInterface(tallycore::IID_IScoreReport,
                             reinterpret_cast<void**>(report.Receive())) == com::S_OK)
    r.outcome = report->LastPass();
  return r;
}

void EngineTest::SetUp() {
  dir_ = std::make_unique<testkit::TempDir>();
  db_path_ = dir_->File("stats.db");
  testkit::Touch(db_path_);
  options_.log_path = dir_->File("logs/Process.log");
  boxes_ = std::make_shared<msgbox::ScriptedMessageBoxes>();
  previous_boxes_ = msgbox::Install(boxes_);
  schema::CreateDatabaseTables(ConnectionString());
  ASSERT_TRUE(boxes_->shown().empty());
}

void EngineTest::TearDown() {
  msgbox::Install(previous_boxes_);
  dir_.reset();
}

std::string EngineTest::ConnectionString() const {
  return "Provider=SQLite;Data Source=" + db_path_ + extra_settings_;
}

std::vector<std::vector<std::string>> EngineTest::Rows(const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::vector<std::string>> rows;
  if (sqlite3_open_v2(db_path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    ADD_FAILURE() << "cannot open " << db_path_;
    return rows;
  }
  sqlite3_busy_timeout(db, 5000);
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
  } else {
    while (sqlite3_step(st) == SQLITE_ROW) {
      std::vector<std::string> row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (sqlite3_column_type(st, i) == SQLITE_NULL) {
          row.push_back("NULL");
        } else {
          const void* p = sqlite3_column_blob(st, i);
          row.emplace_back(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i)));
        }
      }
      rows.push_back(row);
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

long long EngineTest::Count(const std::string& table) {
  auto r = Rows("select count(*) from " + table);
  return r.empty() ? -1 : std::stoll(r[0][0]);
}

WriteLock::WriteLock(const std::string& db_path) {
  if (sqlite3_open_v2(db_path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open for locking");
  char* err = nullptr;
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw std::runtime_error("cannot lock: " + msg);
  }
}

void WriteLock::Release() {
  if (db_) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

WriteLock::~WriteLock() { Release(); }

}  // namespace enginetest
