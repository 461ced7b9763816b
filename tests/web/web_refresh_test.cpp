// Freshness and safety under writes, and summaries that can be deleted.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "datetime.h"
#include "env.h"
#include "figures.h"
#include "web_fixture.h"

namespace {

using json = nlohmann::json;

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
  return testkit::Eventually([&] {
    std::string body;
    return web.Request(path, &body) == 200 && done(json::parse(body));
  }, std::chrono::milliseconds(static_cast<int>(seconds * 1000)), std::chrono::milliseconds(50));
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
  EXPECT_EQ(webtest::Pick(web.Json("/api/players/5"), {"name", "frags", "deaths", "score", "frags_per_death"}),
            (json{{"name", "A"}, {"frags", 1200}, {"deaths", 600}, {"score", 1200}, {"frags_per_death", 2.0}}));

  // One more datagram: seen within the refresh period plus one second.
  webtest::Feed more = LongGame(0, 0, 500);
  more.records = {"B\tA\tKill\tShotgun\t5\t4000", "\t\tGameEnd\t\t\t4001"};
  webtest::Store(db, more, dir.path());
  EXPECT_TRUE(WaitFor(web, "/api/games/2", [](const json& g) { return g["score_rows"] == 1801 && !g["running"]; }, 2.0));
  EXPECT_TRUE(web.running());
}

// The summaries file holds none of what was written over it: an SQLite
// database, or (made anew, its pages still in its write-ahead log) nothing.
bool LooksRebuilt(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[16] = {};
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == 0 || (n == sizeof head && std::string(head, 15) == "SQLite format 3");
}

// Summaries emptied, overwritten or deleted while tallyweb runs are built
// again with the same figures, without a restart; deleted while it is
// stopped, at its start.
TEST(WebRefresh, DeletedOrDamagedSummariesAreRebuiltWithIdenticalFigures) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  const std::string summaries = dir.File("summaries.db");
  auto web = std::make_unique<webtest::Web>(webtest::Sqlite(db), summaries, 1);
  const json before = Everything(*web);
  for (const char* damage : {"emptied", "overwritten", "deleted"}) {
    if (damage == std::string("deleted")) {
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
    } else {
      testkit::WriteFile(summaries, damage == std::string("emptied") ? "" : std::string(8192, 'x'));
    }
    // Readers may still see the old figures (the file's pages are still in
    // its write-ahead log), then "being built", then the figures again: wait
    // until the file is mended and every answer is as before.
    const bool same = testkit::Eventually([&] {
      bool as_before = LooksRebuilt(summaries);
      for (const auto& [path, answer] : before.items()) {
        std::string body;
        as_before = as_before && web->Request(path, &body) == 200 && json::parse(body) == answer;
      }
      return as_before;
    });
    EXPECT_TRUE(same) << damage;
    EXPECT_TRUE(LooksRebuilt(summaries)) << damage;
  }
  EXPECT_TRUE(web->running());
  web.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((summaries + suffix).c_str());
  web = std::make_unique<webtest::Web>(webtest::Sqlite(db), summaries, 1);
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

// A database file replaced by another one with as many games or more is
// told apart by its first datagram (its games all open here, and the last
// row of every table alike) or, restored from a copy of itself that
// differs, by its last closed game.
TEST(WebRefresh, AReplacedDatabaseIsReadAfresh) {
  testkit::TempDir dir;
  const std::string db = dir.File("long.db"), other = dir.File("other.db");
  testkit::Touch(db);
  testkit::Touch(other);
  webtest::Store(db, LongGame(3, 2, 1), dir.path());
  // A's third kill is B's first here; the last rows are the same.
  webtest::Store(other, LongGame(2, 3, 1), dir.path(), 1400, "--from 10.9.9.9:1234");
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  EXPECT_EQ(webtest::Pick(web.Json("/api/players/1"), {"name", "frags"}), (json{{"name", "A"}, {"frags", 3}}));
  ASSERT_EQ(std::rename(other.c_str(), db.c_str()), 0);
  EXPECT_TRUE(WaitFor(web, "/api/players/1", [](const json& p) { return p["frags"] == 2; }, 5.0));
  EXPECT_EQ(webtest::Pick(web.Json("/api/games/1"), {"score_rows"}), (json{{"score_rows", 5}}));

  std::filesystem::create_directories(dir.File("alpha"));
  const std::string alpha = webtest::HandWorkedDatabase(dir.File("alpha"), false), copy = dir.File("copy.db");
  webtest::Web web2(webtest::Sqlite(alpha), dir.File("summaries2.db"), 1);
  EXPECT_EQ(web2.Json("/api/games/1")["end"], "2026-03-01 13:45:30");
  ASSERT_EQ(testkit::SqlExec(alpha, "VACUUM INTO '" + copy + "'"), 0);
  ASSERT_EQ(testkit::SqlExec(copy, "PRAGMA journal_mode=WAL; "
                                   "UPDATE Games SET Game_End_Date_Time = '2026-03-01 14:00:00' WHERE Record = 1"),
            0);
  ASSERT_EQ(std::rename(copy.c_str(), alpha.c_str()), 0);
  EXPECT_TRUE(WaitFor(web2, "/api/games/1", [](const json& g) { return g["end"] == "2026-03-01 14:00:00"; }, 5.0));
}

