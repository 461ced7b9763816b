// The pages in a real browser driven over WebDriver: every page type shows
// its figures with names as text and fits a phone's screen (390 px) and a
// desktop window (1280 px), with a screenshot of each kept under the build
// folder (screenshots/); the live pages follow new datagrams by themselves;
// and the live machinery over plain HTTP.
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>

#include "derived_schema.h"
#include "live.h"
#include "refresher.h"
#include "sqlite_db.h"
#include "web_fixture.h"
#include "webdriver.h"

namespace {

using json = nlohmann::json;
using webtest::Browser;

// A third server whose names have no spaces to break them at.
webtest::Feed LongNames() {
  webtest::Feed f{"Charlie_the_server_with_a_name_far_too_long_to_fit", "10.0.0.3", "27912", {}, {}, 1};
  const std::string a = "Averyveryverylongplayernamewithoutspaces", b = "Bobbybobbybobbybobbybobbybobbyb";
  f.records = {"\t\tLogDate\t03/03/2026\t\t0", "\t\tLogTime\t10:00:00\t\t0",
               "\t\tMap\tq2dm8_a_map_name_that_is_very_long_indeed\t\t0",
               "\t\tPlayerConnect\t" + a + "\tRed\t1", "\t\tPlayerConnect\t" + b + "\tBlue\t2",
               a + "\t" + b + "\tKill\tBFG10K_with_a_long_weapon_name\t1\t5",
               b + "\t" + a + "\tKill\tRocket\t1\t6", "\t\tGameEnd\t\t\t9"};
  return f;
}

class WebPages : public webtest::HandWorkedGame {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testkit::TempDir();
    const std::string db = webtest::HandWorkedDatabase(dir_->path());
    webtest::Store(db, LongNames(), dir_->path());
    web_ = new webtest::Web(webtest::Sqlite(db), dir_->File("summaries.db"));
  }
};

bool Has(const std::string& dom, const std::string& text) { return dom.find(text) != std::string::npos; }

