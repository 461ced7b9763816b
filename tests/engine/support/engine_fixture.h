// A test database and the engine as the listener drives it: a temporary
// folder, an SQLite file with the seventeen tables, scripted message boxes,
// and one Score_Class per datagram created through COM.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "msgbox.h"
#include "score_class.h"
#include "test_env.h"

namespace enginetest {

struct PassResult {
  bool threw = false;
  int32_t error_number = 0;
  std::string error;
  tallycore::PassOutcome outcome;
};

struct PassOptions {
  std::string log_path;   // empty: <dir>/logs/Process.log
  int16_t rawlog = 0;
  std::string ip = "10.0.0.5";
  int32_t port = 999;
  int32_t listen_port = 28000;
};

// Runs one pass through Score_Class exactly as the listener does.
PassResult RunPass(const std::string& connection_string, const std::vector<uint8_t>& bytes,
                   const PassOptions& options);

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::string ConnectionString() const;
  PassResult Pass(const std::vector<uint8_t>& bytes) { return RunPass(ConnectionString(), bytes, options_); }
  std::string LogPath() const { return options_.log_path; }

  // Direct SQL on the test database (a second connection).
  std::vector<std::vector<std::string>> Rows(const std::string& sql);
  long long Count(const std::string& table);

  std::unique_ptr<testkit::TempDir> dir_;
  std::string db_path_;
  std::string extra_settings_ = ";Busy Timeout=50";
  PassOptions options_;
  std::shared_ptr<msgbox::ScriptedMessageBoxes> boxes_;
  std::shared_ptr<msgbox::MessageBoxService> previous_boxes_;
};

// Holds the database's write lock from a separate connection.
class WriteLock {
 public:
  explicit WriteLock(const std::string& db_path);
  ~WriteLock();
  void Release();

 private:
  sqlite3* db_ = nullptr;
};

std::vector<uint8_t> Bytes(const std::string& s);

}  // namespace enginetest
