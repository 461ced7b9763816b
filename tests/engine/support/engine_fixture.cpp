#include "engine_fixture.h"
#include "scripted_boxes.h"

#include "com.h"
#include "client/pass_properties.h"
#include "schema.h"
#include "textfile.h"

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
  if (options.sequence > 0) tallycore::SetDatagramIdentity(*engine.get(), options.spool_key, options.sequence);
  return tallycore::RunPass(*engine.get(), {connection_string, options.listen_port, options.ip, options.port,
                                             options.log_path, options.rawlog, bytes});
}

void EngineTest::SetUp() {
  dir_ = std::make_unique<testkit::TempDir>();
  options_.log_path = dir_->File("logs/Process.log");
  boxes_ = std::make_shared<testkit::ScriptedMessageBoxes>();
  previous_boxes_ = msgbox::Install(boxes_);
  db_path_ = MakeDatabase("stats.db");
  ASSERT_TRUE(boxes_->shown().empty());
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::Postgres ? "Postgres" : "Sqlite";
}

std::string EngineTest::MakeDatabase(const std::string& name) {
  std::string database;
  if (OnPostgres()) {
    database = testkit::PgServer::Shared().CreateDatabase("engine");
    made_.push_back(database);
  } else {
    database = dir_->File(name);
    testkit::Touch(database);
  }
  schema::CreateDatabaseTables(ConnectionStringOf(database));
  return database;
}

std::string EngineTest::ConnectionStringOf(const std::string& database) const {
  if (OnPostgres()) return testkit::PgServer::Shared().ConnectionString(database);
  return "Provider=SQLite;Data Source=" + database;
}

void EngineTest::TearDown() {
  msgbox::Install(previous_boxes_);
  for (const std::string& database : made_) testkit::PgServer::Shared().DropDatabase(database);
  made_.clear();
  dir_.reset();
}

std::string EngineTest::ConnectionString() const { return ConnectionStringOf(db_path_) + extra_settings_; }

Lines EngineTest::LogLines() const {
  auto lines = textfile::ReadLines(LogPath());
  return lines ? *lines : Lines{};
}

PassResult EngineTest::Stored(const datagram::Builder& b) {
  PassResult r = Pass(b);
  EXPECT_FALSE(r.threw) << r.error;
  EXPECT_TRUE(r.outcome.completed) << r.error;
  return r;
}

std::unique_ptr<testkit::DbLock> EngineTest::LockDatabase() {
  if (OnPostgres()) return std::make_unique<testkit::PgWriteLock>(testkit::PgServer::Shared(), db_path_);
  return std::make_unique<WriteLock>(db_path_);
}

Grid EngineTest::Rows(const std::string& sql) {
  if (OnPostgres()) return testkit::PgRows(testkit::PgServer::Shared(), db_path_, sql);
  return testkit::SqlRows(db_path_, sql);
}

Lines EngineTest::Table(const std::string& sql) {
  Lines out;
  for (const auto& row : Rows(sql)) {
    std::string joined;
    for (size_t i = 0; i < row.size(); ++i) joined += (i ? "|" : "") + row[i];
    out.push_back(joined);
  }
  return out;
}

std::string EngineTest::One(const std::string& sql) {
  auto rows = Rows(sql);
  return rows.empty() || rows[0].empty() ? "<none>" : rows[0][0];
}

long long EngineTest::Count(const std::string& table) {
  auto r = Rows("select count(*) from " + table);
  return r.empty() ? -1 : std::stoll(r[0][0]);
}

void EngineTest::Exec(const std::string& sql) {
  if (OnPostgres()) return testkit::PgExec(testkit::PgServer::Shared(), db_path_, sql);
  WriteLock writer(db_path_);
  writer.Exec(sql);
  writer.Commit();
}

datagram::Builder ServerLog(const std::string& host, uint32_t packet,
                            std::vector<std::pair<std::string, std::string>> extra) {
  datagram::Builder b;
  b.server_vars = {{"hostname", host}, {"$HOST_IP$", "192.0.2.1"}, {"port", "27960"}};
  b.server_vars.insert(b.server_vars.end(), extra.begin(), extra.end());
  b.packet_number = packet;
  return b;
}

datagram::Builder Alpha(std::vector<std::string> records, uint32_t packet) {
  datagram::Builder b = ServerLog("Alpha", packet);
  b.records = std::move(records);
  return b;
}

std::string Score(const std::string& killer, const std::string& victim, const std::string& type,
                  const std::string& weapon, const std::string& score, const std::string& offset) {
  return killer + "\t" + victim + "\t" + type + "\t" + weapon + "\t" + score + "\t" + offset;
}

std::string Keyword(const std::string& keyword, const std::string& f4, const std::string& f5,
                    const std::string& f6) {
  return "\t\t" + keyword + "\t" + f4 + "\t" + f5 + "\t" + f6;
}

}  // namespace enginetest
