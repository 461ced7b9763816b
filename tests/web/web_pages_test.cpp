// The pages in a real browser: headless Chromium loads each page of the
// hand-worked game's database; the rendered text is checked and a
// screenshot of each page is kept under the build folder (web-screenshots).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "web_fixture.h"

namespace {

using WebPages = webtest::HandWorkedGame;

bool Has(const std::string& dom, const std::string& text) { return dom.find(text) != std::string::npos; }

TEST_F(WebPages, EveryPageRendersItsFiguresAndNamesAsText) {
  const std::string shots = testkit::BinaryFolder() + "/../web-screenshots";
  ::mkdir(shots.c_str(), 0755);
  const std::string img = "&lt;img src=x onerror=alert(1)&gt;";
  const std::string script = "&lt;script&gt;alert(1)&lt;/script&gt;";
  struct Page {
    const char* path;
    const char* shot;
    std::vector<std::string> texts;
  };
  const Page pages[] = {
      {"/servers", "servers", {"<h1>Servers</h1>", "Alpha", "Bravo's &lt;b&gt;", "10.0.0.2", "q2dm2", img, "Robert"}},
      {"/games", "games", {"2026-03-01 13:45:10", "2026-03-01 13:45:30", "running", "q2dm1", "Bravo's &lt;b&gt;"}},
      {"/games?server=2", "games-server", {"Games of Bravo's &lt;b&gt;", "q2dm2"}},
      {"/games/1", "game", {"Scoreboard", "O'Neil", script, "Blue, Red", "TeamKill", "Railgun", "<svg"}},
      {"/games/2", "game-running", {"Player variables", "Robbie", "male/grunt", img, "<polyline"}},
      {"/players", "players", {"Frags per death", "0.67", "2.00", img, script, "O'Neil"}},
      {"/players?q=%3Cimg", "players-search", {img, "1 players."}},
      {"/players/4", "player", {"Player Robert", "renamed from", "Bob", "netname Robbie", "Blaster", "Beaten by most", "<rect"}},
      {"/players/5", "player-img", {"Player " + img, "Robert"}},
      {"/weapons", "weapons", {"Rocket", "Railgun", "Blaster"}},
      {"/types", "types", {"Kill", "Suicide", "TeamKill"}},
      {"/maps", "maps", {"q2dm1", "q2dm2"}},
  };
  for (const Page& p : pages) {
    const std::string dom = webtest::DumpDom(Url(p.path), dir_->File(std::string("profile-") + p.shot));
    ASSERT_TRUE(Has(dom, "<nav>")) << p.path << ":\n" << dom;
    for (const std::string& t : p.texts) EXPECT_TRUE(Has(dom, t)) << p.path << " lacks " << t;
    // Names stay text: no element made from them, no script.
    EXPECT_FALSE(Has(dom, "<img")) << p.path;
    EXPECT_FALSE(Has(dom, "<script")) << p.path;
    EXPECT_FALSE(Has(dom, "<b>")) << p.path;
    EXPECT_TRUE(webtest::Screenshot(Url(p.path), shots + "/" + p.shot + ".png", dir_->File(std::string("shot-") + p.shot)))
        << p.path;
  }
  // Sorting and paging links work without script: follow the frags header.
  const std::string dom = webtest::DumpDom(Url("/players?sort=frags&order=desc"), dir_->File("profile-sort"));
  EXPECT_TRUE(Has(dom, "sort=frags&amp;order=asc")) << dom;
  EXPECT_LT(dom.find("O'Neil"), dom.find("Robert"));
}

}  // namespace
