// The hand-worked games extended by a free-for-all game without a start date
// (Charlie) and an early game stored last (Delta): team kills, streaks, one
// notion of time, the server, map, weapon and awards figures and the rating
// history, each against a value worked out by hand. The figures are read in
// this process, under a clock the test sets.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <set>

#include "datetime.h"
#include "env.h"
#include "figures.h"
#include "refresher.h"
#include "sqlite_db.h"
#include "web_fixture.h"

namespace {

using json = nlohmann::json;

// Players: O'Neil 1, <script> 2, Bob 3, Robert 4, <img> 5 (web_site_test.cpp),
// Ann 6, Ben 7, Dee 8. Weapons: Rocket 1, Railgun 2, Blaster 3. Maps:
// q2dm1 1, q2dm2 2. Games and servers: Alpha 1, Bravo 2, Charlie 3, Delta 4.
enum { kONeil = 1, kScript = 2, kBob = 3, kRobert = 4, kImg = 5, kAnn = 6, kBen = 7, kDee = 8 };

// Free-for-all (an empty team is no team), no date in the log: its time is
// the receipt of its first datagram.
//   Ann: frags 3, 4, 5, 7 (run of 3 before dying at 6), died at 6 and 10.
//   Ben: frags 6, 9, then Dee ten times (a run of 11), died at 3, 4, 7 and
//        21, suicide at 8; score 1 - 1 + 1 + 10 = 11.
//   O'Neil: frag 10, died at 5 and 9. Dee: frag 21, died ten times.
//   Scores 11, 4, 1, 1: O'Neil and Dee tie.
webtest::Feed CharlieGame() {
  webtest::Feed f{"Charlie", "10.0.0.3", "27912", {}, {}, 1};
  f.records = {"\t\tMap\tq2dm1\t\t0",
               "\t\tPlayerConnect\tAnn\t\t1",
               "\t\tPlayerConnect\tBen\t\t2",
               "Ann\tBen\tKill\tRocket\t1\t3",
               "Ann\tBen\tKill\tRocket\t1\t4",
               "Ann\tO'Neil\tKill\tBlaster\t1\t5",
               "Ben\tAnn\tKill\tRocket\t1\t6",
               "Ann\tBen\tKill\tRocket\t1\t7",
               "Ben\tBen\tSuicide\tRocket\t-1\t8",
               "Ben\tO'Neil\tKill\tRocket\t1\t9",
               "O'Neil\tAnn\tKill\tRailgun\t1\t10"};
  for (int i = 11; i <= 20; ++i) f.records.push_back("Ben\tDee\tKill\tBlaster\t1\t" + std::to_string(i));
  f.records.push_back("Dee\tBen\tKill\tBlaster\t1\t21");
  f.records.push_back("\t\tGameEnd\t\t\t30");
  return f;
}

// Begun before every other game, stored after them.
webtest::Feed DeltaGame() {
  webtest::Feed f{"Delta", "10.0.0.4", "27913", {}, {}, 1};
  f.records = {"\t\tLogDate\t02/15/2026\t\t0", "\t\tLogTime\t12:00:00\t\t0", "\t\tMap\tq2dm1\t\t0",
               "Ann\tBen\tKill\tRocket\t1\t1", "\t\tGameEnd\t\t\t5"};
  return f;
}

const std::string kDay1 = "2026-03-01 13:45:10", kDay2 = "2026-03-02 09:00:00", kDelta = "2026-02-15 12:00:00";

class HandWorkedFigures : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testkit::TempDir();
    db_ = webtest::HandWorkedDatabase(dir_->path());
    webtest::Store(db_, CharlieGame(), dir_->path(), 1400, "--from 127.0.0.3:27913");
    webtest::Store(db_, DeltaGame(), dir_->path(), 1400, "--from 127.0.0.4:27914");
    web::Refresher refresher(webtest::Sqlite(db_), dir_->File("summaries.db"));
    refresher.RefreshOnce();
  }
  static void TearDownTestSuite() { delete dir_; }

  // The figures as read at local time `now`.
  static json At(double now, const std::function<json(web::Db&)>& figures) {
    env::FixedLocalTime clock(now, env::Current());
    env::ThreadScope scope(clock);
    web::Db db(dir_->File("summaries.db"), true);
    return figures(db);
  }
  static json Now(const std::function<json(web::Db&)>& figures) { return At(datetime::Now(), figures); }

  // A date-time of the statistics database as it holds it, and its serial.
  static std::string Stored(const std::string& sql) {
    const auto rows = testkit::SqlRows(db_, sql);
    EXPECT_EQ(rows.size(), 1u) << sql;
    return rows.empty() ? std::string() : rows[0][0];
  }
  static double Serial(const std::string& text) {
    double serial = 0;
    EXPECT_TRUE(datetime::Parse(text, &serial)) << text;
    return serial;
  }
  // Charlie's time: the receipt of its first datagram.
  static std::string CharlieTime() {
    return Stored("SELECT Log_Date FROM Logs WHERE Record = (SELECT min(Log) FROM Logs_Games WHERE Game = 3)");
  }

  static inline testkit::TempDir* dir_ = nullptr;
  static inline std::string db_;
};

