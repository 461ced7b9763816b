// Every figure of every JSON endpoint against the hand-worked game, and
// requests the server refuses (pages in a browser: web_browser_test.cpp).
#include <gtest/gtest.h>
#include <httplib.h>

#include "web_fixture.h"

namespace {

using json = nlohmann::json;

using WebSite = webtest::HandWorkedGame;

// Players: O'Neil 1, <script> 2, Bob 3, Robert 4 (Bob's new name), <img> 5.
const std::string kScript = "<script>alert(1)</script>";
const std::string kImg = "<img src=x onerror=alert(1)>";

json Player(int record, const std::string& name, int frags, int team_kills, int deaths, int suicides, int score,
            double fpd, int games, const std::string& last_seen) {
  return json{{"record", record}, {"name", name}, {"frags", frags}, {"team_kills", team_kills}, {"deaths", deaths},
              {"suicides", suicides}, {"score", score}, {"frags_per_death", fpd}, {"games", games},
              {"last_seen", last_seen}};
}

const std::string kDay1 = "2026-03-01 13:45:10", kDay2 = "2026-03-02 09:00:00";

TEST_F(WebSite, RankingHoldsTheHandWorkedTotalsInEveryOrder) {
  json all = web_->Json("/api/players?sort=name&order=asc");
  EXPECT_EQ(all["total"], 5);
  EXPECT_EQ(all["pages"], 1);
  // Team kills in the closed game: Bob changed from Blue to Red (the two
  // teams linked to him, in order) and was renamed Robert, who stays Red;
  // Robert killing O'Neil (Red) and O'Neil killing Robert are team kills,
  // neither frags nor deaths.
  const json expected = json::array({
      Player(5, kImg, 2, 0, 1, 1, 1, 2.0, 1, kDay2),
      Player(2, kScript, 1, 0, 2, 0, 1, 0.5, 1, kDay1),
      Player(3, "Bob", 1, 0, 1, 1, 1, 1.0, 1, kDay1),
      Player(1, "O'Neil", 2, 1, 1, 0, 0, 2.0, 1, kDay1),
      Player(4, "Robert", 1, 1, 2, 0, 2, 0.5, 2, kDay2),
  });
  // The ratings are checked against the rating rules in web_rating_test.cpp.
  for (json& p : all["players"]) {
    for (const char* rating : {"mu", "sigma", "rating"}) p.erase(rating);
  }
  EXPECT_EQ(all["players"], expected);

  auto order = [&](const std::string& query) {
    std::vector<int> ids;
    const json list = web_->Json("/api/players?" + query);
    for (const json& p : list["players"]) ids.push_back(p["record"]);
    return ids;
  };
  EXPECT_EQ(order(""), (std::vector<int>{4, 3, 2, 5, 1}));   // rating, highest first; ties by record
  EXPECT_EQ(order("sort=score&order=desc"), (std::vector<int>{4, 5, 3, 2, 1}));
  EXPECT_EQ(order("sort=frags&order=desc"), (std::vector<int>{5, 1, 4, 3, 2}));
  EXPECT_EQ(order("sort=deaths&order=asc"), (std::vector<int>{1, 3, 5, 2, 4}));
  EXPECT_EQ(order("sort=team_kills&order=desc"), (std::vector<int>{4, 1, 5, 3, 2}));
  EXPECT_EQ(order("sort=suicides&order=desc"), (std::vector<int>{5, 3, 4, 2, 1}));
  EXPECT_EQ(order("sort=fpd&order=desc"), (std::vector<int>{5, 1, 3, 4, 2}));
  EXPECT_EQ(order("sort=games&order=desc"), (std::vector<int>{4, 5, 3, 2, 1}));
  EXPECT_EQ(order("sort=last_seen&order=desc"), (std::vector<int>{5, 4, 3, 2, 1}));
  EXPECT_EQ(order("q=ROB"), (std::vector<int>{4}));
  EXPECT_EQ(order("q=rob&sort=name&order=asc"), (std::vector<int>{4}));   // through the index, by name
  EXPECT_EQ(order("q=%27"), (std::vector<int>{1}));          // the apostrophe
  EXPECT_EQ(order("q=%25"), (std::vector<int>{}));           // % is a character, not a wildcard
  EXPECT_EQ(order("q=_"), (std::vector<int>{}));             // and so is _
  EXPECT_EQ(order("q=b_"), (std::vector<int>{}));            // not "Bo" nor "be"
  EXPECT_EQ(order("q=o%27"), (std::vector<int>{1}));         // two characters
  EXPECT_EQ(order("q=%3Cscript"), (std::vector<int>{2}));
  EXPECT_EQ(order("q=%27ne"), (std::vector<int>{1}));        // any letter case, also through the index
  EXPECT_EQ(order("q=%22x%22"), (std::vector<int>{}));
  EXPECT_EQ(order("q=r%25r"), (std::vector<int>{}));
  EXPECT_EQ(order("q=b"), (std::vector<int>{4, 3}));
}

TEST_F(WebSite, ServersShowTheirGamesAndTheRunningOne) {
  json s = web_->Json("/api/servers")["servers"];
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(webtest::Pick(s[0], {"record", "name", "ip", "port", "packet_number", "games", "current_game"}),
            (json{{"record", 1}, {"name", "Alpha"}, {"ip", "10.0.0.1"}, {"port", "27910"}, {"packet_number", 1},
                  {"games", 1}, {"current_game", nullptr}}));   // its game has ended
  EXPECT_FALSE(s[0]["first_seen"].get<std::string>().empty());
  EXPECT_EQ(s[1]["name"], "Bravo's <b>");
  EXPECT_EQ(s[1]["current_game"],
            (json{{"record", 2}, {"map", "q2dm2"}, {"players", json::array({json{{"record", 4}, {"name", "Robert"}},
                                                                             json{{"record", 5}, {"name", kImg}}})}}));
}

TEST_F(WebSite, GamesNewestFirstOverallAndPerServer) {
  json g = web_->Json("/api/games");
  EXPECT_EQ(g["total"], 2);
  EXPECT_EQ(g["games"][0], (json{{"record", 2}, {"start", kDay2}, {"time", kDay2}, {"end", "running"}, {"map", "q2dm2"},
                                 {"map_record", 2}, {"players", 2}, {"score_rows", 7},
                                 {"server", {{"record", 2}, {"name", "Bravo's <b>"}}}}));
  EXPECT_EQ(g["games"][1], (json{{"record", 1}, {"start", kDay1}, {"time", kDay1}, {"end", "2026-03-01 13:45:30"},
                                 {"map", "q2dm1"}, {"map_record", 1}, {"players", 4}, {"score_rows", 12},
                                 {"server", {{"record", 1}, {"name", "Alpha"}}}}));
  json a = web_->Json("/api/games?server=1&page=1");
  EXPECT_EQ(a["server"], (json{{"record", 1}, {"name", "Alpha"}}));
  ASSERT_EQ(a["games"].size(), 1u);
  EXPECT_EQ(a["games"][0]["record"], 1);
}

TEST_F(WebSite, ScoreboardWeaponsChartAndVariablesOfAGame) {
  json g = web_->Json("/api/games/1");
  EXPECT_EQ(g["running"], false);
  EXPECT_EQ(g["stdlog_ver"], "1.2");
  auto row = [](int record, const std::string& name, json teams, int frags, int team_kills, int deaths, int suicides,
                int score, int streak, json types) {
    return json{{"record", record},     {"name", name},   {"teams", teams},        {"frags", frags},
                {"team_kills", team_kills}, {"deaths", deaths}, {"suicides", suicides}, {"score", score},
                {"best_streak", streak},    {"types", types}};
  };
  // Streaks: O'Neil's two frags (10, 11) before his death at 12.
  EXPECT_EQ(g["scoreboard"], json::array({
                                 row(2, kScript, {"Blue"}, 1, 0, 2, 0, 1, 1, {{"Kill", 1}}),
                                 row(3, "Bob", {"Blue", "Red"}, 1, 0, 1, 1, 1, 1, {{"Kill", 1}, {"Suicide", 1}}),
                                 row(4, "Robert", json::array(), 0, 1, 0, 0, 1, 0, {{"Kill", 1}}),
                                 row(1, "O'Neil", {"Red"}, 2, 1, 1, 0, 0, 2, {{"Kill", 2}, {"TeamKill", 1}}),
                             }));
  EXPECT_EQ(g["weapons"], json::parse(R"([{"record":1,"name":"Rocket","frags":2,"suicides":1},
                                          {"record":2,"name":"Railgun","frags":2,"suicides":0}])"));
  EXPECT_EQ(g["chart"][0], json::parse(R"({"record":1,"name":"O'Neil","points":[[10.0,1],[11.0,2],[18.0,0]]})"));
  EXPECT_EQ(g["chart"][2]["points"], json::parse("[[13.0,-1],[15.0,1]]"));
  EXPECT_EQ(g["variables"], json::parse(R"([{"name":"hostname","value":"Alpha"},{"name":"$HOST_IP$","value":"10.0.0.1"},
                                            {"name":"port","value":"27910"}])"));
  json g2 = web_->Json("/api/games/2");
  EXPECT_EQ(g2["running"], true);
  EXPECT_EQ(g2["end"], "running");
  EXPECT_EQ(g2["scoreboard"][0], row(5, kImg, {"Blue"}, 2, 0, 1, 1, 1, 2, {{"Kill", 2}, {"Suicide", 1}}));
  EXPECT_EQ(g2["scoreboard"][1], row(4, "Robert", {"Red"}, 1, 0, 2, 0, 1, 1, {{"Kill", 1}}));
  EXPECT_EQ(g2["player_variables"], json::parse(R"([{"record":4,"name":"Robert","variables":
      [{"name":"name","value":"Robbie"},{"name":"skin","value":"male/grunt"}]}])"));
}

TEST_F(WebSite, PlayerPagesHoldWeaponsTypesRivalsNamesAndDays) {
  json o = web_->Json("/api/players/1");
  EXPECT_EQ(webtest::Pick(o, {"frags", "team_kills", "deaths", "score", "frags_per_death", "best_streak", "first_seen"}),
            (json{{"frags", 2}, {"team_kills", 1}, {"deaths", 1}, {"score", 0}, {"frags_per_death", 2.0},
                  {"best_streak", 2}, {"first_seen", kDay1}}));
  EXPECT_EQ(o["weapons"], json::parse(R"([{"record":1,"name":"Rocket","frags":2,"deaths":0,"suicides":0},
                                          {"record":2,"name":"Railgun","frags":0,"deaths":1,"suicides":0}])"));
  EXPECT_EQ(o["types"], json::parse(R"([{"record":2,"name":"Kill","score_rows":2,"score":2},
                                        {"record":6,"name":"TeamKill","score_rows":1,"score":-2}])"));
  EXPECT_EQ(o["beaten_most"].size(), 2u);   // <script> and Bob; Robert was a team kill
  EXPECT_EQ(o["beaten_by_most"], json::parse(R"([{"record":2,"name":"<script>alert(1)</script>","frags":1}])"));
  EXPECT_EQ(o["frags_per_day"], json::parse(R"([{"day":"2026-03-01","frags":2}])"));

  json r = web_->Json("/api/players/4");
  EXPECT_EQ(webtest::Pick(r, {"games", "first_seen", "last_seen"}),
            (json{{"games", 2}, {"first_seen", kDay1}, {"last_seen", kDay2}}));
  EXPECT_EQ(r["beaten_by_most"][0], (json{{"record", 5}, {"name", kImg}, {"frags", 2}}));
  EXPECT_EQ(r["names"], json::parse(R"({"renamed_to":[],"netnames":["Robbie"],"used":[{"record":4,"name":"Robert"}],
      "renamed_from":[{"record":3,"name":"Bob","game":1,"offset":16.0}]})"));
  EXPECT_TRUE(r["alias_of"].is_null());
  EXPECT_EQ(r["frags_per_day"], json::parse(R"([{"day":"2026-03-01","frags":0},{"day":"2026-03-02","frags":1}])"));
  ASSERT_EQ(r["games_played"].size(), 2u);
  EXPECT_EQ(r["games_played"][0], (json{{"record", 2}, {"start", kDay2}, {"time", kDay2}, {"end", "running"},
                                        {"map", "q2dm2"}, {"map_record", 2}, {"frags", 1}, {"team_kills", 0}, {"deaths", 2},
                                        {"suicides", 0}, {"score", 1}, {"best_streak", 1}}));
  json b = web_->Json("/api/players/3");
  EXPECT_EQ(b["names"]["renamed_to"], json::parse(R"([{"record":4,"name":"Robert","game":1,"offset":16.0}])"));
  EXPECT_EQ(b["weapons"], json::parse(R"([{"record":2,"name":"Railgun","frags":1,"deaths":0,"suicides":0},
                                          {"record":1,"name":"Rocket","frags":0,"deaths":1,"suicides":1}])"));
}

TEST_F(WebSite, WeaponsTypesAndMapsTotals) {
  EXPECT_EQ(web_->Json("/api/weapons?sort=frags&order=desc")["weapons"], json::parse(R"([
      {"record":1,"name":"Rocket","frags":3,"suicides":2,"score_rows":7,"score":0},
      {"record":3,"name":"Blaster","frags":2,"suicides":0,"score_rows":2,"score":2},
      {"record":2,"name":"Railgun","frags":2,"suicides":0,"score_rows":2,"score":3}])"));
  json types = web_->Json("/api/types?sort=score_rows&order=desc")["types"];
  EXPECT_EQ(types[0], json::parse(R"({"record":2,"name":"Kill","score_rows":8,"score":9})"));
  EXPECT_EQ(types[1], json::parse(R"({"record":3,"name":"Suicide","score_rows":2,"score":-2})"));
  EXPECT_EQ(types[2], json::parse(R"({"record":6,"name":"TeamKill","score_rows":1,"score":-2})"));
  EXPECT_EQ(types.size(), 7u);   // the player-event types stand with no rows
  EXPECT_EQ(web_->Json("/api/maps")["maps"], json::parse(R"([{"record":1,"name":"q2dm1","games":1,"score_rows":12},
                                                              {"record":2,"name":"q2dm2","games":1,"score_rows":7}])"));
}

TEST_F(WebSite, BadRequestsAreRefusedAndTheServerKeepsServing) {
  std::string body;
  const std::pair<std::string, int> cases[] = {
      {"/nowhere", 404},
      {"/api/nowhere", 404},
      {"/api/players?page=-1", 400},
      {"/api/players?page=0", 400},
      {"/api/players?page=abc", 400},
      {"/api/players?page=2", 404},
      {"/api/players?sort=nonsense", 400},
      {"/api/players?sort=name;DROP%20TABLE%20players", 400},
      {"/api/players?order=sideways", 400},
      {"/api/players?q=" + std::string(51, 'x'), 400},
      {"/api/players?x=1", 400},
      {"/api/players?page=1&page=2", 400},
      {"/api/players?q=a%00b", 400},
      {"/players?q=%00", 400},
      {"/api/players/99", 404},
      {"/api/players/0", 404},
      {"/api/players/99999999999", 404},
      {"/api/games/3", 404},
      {"/api/games?server=9", 404},
      {"/api/games?server=1x", 400},
      {"/api/games?server=0", 400},
      {"/api/weapons?sort=rows", 400},
      {"/players/../../etc/passwd", 404},
      {"/%2e%2e/%2e%2e/etc/passwd", 404},
      {"/api/players?q=" + std::string(20000, 'a'), 414},
      {"/players?page=-1", 400},
      {"/api/servers/9", 404},
      {"/api/servers/0", 404},
      {"/servers/9", 404},
      {"/api/maps/9", 404},
      {"/api/weapons/99", 404},
      {"/api/weapons/1?sort=name", 400},
      {"/api/awards?day=1", 400},
  };
  for (const auto& [path, status] : cases) {
    EXPECT_EQ(web_->Request(path, &body), status) << path;
    EXPECT_EQ(body.find("<script>"), std::string::npos) << path;
  }
  EXPECT_EQ(web_->Request("/api/players", &body, "POST"), 405);
  EXPECT_EQ(json::parse(body)["error"], "only GET and HEAD are served");
  EXPECT_EQ(web_->Request("/players", &body, "POST"), 405);
  EXPECT_NE(body.find("<html"), std::string::npos);
  // Byte ranges are not served: many overlapping ones get the page once.
  {
    std::string whole;
    ASSERT_EQ(web_->Request("/api/players", &whole), 200);
    httplib::Client client("127.0.0.1", web_->port());
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 200; ++i) ranges += ",0-";
    auto r = client.Get("/api/players", {{"Range", ranges}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_FALSE(r->has_header("Content-Range"));
    EXPECT_NE(r->get_header_value("Accept-Ranges"), "bytes");   // not offered either
    EXPECT_EQ(r->body, whole);
  }
  EXPECT_EQ(web_->Request("/api/players/1", &body, "DELETE"), 405);
  // A body is refused before it is read: a request whose body never comes
  // is answered at once (reading it would wait, then answer 400).
  const std::pair<std::string, std::string> unread[] = {
      {"POST /api/players HTTP/1.1\r\nHost: x\r\nContent-Length: 300000000\r\nConnection: close\r\n\r\n", "405"},
      {"POST /players HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", "405"},
      {"GET /api/players HTTP/1.1\r\nHost: x\r\nContent-Length: 200000000\r\nConnection: close\r\n\r\n", "413"},
      {"GET /api/players HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n", "413"},
  };
  for (const auto& [request, status] : unread)
    EXPECT_EQ(testkit::HttpStatusOf(web_->port(), request), status) << request;
  // Requests sent one after another without waiting are answered in order.
  const std::string three = testkit::HttpAnswer(
      web_->port(), "GET /api/players/1 HTTP/1.1\r\nHost: x\r\n\r\nGET /api/players/2 HTTP/1.1\r\nHost: x\r\n\r\n"
                    "GET /api/players/3 HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
  auto at = [&](int player) {   // where the answer for this player begins
    return three.find("\n \"name\": " + web_->Json("/api/players/" + std::to_string(player))["name"].dump());
  };
  const size_t p1 = at(1), p2 = at(2), p3 = at(3);
  EXPECT_TRUE(p1 < p2 && p2 < p3 && p3 != std::string::npos) << three;
  EXPECT_EQ(web_->Request("/api/players", &body, "HEAD"), 200);
  EXPECT_TRUE(body.empty());
  EXPECT_TRUE(web_->running());
  EXPECT_EQ(web_->Json("/api/players")["total"], 5);
}

// A request refused before its body is read ends its connection: the body's
// bytes, never read, are not taken for a request of their own.
TEST_F(WebSite, ABodyRefusedUnreadIsNotReadAsTheNextRequest) {
  const std::string smuggled = "GET /api/weapons HTTP/1.1\r\nHost: x\r\n\r\n";
  for (const std::string& head :
       {"GET /api/players HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n",
        "POST /players HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(smuggled.size()) + "\r\n\r\n"}) {
    const std::string answer = testkit::HttpAnswer(web_->port(), head + smuggled);
    EXPECT_EQ(answer.find("HTTP/1.1", 1), std::string::npos) << answer;
    EXPECT_EQ(answer.find("Rocket"), std::string::npos) << answer;
  }
}

}  // namespace