// Every page type at a phone's width and a desktop's: its figures and names
// in the rendered page, nothing wider than the screen, every table in its
// scrolling box, charts within the width.
TEST_F(WebPages, EveryPageShowsItsFiguresAndFitsAPhoneAndADesktopScreen) {
  const std::string img = "&lt;img src=x onerror=alert(1)&gt;", script = "&lt;script&gt;alert(1)&lt;/script&gt;";
  struct Page {
    const char* shot;
    const char* path;
    std::vector<std::string> texts;
  };
  const Page pages[] = {
      {"servers", "/servers", {"<h1>Servers</h1>", "Alpha", "Bravo's &lt;b&gt;", "10.0.0.2", "q2dm2", img, "Robert"}},
      {"games", "/games", {"2026-03-01 13:45:10", "2026-03-01 13:45:30", "running", "q2dm1", "Bravo's &lt;b&gt;"}},
      {"games-server", "/games?server=2", {"Games of Bravo's &lt;b&gt;", "q2dm2"}},
      {"game", "/games/1", {"Scoreboard", "O'Neil", script, "Blue, Red", "TeamKill", "Railgun", "<svg", "Team kills",
                            "Best streak", "href=\"/maps/1\"", "href=\"/weapons/2\"", "href=\"/servers/1\""}},
      {"game-running", "/games/2", {"Player variables", "Robbie", "male/grunt", img, "<polyline"}},
      {"game-long-names", "/games/3", {"Averyveryverylongplayernamewithoutspaces"}},
      {"players", "/players", {"Frags per death", "Team kills", "0.50", "2.00", img, script, "O'Neil"}},
      {"players-search", "/players?q=%3Cimg", {img, "1 players."}},
      {"player", "/players/4", {"Player Robert", "renamed from", "Bob", "netname Robbie", "Blaster", "Beaten by most",
                                "<rect", "<h2>Rating</h2>", "href=\"/weapons/3\""}},
      {"player-img", "/players/5", {"Player " + img, "Robert"}},
      {"player-long-name", "/players/6", {"Bobbybobbybobbybobbybobbybobbyb"}},
      {"weapons", "/weapons", {"Rocket", "Railgun", "Blaster"}},
      {"types", "/types", {"Kill", "Suicide", "TeamKill"}},
      {"maps", "/maps", {"q2dm1", "q2dm2", "href=\"/maps/2\""}},
      {"server", "/servers/2", {"Server Bravo's &lt;b&gt;", "Current game", "Robert", img, "q2dm2", "Top players"}},
      {"map", "/maps/1", {"Map q2dm1", "Top players", "O'Neil", "Team kills", script}},
      {"weapon", "/weapons/3", {"Weapon Blaster", "Top players", "Robert", img}},
      {"awards", "/awards", {"The last day", "The last week", "Longest kill streak"}},
      {"error", "/players/999", {"404"}}};
  for (const auto& [width, phone] : {std::pair{390, true}, std::pair{1280, false}}) {
    SCOPED_TRACE(width);
    const std::string shots = testkit::BinaryFolder() + "/../screenshots/" + std::to_string(width) + "px";
    std::filesystem::create_directories(shots);
    Browser browser(dir_->File("browser" + std::to_string(width)), width, phone ? 844 : 900, phone);
    ASSERT_TRUE(browser.ok()) << browser.error();
    for (const Page& p : pages) {
      SCOPED_TRACE(p.path);
      browser.Go(Url(p.path));
      const std::string dom = browser.Eval("return document.documentElement.outerHTML;").get<std::string>();
      ASSERT_TRUE(Has(dom, "<nav>")) << dom;
      for (const std::string& t : p.texts) EXPECT_TRUE(Has(dom, t)) << "lacks " << t;
      // Names stay text: no element made from them, and no script but the
      // live pages' own.
      EXPECT_FALSE(Has(dom, "<img"));
      EXPECT_FALSE(Has(dom, "<b>"));
      std::string rest = dom;
      for (size_t at; (at = rest.find("<script src=\"/live.js\" defer=\"\"></script>")) != std::string::npos;)
        rest.erase(at, 7);
      EXPECT_FALSE(Has(rest, "<script"));

      const json m = browser.Eval(R"(
        const d = document.documentElement;
        const tables = document.querySelectorAll('table').length;
        const boxed = document.querySelectorAll('div.scroll > table').length;
        let svgs = 0;
        for (const s of document.querySelectorAll('svg'))
          if (s.getBoundingClientRect().right > window.innerWidth) ++svgs;
        return {inner: window.innerWidth, scroll: d.scrollWidth, body: document.body.scrollWidth,
                tables: tables, boxed: boxed, wide_svgs: svgs, h1: document.querySelector('h1') !== null};)");
      EXPECT_EQ(m["inner"], width);   // the viewport is the screen's (a phone obeys the viewport tag)
      EXPECT_LE(m["scroll"].get<int>(), m["inner"].get<int>()) << m.dump();
      EXPECT_LE(m["body"].get<int>(), m["inner"].get<int>()) << m.dump();
      EXPECT_EQ(m["tables"], m["boxed"]) << m.dump();
      EXPECT_EQ(m["wide_svgs"], 0) << m.dump();
      EXPECT_TRUE(m["h1"].get<bool>());
      EXPECT_TRUE(browser.Screenshot(shots + "/" + p.shot + ".png"));
    }
    // Sorting and paging links work without script: the frags header sorts.
    browser.Go(Url("/players?sort=frags&order=desc"));
    const std::string sorted = browser.Eval("return document.documentElement.outerHTML;").get<std::string>();
    EXPECT_TRUE(Has(sorted, "sort=frags&amp;order=asc")) << sorted;
    EXPECT_LT(sorted.find("O'Neil"), sorted.find("Robert"));
    // The ranking is wider than a phone: it scrolls inside its own box,
    // which reaches no further than the screen.
    browser.Go(Url("/players"));
    const json box = browser.Eval(R"(
      const b = document.querySelector('div.scroll');
      return {inner: b.scrollWidth, outer: b.getBoundingClientRect().right, style: getComputedStyle(b).overflowX};)");
    EXPECT_LE(box["outer"].get<double>(), width) << box.dump();
    EXPECT_EQ(box["style"], "auto");
    if (phone) {
      EXPECT_GT(box["inner"].get<int>(), width) << box.dump();
    }
    // The navigation wraps rather than overflows on a phone: every link within the screen.
    EXPECT_EQ(browser.Eval("return [...document.querySelectorAll('nav a')].filter("
                           "a => a.getBoundingClientRect().right > window.innerWidth).length;"),
              0);
  }
}