json Ref(int record, const std::string& name) { return json{{"record", record}, {"name", name}}; }

TEST_F(HandWorkedFigures, AFreeForAllGameHasNoTeamKillsAndEachPlayersLongestRun) {
  const json g = Now([](web::Db& db) { return web::GameJson(db, 3); });
  EXPECT_EQ(g["start"], "");
  EXPECT_EQ(g["time"], CharlieTime());
  // Record, frags, team kills, deaths, suicides, score, best streak.
  std::vector<std::vector<int>> board;
  for (const json& p : g["scoreboard"]) {
    board.emplace_back();
    for (const char* key : {"record", "frags", "team_kills", "deaths", "suicides", "score", "best_streak"})
      board.back().push_back(p[key].get<int>());
  }
  EXPECT_EQ(board, (std::vector<std::vector<int>>{{kBen, 12, 0, 4, 1, 11, 11}, {kAnn, 4, 0, 2, 0, 4, 3},
                                                  {kONeil, 1, 0, 2, 0, 1, 1}, {kDee, 1, 0, 10, 0, 1, 1}}));
  // Over both of O'Neil's games: frags 2 + 1, deaths 1 + 2, the team kill
  // of the team game, and the best run of either.
  const json o = Now([](web::Db& db) { return web::PlayerJson(db, kONeil); });
  EXPECT_EQ(webtest::Pick(o, {"frags", "deaths", "team_kills", "best_streak"}),
            (json{{"frags", 3}, {"deaths", 3}, {"team_kills", 1}, {"best_streak", 2}}));
}

TEST_F(HandWorkedFigures, FirstAndLastSeenNewestFirstAndDaysFollowTheGamesTime) {
  const std::string charlie = CharlieTime();
  const json games = Now([](web::Db& db) { return web::GamesJson(db, 0, 1); });
  std::vector<int> order;
  for (const json& g : games["games"]) order.push_back(g["record"]);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1, 4}));   // Charlie received after 2 March; Delta began 15 February
  EXPECT_EQ(games["games"][0]["time"], charlie);
  EXPECT_EQ(games["games"][3]["time"], kDelta);

  const json ann = Now([](web::Db& db) { return web::PlayerJson(db, kAnn); });
  EXPECT_EQ(webtest::Pick(ann, {"first_seen", "last_seen", "frags_per_day"}),   // first seen in game 4, the earlier one
            (json{{"first_seen", kDelta}, {"last_seen", charlie},
                  {"frags_per_day", {{{"day", "2026-02-15"}, {"frags", 1}}, {{"day", charlie.substr(0, 10)}, {"frags", 4}}}}}));
  EXPECT_EQ(ann["games_played"][0]["record"], 3);
  EXPECT_EQ(ann["games_played"][1]["record"], 4);
  const json o = Now([](web::Db& db) { return web::PlayerJson(db, kONeil); });
  EXPECT_EQ(webtest::Pick(o, {"first_seen", "last_seen"}), (json{{"first_seen", kDay1}, {"last_seen", charlie}}));
  // Sorted by last seen: Charlie's players first.
  web::PlayerQuery q;
  q.sort = "last_seen";
  q.order = "asc";
  const json list = Now([&](web::Db& db) { return web::PlayersJson(db, q); });
  std::vector<int> by_last;
  for (const json& p : list["players"]) by_last.push_back(p["record"]);
  EXPECT_EQ(by_last, (std::vector<int>{kScript, kBob, kRobert, kImg, kONeil, kAnn, kBen, kDee}));
}

