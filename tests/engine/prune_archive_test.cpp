// tallyfeed --prune-archive: twenty games stored by the engine, each with its
// own receipt day, pruned at a moment in the middle and then at a date after
// all of them; a pass in the middle of its work (a lock held like a pass's,
// and a real tallyfeed stopped mid-pass) makes it refuse; bad input is named
// and changes nothing. On SQLite and PostgreSQL.
#include <signal.h>
#include <sys/wait.h>

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <thread>

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

// Receipt time of datagram k (0-based) of game g: March (g + 1), 2026, at
// 10:00:00 plus k minutes.
double Received(int g, int k) { return datetime::FromParts(2026, 3, 1 + g, 10, k, 0); }

class PruneTest : public OnEachBackend<EngineTest> {
 protected:
  void SetUp() override {
    OnEachBackend<EngineTest>::SetUp();
    for (int g = 0; g < kGames; ++g) {
      const auto datagrams = GameDatagrams(g);
      for (int k = 0; k < kPerGame; ++k) {
        env::ProcessingTimeScope at(Received(g, k));
        Stored(datagrams[static_cast<size_t>(k)]);
      }
    }
    ASSERT_EQ(Count("Games"), kGames);
    ASSERT_EQ(Count("Logs"), kGames * kPerGame);
  }

  std::vector<std::string> Tables() {
    const std::string list = OnPostgres()
        ? "select table_name from information_schema.tables where table_schema = 'public'"
        : "select name from sqlite_master where type = 'table'";
    std::vector<std::string> out;
    for (const auto& row : Rows(list)) out.push_back(row[0]);
    return out;
  }
  // Every table's rows, sorted.
  Dump Everything() {
    Dump out;
    for (const std::string& t : Tables()) {
      Lines rows = Table("select * from " + t);
      std::sort(rows.begin(), rows.end());
      out[t] = rows;
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
  std::string Integrity() { return OnPostgres() ? "ok" : One("PRAGMA integrity_check"); }
};

// Every table of `after` equals `before`, Logs and Logs_Games aside.
void ExpectOthersUnchanged(const Dump& before, const Dump& after) {
  ASSERT_EQ(before.size(), after.size());
  for (const auto& [table, rows] : before) {
    if (table == "Logs" || table == "Logs_Games") continue;
    EXPECT_EQ(after.at(table), rows) << table;
  }
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

TEST_P(PruneTest, RemovesOnlyTheOlderDatagramsAndTheirLinksAndKeepsTheNewestRow) {
  const Dump before = Everything();
  const long long links = static_cast<long long>(before.at("Logs_Games").size());
  ASSERT_GE(links, kGames);   // every game's first datagram at least

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
  Dump after = Everything();
  ExpectOthersUnchanged(before, after);
  const auto young = [&](long long log) { return !old(log); };
  EXPECT_EQ(after.at("Logs"), Kept(before.at("Logs"), 0, young));
  EXPECT_EQ(after.at("Logs_Games"), Kept(before.at("Logs_Games"), 1, young));
  EXPECT_EQ(Integrity(), "ok");

  // A date after every datagram: all go but the newest, Record 60.
  ASSERT_EQ(Prune("2030-01-01", &out, &err), 0) << err;
  EXPECT_TRUE(Has(out, "removed 29 archived datagrams received before 2030-01-01 and "));
  EXPECT_TRUE(Has(out, "; 1 remain (the newest, Record 60, is kept"));
  after = Everything();
  ExpectOthersUnchanged(before, after);
  const auto newest = [](long long log) { return log == kGames * kPerGame; };
  EXPECT_EQ(after.at("Logs"), Kept(before.at("Logs"), 0, newest));
  EXPECT_EQ(after.at("Logs_Games"), Kept(before.at("Logs_Games"), 1, newest));
  EXPECT_EQ(Integrity(), "ok");

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

TEST_P(PruneTest, RefusesWhileAPassHoldsTheDatabaseAndThatPassLosesNothing) {
  const Dump before = Everything();
  auto lock = LockDatabase();
  // What a pass writes first: its Logs row.
  lock->Exec("insert into Logs values (61, '10.0.0.9', 5, NULL, '2026-04-01 10:00:00')");
  std::string out, err;
  EXPECT_EQ(Prune("2030-01-01", &out, &err), 1);
  EXPECT_TRUE(Has(err, "a listener is storing into the database; try again"));
  EXPECT_EQ(out, "");
  lock->Commit();
  lock.reset();
  Dump after = Everything();
  ExpectOthersUnchanged(before, after);
  EXPECT_EQ(after.at("Logs_Games"), before.at("Logs_Games"));
  ASSERT_EQ(after.at("Logs").size(), before.at("Logs").size() + 1);
  EXPECT_EQ(Count("Logs where Record = 61"), 1);
}

// A real storing process stopped (SIGSTOP) in the middle of a pass, after
// it archived its datagram: prune refuses; continued, the process stores
// every datagram it was given.
TEST_P(PruneTest, RefusesWhileARealPassIsUnderWay) {
  std::vector<std::string> files;
  for (int i = 0; i < 400; ++i) {
    datagram::Builder b = Alpha({Score("Cy", "Di", "Kill", "Axe", "1", std::to_string(i))}, 1000 + i);
    const std::string path = dir_->File("d" + std::to_string(i) + ".bin");
    const auto bytes = b.Build();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
    files.push_back(path);
  }
  // Whether the stopped process is inside a pass that has archived.
  auto mid_pass = [&] {
    if (OnPostgres())
      return One("select count(*) from pg_locks l join pg_class c on c.oid = l.relation "
                 "where c.relname = 'Logs' and l.mode = 'RowExclusiveLock' and l.granted") != "0";
    sqlite3* db = nullptr;
    sqlite3_open(db_path_.c_str(), &db);
    const bool held = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_BUSY;
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return held;
  };
  auto stopped = [](pid_t pid) {
    for (int i = 0; i < 60000; ++i) {
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string all((std::istreambuf_iterator<char>(stat)), {});
      const size_t close = all.rfind(')');
      if (close != std::string::npos && close + 2 < all.size() && (all[close + 2] == 'T' || all[close + 2] == 'Z'))
        return all[close + 2] == 'T';
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  };

  std::vector<std::string> argv = {testkit::BinaryFolder() + "/tallyfeed", "--log-path", dir_->File("feed.log"),
                                   ConnectionString()};
  argv.insert(argv.end(), files.begin(), files.end());
  const long long stored_before = Count("Logs");
  int fed = 0;
  bool caught = false;
  for (int attempt = 0; attempt < 400 && !caught; ++attempt) {
    testkit::Child feeder(argv, dir_->File("feeder.out"));
    ++fed;
    while (!caught && feeder.Running()) {
      feeder.Signal(SIGSTOP);
      if (!stopped(feeder.pid())) break;   // it ended meanwhile
      if (mid_pass()) {
        caught = true;
        const Dump held = Everything();
        std::string out, err;
        EXPECT_EQ(Prune("2030-01-01", &out, &err), 1) << out;
        EXPECT_TRUE(Has(err, "a listener is storing into the database; try again"));
        EXPECT_EQ(Everything(), held);
      }
      feeder.Signal(SIGCONT);
    }
    EXPECT_EQ(feeder.Wait(), 0) << feeder.Out();
  }
  ASSERT_TRUE(caught) << "the feeder was never stopped inside a pass";
  EXPECT_EQ(Count("Logs"), stored_before + 400LL * fed);
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