// A database that cannot be read: the last figures are shown, each page
// and answer saying since when they are older; nothing of it once it is back.
TEST(WebRefresh, PagesSayWhileTheDatabaseCannotBeRead) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path(), false), away = dir.File("away.db");
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  EXPECT_FALSE(web.Json("/api/players").contains("unreadable_since"));
  ASSERT_EQ(std::rename(db.c_str(), away.c_str()), 0);
  EXPECT_TRUE(WaitFor(web, "/api/players", [](const json& p) {
    return p.contains("unreadable_since") && p["total"] == 4;
  }, 5.0));
  std::string page;
  EXPECT_EQ(web.Request("/players", &page), 200);
  EXPECT_NE(page.find("The database cannot be read since "), std::string::npos) << page;
  ASSERT_EQ(std::rename(away.c_str(), db.c_str()), 0);
  EXPECT_TRUE(WaitFor(web, "/api/players", [](const json& p) { return !p.contains("unreadable_since"); }, 5.0));
  EXPECT_EQ(web.Request("/players", &page), 200);
  EXPECT_EQ(page.find("cannot be read"), std::string::npos);
}

// While the summaries are made afresh, pages say so rather than show part.
TEST(WebRefresh, SummariesBeingBuiltAreNotShown) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path(), false);
  const std::string summaries = dir.File("summaries.db");
  webtest::Web web(webtest::Sqlite(db), summaries, 3600);   // no pass after the first
  EXPECT_EQ(testkit::SqlRows(summaries, "SELECT value FROM meta WHERE key = 'building'"),
            (std::vector<std::vector<std::string>>{{"0"}}));
  ASSERT_EQ(testkit::SqlExec(summaries, "UPDATE meta SET value = '1' WHERE key = 'building'"), 0);
  std::string body;
  EXPECT_EQ(web.Request("/api/players", &body), 503);
  EXPECT_NE(body.find("being built"), std::string::npos) << body;
  ASSERT_EQ(testkit::SqlExec(summaries, "UPDATE meta SET value = '0' WHERE key = 'building'"), 0);
  EXPECT_EQ(web.Request("/api/players", &body), 200);
}

// Names as the database holds them (any script), found by any two or three
// of their characters; a player last seen in the game that began last,
// whatever its number.
TEST(WebRefresh, NamesInAnyScriptAndTheLastGameByItsStart) {
  testkit::TempDir dir;
  const std::string db = dir.File("names.db");
  testkit::Touch(db);
  const std::string zora = "\xD0\x96\xD0\xBE\xD1\x80\xD0\xB0", ze = "Z\xC3\xA9", lea = "L\xC3\xA9" "a";
  webtest::Feed later{"Later", "10.0.0.7", "27917", {}, {}, 1};
  later.records = {"\t\tLogDate\t03/09/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2dm1\t\t0",
                   zora + "\t" + ze + "\tKill\tRocket\t1\t1"};
  webtest::Feed earlier{"Earlier", "10.0.0.8", "27918", {}, {}, 1};
  earlier.records = {"\t\tLogDate\t03/02/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2dm2\t\t0",
                     lea + "\t" + zora + "\tKill\tRocket\t1\t1"};
  webtest::Store(db, later, dir.path());     // game 1, begun 9 March
  webtest::Store(db, earlier, dir.path());   // game 2, begun 2 March
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  std::set<std::string> names;
  const json all = web.Json("/api/players");
  for (const json& p : all["players"]) names.insert(p["name"]);
  EXPECT_EQ(names, (std::set<std::string>{zora, ze, lea}));
  auto found = [&](const std::string& q) {
    std::set<std::string> out;
    const json list = web.Json("/api/players?q=" + q);
    for (const json& p : list["players"]) out.insert(p["name"]);
    return out;
  };
  EXPECT_EQ(found("Z%C3%A9"), (std::set<std::string>{ze}));            // two characters, three bytes
  EXPECT_EQ(found("%C3%A9a"), (std::set<std::string>{lea}));
  EXPECT_EQ(found("%D0%96%D0%BE%D1%80"), (std::set<std::string>{zora}));   // three characters, six bytes
  const json zp = web.Json("/api/players?q=%D0%96%D0%BE")["players"][0];
  EXPECT_EQ(zp["games"], 2);
  EXPECT_EQ(zp["last_seen"], "2026-03-09 10:00:00");
  std::vector<std::string> by_last;
  const json sorted = web.Json("/api/players?sort=last_seen&order=desc");
  for (const json& p : sorted["players"]) by_last.push_back(p["name"]);
  EXPECT_EQ(by_last, (std::vector<std::string>{ze, zora, lea}));   // ties by record, highest first
}