TEST_F(HandWorkedFigures, AServerIsOnlineForFiveMinutesAfterItsNewestDatagram) {
  const std::string newest =
      Stored("SELECT Log_Date FROM Logs WHERE Log_IP = '127.0.0.3' ORDER BY Record DESC LIMIT 1");
  const double at = Serial(newest);
  auto charlie = [](web::Db& db) { return web::ServerJson(db, 3); };
  const json s = At(at + 299.0 / 86400, charlie);
  EXPECT_EQ(s["online"], true);
  EXPECT_EQ(s["last_datagram"], newest);
  EXPECT_EQ(At(at + 300.0 / 86400, charlie)["online"], true);
  EXPECT_EQ(At(at + 301.0 / 86400, charlie)["online"], false);
  EXPECT_EQ(At(at + 1.0, charlie)["online"], false);
  EXPECT_TRUE(s["current_game"].is_null());   // Charlie's game has ended
  EXPECT_EQ(s["games"], 1);
  ASSERT_EQ(s["games_listed"].size(), 1u);
  EXPECT_EQ(s["games_listed"][0]["record"], 3);
  EXPECT_EQ(s["maps"], (json::array({json{{"record", 1}, {"name", "q2dm1"}, {"games", 1}}})));
  std::set<int> top;
  for (const json& p : s["top_players"]) top.insert(p["record"].get<int>());
  EXPECT_EQ(top, (std::set<int>{kONeil, kAnn, kBen, kDee}));   // those who played there, no other
  for (const json& p : s["top_players"]) EXPECT_EQ(p["games"], 1) << p.dump();   // games on this server
  for (size_t i = 1; i < s["top_players"].size(); ++i)
    EXPECT_GE(s["top_players"][i - 1]["rating"].get<double>(), s["top_players"][i]["rating"].get<double>());

  // Bravo's game runs: its players with their running figures.
  const json b = Now([](web::Db& db) { return web::ServerJson(db, 2); });
  EXPECT_EQ(b["current_game"],
            (json{{"record", 2}, {"map", "q2dm2"}, {"map_record", 2}, {"players", json::array({
                 json{{"record", kRobert}, {"name", "Robert"}, {"frags", 1}, {"team_kills", 0}, {"deaths", 2}, {"suicides", 0}, {"score", 1}},
                 json{{"record", kImg}, {"name", "<img src=x onerror=alert(1)>"}, {"frags", 2}, {"team_kills", 0}, {"deaths", 1},
                      {"suicides", 1}, {"score", 1}}})}}));
  EXPECT_THROW(Now([](web::Db& db) { return web::ServerJson(db, 9); }), web::NotFound);
}

