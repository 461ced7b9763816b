// tallyfeed --prune-archive on twenty games stored by the engine, each with
// its own receipt day: pruned in the middle, then after all of them; refused
// while a pass is under way; bad input named and harmless.
#include <algorithm>
#include <map>

#include "engine_fixture.h"
#include "env.h"
#include "datetime.h"

namespace enginetest {
namespace {

using Dump = std::map<std::string, Lines>;

::testing::AssertionResult Has(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "\"" << text << "\" lacks \"" << part << "\"";
}
constexpr int kGames = 20, kPerGame = 3;

// Game g's datagrams: opening records and players, scores, scores and the end.
std::vector<datagram::Builder> GameDatagrams(int g) {
  const std::string host = "Server " + std::to_string(g % 3);
  const std::string a = "Ann" + std::to_string(g), b = "Bob" + std::to_string(g);
  auto d = [&](uint32_t k, std::vector<std::string> records) {
    datagram::Builder x = ServerLog(host, static_cast<uint32_t>(g * kPerGame) + k);
    x.records = std::move(records);
    return x;
  };
  return {d(1, {Keyword("StdLog", "1.2"), Keyword("LogDate", "3/" + std::to_string(1 + g) + "/2026"),
                Keyword("LogTime", "10:00:00"), Keyword("Map", "map" + std::to_string(g % 4)),
                Keyword("PlayerConnect", a, "Red", "1"), Keyword("PlayerConnect", b, "Blue", "2")}),
          d(2, {Score(a, b, "Kill", "Rail", "1", "10.5"), Score(b, a, "Kill", "Rocket", "1", "11")}),
          d(3, {Score(a, a, "Suicide", "Lava", "-1", "12"), Keyword("GameEnd", "", "", "60")})};
}

// The rows of `rows` ("Record|..." or, for links, "Record|Log|Game") whose
// Logs record (column `column`) passes `keep`.
template <class Keep>
Lines Kept(const Lines& rows, size_t column, Keep keep) {
  Lines out;
  for (const std::string& row : rows) {
    size_t from = 0;
    for (size_t i = 0; i < column; ++i) from = row.find('|', from) + 1;
    if (keep(std::stoll(row.substr(from, row.find('|', from) - from)))) out.push_back(row);
  }
  return out;
}

class PruneTest : public OnEachBackend<EngineTest> {
 protected:
  void SetUp() override {
    OnEachBackend<EngineTest>::SetUp();
    for (int g = 0; g < kGames; ++g) {
      const auto datagrams = GameDatagrams(g);
      for (int k = 0; k < kPerGame; ++k) {
        env::ProcessingTimeScope at(datetime::FromParts(2026, 3, 1 + g, 10, k, 0));   // day g + 1, minute k
        Stored(datagrams[static_cast<size_t>(k)]);
      }
    }
    ASSERT_EQ(Count("Games"), kGames);
    ASSERT_EQ(Count("Logs"), kGames * kPerGame);
  }