// A game whose log gave a time but no date starts on the zero date, which
// is no date: the game took place when its first datagram was received,
// and its frags count on that day.
TEST(WebRefresh, AGameWithATimeButNoDateCountsOnTheDayItWasReceived) {
  testkit::TempDir dir;
  const std::string db = dir.File("nodate.db");
  testkit::Touch(db);
  webtest::Feed feed{"Timeless", "10.0.0.9", "27919", {}, {}, 1};
  feed.records = {"\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2dm1\t\t0", "Ann\tBen\tKill\tRocket\t1\t1"};
  webtest::Store(db, feed, dir.path());
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  const json ann = web.Json("/api/players/1");
  EXPECT_EQ(ann["frags"], 1);
  const auto received = testkit::SqlRows(db, "SELECT Log_Date FROM Logs ORDER BY Record LIMIT 1");
  ASSERT_EQ(received.size(), 1u);
  const std::string day = received[0][0].substr(0, received[0][0].find(' '));
  EXPECT_EQ(ann["frags_per_day"], (json::array({json{{"day", day}, {"frags", 1}}})));
  EXPECT_EQ(ann["first_seen"], received[0][0]);
  EXPECT_EQ(ann["last_seen"], received[0][0]);
}

// A score record without a victim (a flag captured, a bonus) adds to the
// player's score and is neither a frag nor a suicide; nobody dies of it.
TEST(WebRefresh, AScoreWithoutAVictimIsNeitherAFragNorASuicide) {
  testkit::TempDir dir;
  const std::string db = dir.File("bonus.db");
  testkit::Touch(db);
  webtest::Feed feed{"Flags", "10.0.0.8", "27918", {}, {}, 1};
  feed.records = {"\t\tLogDate\t03/01/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2ctf1\t\t0",
                  "\t\tPlayerConnect\tAnn\tRed\t1", "\t\tPlayerConnect\tBen\tBlue\t2",
                  "Ann\tBen\tKill\tRocket\t1\t3", "Ann\t\tCapture\tFlag\t5\t4", "Ben\tBen\tSuicide\tLava\t-1\t4",
                  "\t\tGameEnd\t\t\t5"};
  webtest::Store(db, feed, dir.path());
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  const json players = web.Json("/api/players?sort=name&order=asc")["players"];
  ASSERT_EQ(players.size(), 2u) << players.dump();   // Ann and Ben; nobody for the missing victim
  EXPECT_EQ(webtest::Pick(players[0], {"name", "frags", "suicides", "deaths", "score"}),
            (json{{"name", "Ann"}, {"frags", 1}, {"suicides", 0}, {"deaths", 0}, {"score", 6}}));
  EXPECT_EQ(players[1]["deaths"], 1);
  // Neither the flag nor the lava fragged anybody: no weapon award of their own.
  double noon = 0;
  ASSERT_TRUE(datetime::Parse("2026-03-01 12:00:00", &noon));
  env::FixedLocalTime clock(noon, env::Current());
  env::ThreadScope scope(clock);
  web::Db summaries(dir.File("summaries.db"), true);
  const json weapons = web::AwardsJson(summaries)["day"]["top_per_weapon"];
  ASSERT_EQ(weapons.size(), 1u) << weapons.dump();
  EXPECT_EQ(weapons[0]["weapon"]["name"], "Rocket");
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
  EXPECT_EQ(web.Json("/api/players/1")["frags"], 3);   // the odd row is still a frag, with score 0
  EXPECT_EQ(web.Json("/api/players/1")["score"], 0);
}

}  // namespace