TEST_F(HandWorkedFigures, MapAndWeaponTotalsAndTheirTopPlayers) {
  // q2dm1: Alpha (12 score rows; frags 2 + 1 + 1, Bob's suicide, two team
  // kills), Charlie (21 rows; frags 12 + 4 + 1 + 1, Ben's suicide), Delta
  // (1 row, 1 frag).
  const json m = Now([](web::Db& db) { return web::MapJson(db, 1); });
  EXPECT_EQ(webtest::Pick(m, {"name", "games", "score_rows", "frags", "suicides", "team_kills"}),
            (json{{"name", "q2dm1"}, {"games", 3}, {"score_rows", 34}, {"frags", 23}, {"suicides", 2}, {"team_kills", 2}}));
  auto ids = [](const json& list, size_t n) {
    std::vector<int> out;
    for (size_t i = 0; i < n && i < list.size(); ++i) out.push_back(list[i]["record"]);
    return out;
  };
  // Frags, then fewer deaths: Ben 12 (5), Ann 5 (2), O'Neil 3 (3), Bob 1 (1), <script> 1 (2), Dee 1 (10).
  EXPECT_EQ(ids(m["top_players"], 6), (std::vector<int>{kBen, kAnn, kONeil, kBob, kScript, kDee}));
  EXPECT_EQ(m["top_players"][2], (json{{"record", kONeil}, {"name", "O'Neil"}, {"frags", 3}, {"deaths", 3},
                                       {"frags_per_death", 1.0}, {"team_kills", 1}, {"games", 2}}));
  EXPECT_EQ(ids(m["games_listed"], 5), (std::vector<int>{3, 1, 4}));

  // Rocket: frags 2 (Alpha; its two team kills are none) + 1 (Bravo) + 5
  // (Charlie) + 1 (Delta); suicides Bob, <img>, Ben; 14 rows scoring
  // 0 + 0 + 4 + 1.
  const json w = Now([](web::Db& db) { return web::WeaponJson(db, 1); });
  EXPECT_EQ(webtest::Pick(w, {"name", "frags", "suicides", "score_rows", "score", "games"}),
            (json{{"name", "Rocket"}, {"frags", 9}, {"suicides", 3}, {"score_rows", 14}, {"score", 5}, {"games", 4}}));
  EXPECT_EQ(ids(w["top_players"], 4), (std::vector<int>{kAnn, kONeil, kBen, kImg}));
  EXPECT_EQ(w["top_players"][0], (json{{"record", kAnn}, {"name", "Ann"}, {"frags", 4}, {"deaths", 1},
                                       {"frags_per_death", 4.0}, {"games", 2}}));
  EXPECT_THROW(Now([](web::Db& db) { return web::MapJson(db, 7); }), web::NotFound);
  EXPECT_THROW(Now([](web::Db& db) { return web::WeaponJson(db, 0); }), web::NotFound);
}

TEST_F(HandWorkedFigures, AwardsOfTheLastDayAndWeekByTheClock) {
  auto award = [](int record, const std::string& name, json value) {
    json a = Ref(record, name);
    a["value"] = value;
    return a;
  };
  auto top = [](int weapon, const std::string& wname, int player, const std::string& pname, int frags) {
    return json{{"weapon", Ref(weapon, wname)}, {"player", Ref(player, pname)}, {"frags", frags}};
  };
  const std::string img = "<img src=x onerror=alert(1)>";
  // 2 March, 15:00: the last day holds Bravo's game only, the last week
  // Alpha's too (Delta's is older, Charlie's later).
  const json march = At(Serial("2026-03-02 15:00:00"), [](web::Db& db) { return web::AwardsJson(db); });
  const json& day = march["day"];
  EXPECT_EQ(day["most_frags"], award(kImg, img, 2));
  EXPECT_TRUE(day["best_frags_per_death"].is_null());   // nobody with 10 deaths
  EXPECT_EQ(day["longest_streak"], award(kImg, img, 2));
  EXPECT_TRUE(day["most_team_kills"].is_null());
  EXPECT_EQ(day["top_per_weapon"], (json::array({top(3, "Blaster", kRobert, "Robert", 1), top(1, "Rocket", kImg, img, 1)})));
  const json& week = march["week"];
  EXPECT_EQ(week["most_frags"], award(kONeil, "O'Neil", 2));      // ties <img> on 2: the lower record
  EXPECT_EQ(week["longest_streak"], award(kONeil, "O'Neil", 2));
  EXPECT_EQ(week["most_team_kills"], award(kONeil, "O'Neil", 1));   // ties Robert
  EXPECT_EQ(week["top_per_weapon"],
            (json::array({top(3, "Blaster", kRobert, "Robert", 1), top(2, "Railgun", kScript, "<script>alert(1)</script>", 1),
                          top(1, "Rocket", kONeil, "O'Neil", 2)})));

  // An hour after Charlie's game was received: that game alone.
  const json later = At(Serial(CharlieTime()) + 1.0 / 24, [](web::Db& db) { return web::AwardsJson(db); });
  for (const char* window : {"day", "week"}) {
    const json& w = later[window];
    EXPECT_EQ(w["most_frags"], award(kBen, "Ben", 12)) << window;
    EXPECT_EQ(w["best_frags_per_death"], award(kDee, "Dee", 0.1)) << window;   // 1 frag, 10 deaths
    EXPECT_EQ(w["longest_streak"], award(kBen, "Ben", 11)) << window;
    EXPECT_TRUE(w["most_team_kills"].is_null()) << window;
    EXPECT_EQ(w["top_per_weapon"], (json::array({top(3, "Blaster", kBen, "Ben", 10), top(2, "Railgun", kONeil, "O'Neil", 1),
                                                 top(1, "Rocket", kAnn, "Ann", 3)})))
        << window;
  }
}