// More of the Bravo game's records, stored as its datagrams from `packet` on.
void StoreBravo(const std::string& db, const std::string& dir, unsigned packet, std::vector<std::string> records) {
  webtest::Feed f = webtest::BravoGame();
  f.first_packet = packet;
  f.records = std::move(records);
  f.player_vars.clear();
  webtest::Store(db, f, dir);
}

// A datagram stored while the page is open shows on it, without reloading
// it, within the refresh period plus a second (waited for with a bound).
TEST(WebLive, RunningGameAndServersPagesFollowNewDatagrams) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  webtest::Web web(webtest::Sqlite(db), dir.File("summaries.db"), 1);
  auto url = [&](const std::string& path) { return "http://127.0.0.1:" + std::to_string(web.port()) + path; };
  Browser browser(dir.File("browser"), 1280, 900, false);
  ASSERT_TRUE(browser.ok()) << browser.error();
  auto bravo = [&](unsigned packet, std::vector<std::string> records) { StoreBravo(db, dir.path(), packet, records); };
  const std::string on = "return document.documentElement.dataset.live === 'on';";
  auto shows = [](const std::string& text) { return "return document.querySelector('main').textContent.includes('" + text + "');"; };

  // The servers page: a new player in the running game.
  browser.Go(url("/servers"));
  ASSERT_TRUE(browser.WaitFor(on));
  browser.Eval("window.kept = 42;");
  EXPECT_EQ(browser.Eval(shows("Zed")), false);
  bravo(500, {"\t\tPlayerConnect\tZed\tRed\t20", "Zed\tRobert\tKill\tRocket\t1\t21"});
  EXPECT_TRUE(browser.WaitFor(shows("Zed")));
  EXPECT_EQ(browser.Eval("return window.kept;"), 42);   // the same document, not a reload
  EXPECT_EQ(browser.Eval("return document.querySelectorAll('main').length;"), 1);

  // The running game's page: a kill, then the game's end.
  browser.Go(url("/games/2"));
  ASSERT_TRUE(browser.WaitFor(on));
  browser.Eval("window.kept = 7;");
  EXPECT_EQ(browser.Eval(shows("Yan")), false);
  bravo(501, {"\t\tPlayerConnect\tYan\tBlue\t22", "Yan\tZed\tKill\tRailgun\t1\t23"});
  EXPECT_TRUE(browser.WaitFor(shows("Yan")));
  EXPECT_EQ(browser.Eval("return window.kept;"), 7);
  EXPECT_EQ(browser.Eval(shows("Railgun")), true);
  bravo(502, {"\t\tGameEnd\t\t\t30"});
  // The ended game's page is no longer live: it stops asking.
  EXPECT_TRUE(browser.WaitFor("return document.documentElement.dataset.live === 'off';"));
  EXPECT_EQ(browser.Eval(shows("running")), false);
  EXPECT_EQ(browser.Eval("return window.kept;"), 7);
}

