// Freshness and safety under writes, and summaries that can be deleted.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <cstdio>
#include <thread>

#include "web_fixture.h"

namespace {

using json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// A long game on server "Long": A kills B `a` times, B kills A `b` times.
webtest::Feed LongGame(int a, int b, unsigned first_packet) {
  webtest::Feed f{"Long", "10.0.0.3", "27912", {}, {}, first_packet};
  f.records = {"\t\tLogDate\t03/03/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2dm3\t\t0"};
  for (int i = 0; i < a + b; ++i)
    f.records.push_back(i < a ? "A\tB\tKill\tRocket\t1\t" + std::to_string(i) : "B\tA\tKill\tShotgun\t2\t" + std::to_string(i));
  return f;
}

json Everything(webtest::Web& web) {
  json all;
  for (const char* p : {"/api/servers", "/api/games", "/api/games/1", "/api/games/2", "/api/players",
                        "/api/players?sort=fpd&order=asc", "/api/players/1", "/api/players/2", "/api/players/4",
                        "/api/weapons", "/api/types", "/api/maps"})
    all[p] = web.Json(p);
  return all;
}

bool WaitFor(webtest::Web& web, const std::string& path, const std::function<bool(const json&)>& done, double seconds) {
  const auto end = Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
  do {
    std::string body;
    if (web.Request(path, &body) == 200 && done(json::parse(body))) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (Clock::now() < end);
  return false;
}

TEST(WebRefresh, PagesKeepAnsweringWhileAGameIsStoredAndCatchUpInTime) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path(), false);
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  ASSERT_EQ(web.Json("/api/players")["total"], 4);

  // The writer gives up at the first locked-database prompt (budget 0):
  // it must never wait longer than its busy timeout for tallyweb.
  std::thread writer([&] { webtest::Store(db, LongGame(1200, 600, 1), dir.path(), 600, "--lock-budget 0"); });
  int answers = 0, failures = 0;
  std::string body;
  for (int i = 0; i < 40; ++i) {
    for (const char* p : {"/api/players?sort=frags", "/players", "/api/games/2", "/api/servers"}) {
      const int status = web.Request(p, &body);
      if (status == 200) ++answers;
      else if (!(status == 404 && std::string(p) == "/api/games/2")) ++failures;   // game 2 may not be there yet
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  writer.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(answers, 100);

  // Within the refresh period plus one second of the last write.
  EXPECT_TRUE(WaitFor(web, "/api/games/2", [](const json& g) {
    return g["score_rows"] == 1800 && g["scoreboard"].size() == 2 && g["scoreboard"][0]["frags"] == 1200;
  }, 2.0));
  json a = web.Json("/api/players/5");
  EXPECT_EQ(a["name"], "A");
  EXPECT_EQ(a["frags"], 1200);
  EXPECT_EQ(a["deaths"], 600);
  EXPECT_EQ(a["score"], 1200);
  EXPECT_EQ(a["frags_per_death"], 2.0);

  // One more datagram: seen within the refresh period plus one second.
  webtest::Feed more = LongGame(0, 0, 500);
  more.records = {"B\tA\tKill\tShotgun\t5\t4000", "\t\tGameEnd\t\t\t4001"};
  webtest::Store(db, more, dir.path());
  EXPECT_TRUE(WaitFor(web, "/api/games/2", [](const json& g) { return g["score_rows"] == 1801 && !g["running"]; }, 2.0));
  EXPECT_TRUE(web.running());
}

TEST(WebRefresh, DeletedSummariesAreRebuiltWithIdenticalFigures) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  const std::string summaries = dir.File("summaries.db");
  json before;
  {
    webtest::Web web(webtest::Sqlite(db), summaries, 1);
    before = Everything(web);
    // Deleted while running: the next pass builds it again.
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
    EXPECT_TRUE(WaitFor(web, "/api/players", [](const json& p) { return p["total"] == 5; }, 3.0));
    EXPECT_EQ(Everything(web), before);
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
  auto web = std::make_unique<webtest::Web>(webtest::Sqlite(db), summaries, 1);
  EXPECT_EQ(Everything(*web), before);

  // Summaries of another database are not mixed in: they start afresh.
  const std::string db2 = dir.File("other.db");
  testkit::Touch(db2);
  webtest::Store(db2, webtest::AlphaGame(), dir.path());
  int status = 0;   // not while another tallyweb keeps them
  std::string out = testkit::RunShell(testkit::BinaryFolder() + "/tallyweb --listen 127.0.0.1:0 --summaries " +
                                      summaries + " " + webtest::Quote(webtest::Sqlite(db2)) + " 2>&1", &status);
  EXPECT_NE(out.find("in use by another tallyweb"), std::string::npos) << out;
  EXPECT_NE(status, 0);
  web.reset();
  webtest::Web other(webtest::Sqlite(db2), summaries, 1);
  EXPECT_EQ(other.Json("/api/players")["total"], 4);
  EXPECT_EQ(other.Json("/api/games")["total"], 1);
}

TEST(WebRefresh, ADatabaseThatCannotBeReadIsReportedAndNothingIsCreated) {
  testkit::TempDir dir;
  int status = 0;
  std::string out = testkit::RunShell(testkit::BinaryFolder() + "/tallyweb --summaries " + dir.File("s.db") + " " +
                                      webtest::Quote(webtest::Sqlite(dir.File("missing.db"))) + " 2>&1", &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("Could not find file"), std::string::npos) << out;
  EXPECT_FALSE(testkit::Exists(dir.File("missing.db")));
}

TEST(WebRefresh, OddValuesWrittenByAnotherProgramDoNotStopThePasses) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path(), false);
  ASSERT_EQ(testkit::SqlExec(db, "UPDATE Games SET Game_Start_Date_Time = 'soon', Game_Flags = 'many' WHERE Record = 1;"
                                 "INSERT INTO Scores_0000001 VALUES (13, 1, 2, 2, 1, 'lots', 'later');"),
            0);
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  nlohmann::json g = web.Json("/api/games/1");
  EXPECT_EQ(g["score_rows"], 13);
  EXPECT_EQ(g["flags"], 0);
  EXPECT_EQ(web.Json("/api/players/1")["frags"], 4);   // the odd row is still a frag, with score 0
  EXPECT_EQ(web.Json("/api/players/1")["score"], 0);
}

}  // namespace