// The values themselves are checked against the rating rules in
// web_rating_test.cpp; here the order of the entries.
TEST_F(HandWorkedFigures, TheRatingHistoryFollowsTheGamesInTheirOrderOfTime) {
  auto history = [](int player) {
    const json p = Now([&](web::Db& db) { return web::PlayerJson(db, player); });
    std::vector<std::pair<int, std::string>> games;   // game and start, the first one's only
    for (const json& h : p["rating_history"]) games.emplace_back(h["game"].get<int>(), games.empty() ? h["start"].get<std::string>() : std::string());
    return games;
  };
  using History = std::vector<std::pair<int, std::string>>;
  EXPECT_EQ(history(kAnn), (History{{4, kDelta}, {3, ""}}));      // Delta began first, though stored last
  EXPECT_EQ(history(kONeil), (History{{1, kDay1}, {3, ""}}));     // Charlie, without a start, after Alpha
  EXPECT_EQ(history(kImg), History{});                           // the running game only
}

// A team game stored in two parts with a pass between, then read afresh:
// the teams and runs carried from the first part give the same figures.
//   Ann: Red; after 7 Blue (her two links, two records); after 10 Red
//        again (a change with both links taken: the other one). Frags 5,
//        9, 12 (a run of 3); team kills 6 (Cy, Red), 8 (Ben, Blue), 11 (Cy);
//        killed at 13 and 16.
//   Cy: Red (one link, two records). Ben: Blue; frag 13.
//   Dan: Green, a repeated record, then Blue: three records, two links, so
//        the second record may have named Blue already; from it until the
//        change his team is not known and his kill of Eve (Green) at 17 is
//        a frag. After 18 Blue: 19 (Ben) is a team kill.
//   Eve: frags 20 and 22 (Cy), her suicide at 21 between them: runs of 1.
TEST(WebFigures, TeamsAndRunsCarriedAcrossPassesMatchAReadingAfresh) {
  testkit::TempDir dir;
  const std::string db = dir.File("teams.db");
  testkit::Touch(db);
  webtest::Feed first{"Echo", "10.0.0.5", "27915", {}, {}, 1};
  first.records = {"\t\tLogDate\t03/05/2026\t\t0", "\t\tLogTime\t20:00:00\t\t0", "\t\tMap\tq2ctf1\t\t0",
                   "\t\tPlayerConnect\tAnn\tRed\t1",     "\t\tPlayerConnect\tBen\tBlue\t2",
                   "\t\tPlayerConnect\tCy\tRed\t3",      "\t\tPlayer\tCy\tRed\t4",
                   "Ann\tBen\tKill\tRocket\t1\t5",       "Ann\tCy\tKill\tRocket\t1\t6",
                   "\t\tPlayerTeamChange\tAnn\tBlue\t7", "Ann\tBen\tKill\tRocket\t1\t8",
                   "Ann\tCy\tKill\tRocket\t1\t9"};
  webtest::Feed second = first;
  second.first_packet = 2;
  second.records = {"\t\tPlayerTeamChange\tAnn\tRed\t10", "Ann\tCy\tKill\tRocket\t1\t11",
                    "Ann\tBen\tKill\tRocket\t1\t12",      "Ben\tAnn\tKill\tRocket\t1\t13",
                    "\t\tPlayerConnect\tDan\tGreen\t14",  "\t\tPlayerConnect\tEve\tGreen\t14",
                    "\t\tPlayer\tDan\tGreen\t15",         "Dan\tAnn\tKill\tRocket\t1\t16",
                    "Dan\tEve\tKill\tRocket\t1\t17",      "\t\tPlayerTeamChange\tDan\tBlue\t18",
                    "Dan\tBen\tKill\tRocket\t1\t19",      "Eve\tCy\tKill\tRocket\t1\t20",
                    "Eve\tEve\tSuicide\tRocket\t-1\t21",  "Eve\tCy\tKill\tRocket\t1\t22",
                    "\t\tGameEnd\t\t\t30"};
  webtest::Store(db, first, dir.path());
  web::Refresher live(webtest::Sqlite(db), dir.File("live.db"));
  live.RefreshOnce();
  webtest::Store(db, second, dir.path());
  live.RefreshOnce();
  web::Refresher afresh(webtest::Sqlite(db), dir.File("afresh.db"));
  afresh.RefreshOnce();

  auto board = [&](const std::string& file) {
    web::Db summaries(dir.File(file), true);
    std::map<std::string, std::vector<int>> out;   // frags, team kills, deaths, best streak
    const json game = web::GameJson(summaries, 1);
    for (const json& p : game["scoreboard"])
      out[p["name"].get<std::string>()] = {p["frags"].get<int>(), p["team_kills"].get<int>(), p["deaths"].get<int>(),
                        p["best_streak"].get<int>()};
    return out;
  };
  const std::map<std::string, std::vector<int>> expected = {
      {"Ann", {3, 3, 2, 3}}, {"Ben", {1, 0, 2, 1}}, {"Cy", {0, 0, 3, 0}}, {"Dan", {2, 1, 0, 2}}, {"Eve", {2, 0, 1, 1}}};
  EXPECT_EQ(board("live.db"), expected);
  EXPECT_EQ(board("afresh.db"), expected);
}