// The stamp moves when a pass stores something, and only then.
TEST(WebLive, StampMovesWhenAPassStoresSomething) {
  testkit::TempDir dir;
  const std::string db = webtest::HandWorkedDatabase(dir.path());
  const std::string summaries = dir.File("summaries.db");
  web::Refresher refresher(webtest::Sqlite(db), summaries);
  auto stamp = [&] {
    web::Db d(summaries, true);
    d.Exec("BEGIN");
    return web::LiveStamp(d);
  };
  auto store = [&](unsigned packet, std::vector<std::string> records) { StoreBravo(db, dir.path(), packet, records); };
  refresher.RefreshOnce();
  const std::string first = stamp();
  EXPECT_EQ(first.size(), 16u);
  refresher.RefreshOnce();
  EXPECT_EQ(stamp(), first);   // nothing new: the same

  std::vector<std::string> seen = {first};
  auto moved = [&](const char* what) {
    refresher.RefreshOnce();
    const std::string now = stamp();
    EXPECT_EQ(std::find(seen.begin(), seen.end(), now), seen.end()) << what;
    seen.push_back(now);
    refresher.RefreshOnce();
    EXPECT_EQ(stamp(), now) << what << ": a pass with nothing new";
  };
  store(600, {"Robert\t<img src=x onerror=alert(1)>\tKill\tRocket\t1\t20"});
  moved("a kill in the running game");
  store(601, {});
  moved("a datagram without records (the server's packet number)");
  store(602, {"\t\tPlayerConnect\tNewcomer\tRed\t21"});
  moved("a player joining");
  store(603, {"\t\tGameEnd\t\t\t30"});
  moved("the game's end");
  webtest::Store(db, webtest::AlphaGame(), dir.path(), 1400);
  moved("a new game");
  ASSERT_EQ(std::rename(db.c_str(), (db + ".away").c_str()), 0);
  EXPECT_ANY_THROW(refresher.RefreshOnce());
  refresher.NoteUnreadable();   // as tallyweb does after a failed pass
  EXPECT_EQ(std::find(seen.begin(), seen.end(), stamp()), seen.end()) << "the note that the database cannot be read";
  seen.push_back(stamp());
  ASSERT_EQ(std::rename((db + ".away").c_str(), db.c_str()), 0);
  refresher.RefreshOnce();
  EXPECT_EQ(stamp(), seen[seen.size() - 2]);   // the note gone: as before it
}

using WebLiveHttp = webtest::HandWorkedGame;

TEST_F(WebLiveHttp, LivePagesCarryTheScriptAndTheirStampOthersNeither) {
  httplib::Client c("127.0.0.1", web_->port());
  auto stamp = [&] { return web_->Json("/api/stamp")["stamp"].get<std::string>(); };
  const std::string now = stamp();
  for (const char* path : {"/servers", "/games/2"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("<script src=\"/live.js\" defer></script>"), std::string::npos) << path;
    EXPECT_NE(r->body.find("<meta name=\"tallyweb-stamp\" content=\"" + now + "\">"), std::string::npos) << path;
    EXPECT_LT(r->body.find("tallyweb-stamp"), r->body.find("</head>")) << path;
  }
  for (const char* path : {"/games/1", "/games", "/players", "/players/4", "/weapons", "/types", "/maps", "/nowhere"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.find("<script"), std::string::npos) << path;
    EXPECT_EQ(r->body.find("tallyweb-stamp"), std::string::npos) << path;
    EXPECT_NE(r->body.find("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"),
              std::string::npos) << path;
  }
  // The script is served from here; no inline script is allowed anywhere.
  auto js = c.Get("/live.js");
  ASSERT_TRUE(js);
  EXPECT_EQ(js->status, 200);
  EXPECT_EQ(js->get_header_value("Content-Type"), "text/javascript; charset=utf-8");
  EXPECT_NE(js->body.find("/api/stamp"), std::string::npos);
  for (const char* path : {"/live.js", "/servers", "/api/stamp", "/api/players"}) {
    auto r = c.Get(path);
    ASSERT_TRUE(r);
    const std::string csp = r->get_header_value("Content-Security-Policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos) << path;
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos) << path;
    EXPECT_EQ(csp.find("unsafe-eval"), std::string::npos) << path;
    EXPECT_EQ(csp.find("script-src 'self' 'unsafe-inline'"), std::string::npos) << path;
  }
  std::string body;
  EXPECT_EQ(web_->Request("/api/stamp?x=1", &body), 400);
  EXPECT_EQ(json::parse(body)["error"], "unknown parameter");
  EXPECT_EQ(web_->Request("/live.js?x=1"), 400);
  // A poll keeps no connection open: two requests sent at once get one answer.
  const std::string two = testkit::HttpAnswer(
      web_->port(), "GET /api/stamp HTTP/1.1\r\nHost: x\r\n\r\nGET /api/stamp HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(two.find("HTTP/1.1 200"), 0u) << two;
  EXPECT_EQ(two.find("HTTP/1.1", 1), std::string::npos) << two;
  EXPECT_EQ(stamp(), now);
}

}  // namespace
