// The headless listener started again on a spool whose head file was lost
// or damaged, or whose file was cut short or had bytes appended: the
// datagrams the database stored before are skipped without a pass, never
// stored twice, and the damage is reported.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "process_kit.h"
#include "test_env.h"

namespace datapath {
namespace {

long long StartedLines(const std::string& log) {
  std::ifstream in(log);
  std::string line;
  long long n = 0;
  while (std::getline(in, line)) n += line.find(" STARTED ") != std::string::npos;
  return n;
}

TEST(ExactlyOnce, ALostOrDamagedHeadOrSpoolStoresNothingTwice) {
  const struct {
    const char* what;
    const char* said;   // what the second start says
    std::function<void(const std::string& spool, const std::string& head)> damage;
  } cases[] = {
      {"head deleted", "were stored before", [](auto&, const std::string& head) { std::filesystem::remove(head); }},
      {"head with a flipped byte", "were stored before",
       [](auto&, const std::string& head) {
         std::fstream f(head, std::ios::binary | std::ios::in | std::ios::out);
         f.seekp(5);
         f.put('\x7f');
       }},
      {"spool cut in the middle, head past its end", "cut short after number",
       [](const std::string& spool, auto&) {
         std::filesystem::resize_file(spool, std::filesystem::file_size(spool) / 2 + 7);
       }},
      {"random bytes appended", "was damaged",
       [](const std::string& spool, auto&) {
         std::mt19937 rng(3);
         std::ofstream out(spool, std::ios::binary | std::ios::app);
         for (int i = 0; i < 5000; ++i) out.put(static_cast<char>(rng()));
       }},
  };
  const auto sent = Game("Once", 300, 180, 4, false);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    testkit::TempDir tmp;
    const std::string db = tmp.File("stats.db");
    CreateDatabase(db);
    const int port = FreeUdpPort();
    Listener listener(tmp.path(), {{port, SqliteCs(db)}});
    ASSERT_TRUE(listener.Start());
    {
      Sender s(port);
      for (size_t i = 0; i < sent.size(); ++i) {
        s.Send(sent[i]);
        if (i % 50 == 49) WaitStored(db, static_cast<long long>(i + 1));
      }
    }
    WaitStored(db, static_cast<long long>(sent.size()));
    ASSERT_GE(listener.Stop(), 0);
    const std::string spool = listener.ProgramFolder() + "/spool/port-" + std::to_string(port);
    c.damage(spool + ".spool", spool + ".head");

    ASSERT_TRUE(listener.Start());
    ASSERT_TRUE(WaitFor([&] { return listener.Output().find(c.said) != std::string::npos; }, std::chrono::seconds(30)))
        << listener.Output();
    // What the spool still held is dealt with before the end says what waits.
    ASSERT_GE(listener.Stop(), 0);
    EXPECT_EQ(listener.Output().find("wait in the spool"), std::string::npos) << listener.Output();
    EXPECT_EQ(CountOf(db, "SELECT count(*) FROM Logs"), static_cast<long long>(sent.size()));
    EXPECT_EQ(CountOf(db, "SELECT count(*) FROM (SELECT DISTINCT Log_Data FROM Logs)"),
              static_cast<long long>(sent.size()));
    EXPECT_EQ(IntegrityCheck(db), "ok\n");
    // Skipped without a pass: the process log has one pass per datagram.
    EXPECT_EQ(StartedLines(tmp.File("Process.log")), static_cast<long long>(sent.size()));
  }
}

}  // namespace
}  // namespace datapath