// A backup put back in the middle of a game: read before the game goes on,
// the pass reads it afresh and the next one the rows stored after it; with
// rows stored after it under the numbers already read (the same players and
// weapons), those are told apart by their content.
TEST(WebFigures, ABackupPutBackInTheMiddleOfAGameIsNoticedByItsRows) {
  testkit::TempDir dir;
  const std::string db = dir.File("long.db"), backup = dir.File("backup.db");
  testkit::Touch(db);
  auto feed = [](unsigned packet, std::vector<std::string> records) {
    webtest::Feed f{"Long", "10.0.0.3", "27912", {}, {}, packet};
    f.records = {"\t\tLogDate\t03/03/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0", "\t\tMap\tq2dm3\t\t0"};
    f.records.insert(f.records.end(), records.begin(), records.end());
    return f;
  };
  auto put_back = [&] {   // no frame of the file replaced left in the log to be read into the backup
    ASSERT_EQ(testkit::SqlExec(db, "PRAGMA wal_checkpoint(TRUNCATE)"), 0);
    ASSERT_EQ(testkit::SqlExec(backup, "PRAGMA journal_mode=WAL"), 0);
    ASSERT_EQ(std::rename(backup.c_str(), db.c_str()), 0);
  };
  webtest::Store(db, feed(1, {"A\tB\tKill\tRocket\t1\t1", "A\tB\tKill\tRocket\t1\t2"}), dir.path());
  ASSERT_EQ(testkit::SqlExec(db, "VACUUM INTO '" + backup + "'"), 0);
  webtest::Store(db, feed(100, {"A\tB\tKill\tRocket\t1\t50", "A\tB\tKill\tRocket\t1\t51"}), dir.path());
  web::Refresher refresher(webtest::Sqlite(db), dir.File("summaries.db"));
  refresher.RefreshOnce();
  const auto figures = [&] {   // the game's score rows, B's score
    web::Db read(dir.File("summaries.db"), true);
    return std::make_pair(web::GameJson(read, 1)["score_rows"].get<int64_t>(),
                          web::PlayerJson(read, 2)["score"].get<int64_t>());
  };
  const auto [rows_before, b_before] = figures();
  put_back();
  EXPECT_TRUE(refresher.RefreshOnce().rebuilt);
  EXPECT_EQ(figures(), std::make_pair(rows_before - 2, b_before));
  ASSERT_EQ(testkit::SqlExec(db, "VACUUM INTO '" + backup + "'"), 0);
  webtest::Store(db, feed(200, {"B\tA\tKill\tShotgun\t2\t60", "B\tA\tKill\tShotgun\t2\t61"}), dir.path());
  refresher.RefreshOnce();
  EXPECT_EQ(figures(), std::make_pair(rows_before, b_before + 4));

  put_back();
  webtest::Store(db, feed(300, {"B\tA\tKill\tShotgun\t3\t70", "B\tA\tKill\tShotgun\t3\t71"}), dir.path());
  EXPECT_TRUE(refresher.RefreshOnce().rebuilt);
  EXPECT_EQ(figures(), std::make_pair(rows_before, b_before + 6));
}

