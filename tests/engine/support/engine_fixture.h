// The engine as the listener drives it, on a test database with the seventeen
// tables (SQLite, or with OnEachBackend PostgreSQL too), with scripted message
// boxes; short builders for datagrams and record lines. One test thread.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "datagram_builder.h"
#include "scripted_boxes.h"
#include "msgbox.h"
#include "pg_server.h"
#include "client/pass_properties.h"
#include "score_class.h"
#include "test_env.h"

namespace enginetest {

using PassResult = tallycore::PassRun;
using Lines = std::vector<std::string>;
using Grid = std::vector<std::vector<std::string>>;

struct PassOptions {
  std::string log_path;   // empty: the default folder's Process.log
  int16_t rawlog = 0;
  std::string ip = "10.0.0.5";
  int32_t port = 999;
  int32_t listen_port = 28000;
  // The datagram's spool identity, as the listener gives it; none when 0.
  std::string spool_key;
  uint64_t sequence = 0;
};

// Runs one pass through Score_Class exactly as the listener does.
PassResult RunPass(const std::string& connection_string, const std::vector<uint8_t>& bytes,
                   const PassOptions& options);

enum class Backend { Sqlite, Postgres };
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  bool OnPostgres() const { return backend_ == Backend::Postgres; }
  // The test database locked from a connection of its own (every table on PostgreSQL).
  std::unique_ptr<testkit::DbLock> LockDatabase();

  std::string ConnectionString() const;
  PassResult Pass(const std::vector<uint8_t>& bytes) { return RunPass(ConnectionString(), bytes, options_); }
  PassResult Pass(const datagram::Builder& b) { return Pass(b.Build()); }
  // A pass that must complete (a test failure with its error otherwise).
  PassResult Stored(const datagram::Builder& b);
  std::string LogPath() const { return options_.log_path; }
  Lines LogLines() const;   // the process log's lines (none when it cannot be read)
  // A further database with the seventeen tables; what db_path_ takes to name it.
  std::string MakeDatabase(const std::string& name);
  std::string ConnectionStringOf(const std::string& database) const;

  // Direct SQL on the test database; Table joins each row's columns with "|".
  Grid Rows(const std::string& sql);
  Lines Table(const std::string& sql);
  std::string One(const std::string& sql);   // first column of the first row
  long long Count(const std::string& table);
  void Exec(const std::string& sql);   // writes, committed at once

  Backend backend_ = Backend::Sqlite;
  std::unique_ptr<testkit::TempDir> dir_;
  std::string db_path_;   // the SQLite file, or the PostgreSQL database's name
  std::vector<std::string> made_;   // PostgreSQL databases to drop
  std::string extra_settings_ = ";Busy Timeout=50";
  PassOptions options_;
  std::shared_ptr<testkit::ScriptedMessageBoxes> boxes_;
  std::shared_ptr<msgbox::MessageBoxService> previous_boxes_;
};

using testkit::WriteLock;

// Runs a fixture's TEST_P tests once on SQLite and once on PostgreSQL.
template <typename Fixture>
class OnEachBackend : public Fixture, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    this->backend_ = this->GetParam();
    Fixture::SetUp();
  }
};

#define INSTANTIATE_ON_EACH_BACKEND(suite)                                                         \
  INSTANTIATE_TEST_SUITE_P(Backends, suite,                                                        \
                           ::testing::Values(::enginetest::Backend::Sqlite, ::enginetest::Backend::Postgres), \
                           ::enginetest::BackendName)

std::vector<uint8_t> Bytes(const std::string& s);

// A datagram of a server with the three required variables (and `extra`).
datagram::Builder ServerLog(const std::string& host, uint32_t packet = 1,
                            std::vector<std::pair<std::string, std::string>> extra = {});
// A datagram of server "Alpha" holding `records`.
datagram::Builder Alpha(std::vector<std::string> records, uint32_t packet = 1);
// A score record line.
std::string Score(const std::string& killer, const std::string& victim, const std::string& type,
                  const std::string& weapon, const std::string& score, const std::string& offset);
// A keyword record line: two TABs, the keyword, then fields 4 to 6.
std::string Keyword(const std::string& keyword, const std::string& f4 = "",
                    const std::string& f5 = "", const std::string& f6 = "");

}  // namespace enginetest
