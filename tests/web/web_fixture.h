// Test support for tallyweb: a statistics database filled through tallyfeed
// (the hand-worked two-server game below), a tallyweb process serving it,
// and HTTP requests.
#pragma once

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "test_env.h"

namespace webtest {

// One server's part of a game log: its variables and record lines.
struct Feed {
  std::string hostname, ip, port;
  std::vector<std::string> records;
  std::vector<std::string> player_vars;
  unsigned first_packet = 1;
};

// Stores the feed through tallyfeed, split into datagrams of `max_bytes`;
// a test failure when tallyfeed does not exit with 0.
void Store(const std::string& db_path, const Feed& feed, const std::string& work_dir, size_t max_bytes = 1400,
           const std::string& extra_args = "");

// The hand-worked game: server "Alpha" plays game 1 (closed), server
// "Bravo's <b>" game 2 (running). See web_site_test.cpp for its figures.
Feed AlphaGame();
Feed BravoGame();
// <dir>/stats.db holding the Alpha game, and the Bravo game when `bravo`.
std::string HandWorkedDatabase(const std::string& dir, bool bravo = true);

// A running tallyweb; stopped (SIGTERM, then waited for) on destruction.
class Web {
 public:
  Web(const std::string& connection_string, const std::string& summaries, int refresh_seconds = 1);
  ~Web();
  Web(const Web&) = delete;
  Web& operator=(const Web&) = delete;
  int port() const { return port_; }
  bool running() { return child_.Running(); }   // the process has not ended
  // GET (or another method) of a path; the status and the body.
  int Request(const std::string& path, std::string* body = nullptr, const std::string& method = "GET");
  nlohmann::json Json(const std::string& path);   // a test failure unless 200

 private:
  static inline int runs_ = 0;
  std::string run_;   // each run's output in files of its own
  testkit::Child child_;
  int port_ = 0;
};

std::string Sqlite(const std::string& path);   // "Provider=SQLite;Data Source=" + path
std::string Quote(const std::string& s);        // for the shell
// The members `keys` of `j` (null for one it lacks): several figures compared in one go.
nlohmann::json Pick(const nlohmann::json& j, const std::vector<std::string>& keys);

// A suite served by one tallyweb on the hand-worked game's database.
class HandWorkedGame : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testkit::TempDir();
    web_ = new Web(Sqlite(HandWorkedDatabase(dir_->path())), dir_->File("summaries.db"));
  }
  static void TearDownTestSuite() {
    delete web_;
    delete dir_;
  }
  static std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(web_->port()) + path; }
  static inline testkit::TempDir* dir_ = nullptr;
  static inline Web* web_ = nullptr;
};

}  // namespace webtest