// The passes leave copying their log back into the summaries file to the
// checkpoint between them (tallyweb runs one after each pass): with it the
// log stays as long as the longest pass needed, however many passes run.
TEST(WebFigures, CheckpointsBetweenPassesKeepTheSummariesLogShort) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  const std::string summaries = dir.File("summaries.db");
  web::Refresher refresher(webtest::Sqlite(db), summaries);
  refresher.RefreshOnce();
  const auto log_size = [&] { return std::filesystem::file_size(summaries + "-wal"); };
  const auto first = log_size();
  refresher.Checkpoint();
  const auto score_rows = [&] {
    web::Db read(summaries, true);
    return web::GameJson(read, 2)["score_rows"].get<int64_t>();
  };
  const int64_t before = score_rows();
  // Rows of the running game, a pass and a checkpoint after each.
  const int64_t rows = std::stoll(testkit::SqlRows(db, "select max(Record) from Scores_0000002")[0][0]);
  for (int i = 1; i <= 40; ++i) {
    testkit::SqlExec(db, "insert into Scores_0000002 values (" + std::to_string(rows + i) + ", 1, 2, 1, 1, 1, " +
                             std::to_string(100 + i) + ")");
    refresher.RefreshOnce();
    refresher.Checkpoint();
  }
  EXPECT_LE(log_size(), first);
  EXPECT_EQ(score_rows(), before + 40);
}

// A page holds fifty players: fifty make one page, the fifty-first a second.
TEST(WebFigures, FiftyPlayersFillOnePageAndTheFiftyFirstBeginsTheNext) {
  testkit::TempDir dir;
  const std::string db = dir.File("crowd.db");
  testkit::Touch(db);
  webtest::Feed feed{"Crowd", "10.0.0.7", "27917", {"\t\tMap\tq2dm1\t\t0"}, {}, 1};
  for (int i = 1; i <= 51; ++i) feed.records.push_back("\t\tPlayerConnect\tP" + std::to_string(i) + "\t\t1");
  webtest::Feed last = feed;
  last.records = {feed.records.back()};
  last.first_packet = 100;
  feed.records.pop_back();
  web::Refresher refresher(webtest::Sqlite(db), dir.File("summaries.db"));
  const auto page = [&](int64_t n) {
    web::Db s(dir.File("summaries.db"), true);
    web::PlayerQuery q;
    q.page = n;
    return web::PlayersJson(s, q);
  };
  webtest::Store(db, feed, dir.path());
  refresher.RefreshOnce();
  EXPECT_EQ(page(1)["pages"], 1);
  EXPECT_EQ(page(1)["players"].size(), 50u);
  EXPECT_THROW(page(2), web::NotFound);
  webtest::Store(db, last, dir.path());
  refresher.RefreshOnce();
  EXPECT_EQ(page(1)["pages"], 2);
  EXPECT_EQ(page(2)["players"].size(), 1u);
}