  // Every table's rows, sorted.
  Dump Everything() {
    Dump out;
    const char* list = OnPostgres() ? "select table_name from information_schema.tables where table_schema='public'"
                                    : "select name from sqlite_master where type='table'";
    for (const auto& t : Rows(list)) {
      Lines rows = Table("select * from " + t[0]);
      std::sort(rows.begin(), rows.end());
      out[t[0]] = rows;
    }
    return out;
  }
  // tallyfeed with `args`; its exit status, standard output and error.
  int Feed(const std::vector<std::string>& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::vector<std::string> argv = {testkit::BinaryFolder() + "/tallyfeed"};
    argv.insert(argv.end(), args.begin(), args.end());
    testkit::Child child(argv, dir_->File("feed.out"), {}, dir_->File("feed.err"));
    const int status = child.Wait();
    if (out) *out = child.Out();
    if (err) *err = child.Err();
    return status;
  }
  int Prune(const std::string& before, std::string* out = nullptr, std::string* err = nullptr,
            bool dry_run = false) {
    std::vector<std::string> args = {"--prune-archive"};
    if (dry_run) args.push_back("--dry-run");
    args.insert(args.end(), {before, ConnectionString()});
    return Feed(args, out, err);
  }
  // Logs and Logs_Games hold the rows of `before` whose Logs record passes
  // `keep`, every other table as it was, and the file is intact.
  template <class Keep>
  void ExpectOnlyKept(const Dump& before, Keep keep) {
    const Dump after = Everything();
    ASSERT_EQ(before.size(), after.size());
    for (const auto& [table, rows] : before) {
      const bool archive = table == "Logs" || table == "Logs_Games";
      EXPECT_EQ(after.at(table), archive ? Kept(rows, table == "Logs" ? 0 : 1, keep) : rows) << table;
    }
    EXPECT_EQ(Integrity(), "ok");
  }
  std::string Integrity() { return OnPostgres() ? "ok" : One("PRAGMA integrity_check"); }
};

TEST_P(PruneTest, RemovesOnlyTheOlderDatagramsAndTheirLinksAndKeepsTheNewestRow) {
  const Dump before = Everything();
  ASSERT_GE(before.at("Logs_Games").size(), size_t{kGames});   // every game's first datagram at least

  // A dry run tells and removes nothing.
  std::string out, err;
  ASSERT_EQ(Prune("2026-03-11 10:00:00", &out, &err, true), 0) << err;
  EXPECT_EQ(Everything(), before);
  // Games 0 to 9: Logs rows 1 to 30; game 10's first datagram came at the
  // very moment given and stays.
  const auto old = [](long long log) { return log <= 10 * kPerGame; };
  const long long old_links = static_cast<long long>(Kept(before.at("Logs_Games"), 1, old).size());
  EXPECT_TRUE(Has(out, "would remove 30 archived datagrams received before 2026-03-11 10:00:00 and " +
                                        std::to_string(old_links) + " links to games; 30 remain"));

  ASSERT_EQ(Prune("2026-03-11 10:00:00", &out, &err), 0) << err;
  EXPECT_EQ(out, "removed 30 archived datagrams received before 2026-03-11 10:00:00 and " +
                     std::to_string(old_links) + " links to games; 30 remain\n");
  ExpectOnlyKept(before, [&](long long log) { return !old(log); });

  // A date after every datagram: all go but the newest, Record 60.
  ASSERT_EQ(Prune("2030-01-01", &out, &err), 0) << err;
  EXPECT_TRUE(Has(out, "removed 29 archived datagrams received before 2030-01-01 and "));
  EXPECT_TRUE(Has(out, "; 1 remain (the newest, Record 60, is kept"));
  ExpectOnlyKept(before, [](long long log) { return log == kGames * kPerGame; });

  // Nothing more to remove; numbering goes on above the kept row.
  ASSERT_EQ(Prune("2030-01-01", &out, &err), 0) << err;
  EXPECT_TRUE(Has(out, "removed 0 archived datagrams"));
  {
    env::ProcessingTimeScope at(datetime::FromParts(2030, 1, 2, 0, 0, 0));
    Stored(GameDatagrams(20)[0]);
  }
  EXPECT_EQ(Table("select Record from Logs order by Record"), (Lines{"60", "61"}));
  EXPECT_EQ(Table("select count(*) from Logs_Games where Log = 61"), Lines{"1"});
}

// A pass held at a prompt in the middle of its work, after it archived its
// datagram: prune refuses and removes nothing; the pass then stores it all.
TEST_P(PruneTest, RefusesWhileAPassIsUnderWay) {
  const long long links = Count("Logs_Games");
  int status = -1;
  std::string out, err;
  boxes_->Push(msgbox::vbNo);   // a name too long for its column: left out
  boxes_->OnShow([&](const std::string&) { status = Prune("2030-01-01", &out, &err); });
  Stored(Alpha({Score(std::string(51, 'x'), "Cy", "Kill", "Axe", "1", "5"),
                Score("Cy", "Di", "Kill", "Axe", "1", "6")}));
  ASSERT_EQ(boxes_->shown().size(), 1u);
  EXPECT_EQ(status, 1) << out;
  EXPECT_TRUE(Has(err, "a listener is storing into the database; try again"));
  EXPECT_EQ(Count("Logs"), kGames * kPerGame + 1);
  EXPECT_EQ(Count("Logs_Games"), links + 1);   // the new server's game
  EXPECT_EQ(Count("Scores_00000021"), 2);   // "Scores_000000" and the game number
  EXPECT_EQ(Integrity(), "ok");
}

TEST_P(PruneTest, BadInputIsNamedAndChangesNothing) {
  const Dump before = Everything();
  std::string out, err;
  for (const char* date : {"2026-3-11", "2026-02-30", "11/03/2026", "2026-03-11 25:00:00", "2026-03-11T10:00:00",
                           "", "2026-03-11 10:00"}) {
    EXPECT_EQ(Prune(date, &out, &err), 2) << date;
    EXPECT_TRUE(Has(err, "wants a date YYYY-MM-DD or YYYY-MM-DD HH:MM:SS")) << date;
  }
  const std::string missing = OnPostgres() ? testkit::PgServer::Shared().ConnectionString("no_such_database")
                                           : "Provider=SQLite;Data Source=" + dir_->File("missing.db");
  EXPECT_EQ(Feed({"--prune-archive", "2030-01-01", missing}, &out, &err), 1);
  EXPECT_TRUE(Has(err, "cannot open the database"));
  EXPECT_FALSE(testkit::Exists(dir_->File("missing.db")));
  EXPECT_EQ(Feed({"--prune-archive", "2030-01-01", "Provider=Nonesuch;Data Source=" + db_path_}, &out, &err), 1);
  EXPECT_TRUE(Has(err, "Provider cannot be found"));
  // A database without the archive's tables.
  const std::string bare = dir_->File("bare.db");
  testkit::Touch(bare);
  EXPECT_EQ(Feed({"--prune-archive", "2030-01-01", "Provider=SQLite;Data Source=" + bare}, &out, &err), 1);
  EXPECT_TRUE(Has(err, "cannot prune the archive"));
  // Usage: a missing argument, --dry-run alone.
  EXPECT_EQ(Feed({"--prune-archive", "2030-01-01"}, &out, &err), 2);
  EXPECT_EQ(Feed({"--dry-run", ConnectionString(), "x.bin"}, &out, &err), 2);
  EXPECT_EQ(Everything(), before);
}

INSTANTIATE_ON_EACH_BACKEND(PruneTest);

}  // namespace
}  // namespace enginetest