// Bob and Robert named as one person (Robert first): one player under
// Robert's record, with Bob's rows of the closed game. Worked out: game 1
// frags 1 (15), death 1 (11), suicide 13, the team kill 17 (Bob's teams,
// Blue then Red, are the person's), score -1 + 2 + 1; game 2 as before.
TEST(WebFigures, AliasesMergeNamesIntoOnePlayerUntilTheFileChanges) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  const std::string aliases = dir.File("aliases.txt");
  testkit::WriteFile(aliases, "# people\n\nRobert\tBob\tNobody Seen\nO'Neil\tBob\n");   // Bob is Robert's already
  web::Refresher refresher(webtest::Sqlite(db), dir.File("summaries.db"));
  refresher.SetAliasesFile(aliases);
  refresher.RefreshOnce();
  {
    web::Db s(dir.File("summaries.db"), true);
    const json robert = web::PlayerJson(s, 4);
    EXPECT_EQ(webtest::Pick(robert, {"frags", "deaths", "suicides", "team_kills", "score", "games"}),
              (json{{"frags", 2}, {"deaths", 3}, {"suicides", 1}, {"team_kills", 1}, {"score", 3}, {"games", 2}}));
    EXPECT_EQ(robert["names"]["used"], json::parse(R"([{"record":3,"name":"Bob"},{"record":4,"name":"Robert"}])"));
    EXPECT_EQ(robert["names"]["renamed_from"], json::parse(R"([{"record":3,"name":"Bob","game":1,"offset":16.0}])"));
    EXPECT_EQ(robert["rating_history"].size(), 1u);   // game 1, as one participant
    EXPECT_EQ(web::PlayerJson(s, 3)["alias_of"], json::parse(R"({"record":4,"name":"Robert"})"));
    EXPECT_EQ(web::PlayersJson(s, web::PlayerQuery{})["total"], 4);   // Bob is no player of his own
    EXPECT_EQ(web::GameJson(s, 1)["players"], 3);
  }
  // Without the line, the next passes sum everything again.
  testkit::WriteFile(aliases, "");
  refresher.RefreshOnce();
  refresher.RefreshOnce();
  {
    web::Db s(dir.File("summaries.db"), true);
    EXPECT_EQ(web::PlayerJson(s, 3)["games"], 1);
    EXPECT_EQ(web::PlayerJson(s, 4)["frags"], 1);
    EXPECT_EQ(web::PlayersJson(s, web::PlayerQuery{})["total"], 5);
  }
  // A file that cannot be read fails the pass, and tallyweb says so.
  refresher.SetAliasesFile(dir.File("missing.txt"));
  EXPECT_THROW(refresher.RefreshOnce(), std::runtime_error);
  int status = 0;
  const std::string out = testkit::RunShell(testkit::BinaryFolder() + "/tallyweb --listen 127.0.0.1:0 --summaries " +
                                                dir.File("other.db") + " --aliases " + dir.File("missing.txt") + " " +
                                                webtest::Quote(webtest::Sqlite(db)) + " 2>&1",
                                            &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(out.find("cannot read the aliases file"), std::string::npos) << out;
}

// A merged name's team records count as the person's: Al (merged into Alan)
// joins Blue, is listed Blue again, then changes to Red: two teams, three
// records, so the second is not known and the change takes Red; Al's kill
// of Cy (Red) is a team kill of Alan's.
TEST(WebFigures, AMergedNamesTeamRecordsAreThePersons) {
  testkit::TempDir dir;
  const std::string db = dir.File("merged.db");
  testkit::Touch(db);
  webtest::Feed feed{"Foxtrot", "10.0.0.6", "27916", {}, {}, 1};
  feed.records = {"\t\tMap\tq2dm1\t\t0",           "Alan\tZed\tKill\tRocket\t1\t1",  "\t\tGameEnd\t\t\t2",
                  "\t\tMap\tq2dm1\t\t0",           "\t\tPlayerConnect\tAl\tBlue\t1", "\t\tPlayer\tAl\tBlue\t2",
                  "\t\tPlayerConnect\tCy\tRed\t3", "\t\tPlayerTeamChange\tAl\tRed\t4", "Al\tCy\tKill\tRocket\t1\t5",
                  "\t\tGameEnd\t\t\t6"};
  webtest::Store(db, feed, dir.path());
  testkit::WriteFile(dir.File("aliases.txt"), "Alan\tAl\n");
  web::Refresher refresher(webtest::Sqlite(db), dir.File("summaries.db"));
  refresher.SetAliasesFile(dir.File("aliases.txt"));
  refresher.RefreshOnce();
  web::Db s(dir.File("summaries.db"), true);
  EXPECT_EQ(webtest::Pick(web::PlayerJson(s, 1), {"name", "frags", "team_kills", "games"}),
            (json{{"name", "Alan"}, {"frags", 1}, {"team_kills", 1}, {"games", 2}}));
}

}  // namespace
