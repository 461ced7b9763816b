// The real tallyhost program as a second process: options, exit statuses,
// signals, quiet receipt, the status report and metrics endpoint, and an
// installation into a temporary prefix.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#include <regex>

#include "listener_fixture.h"
#include "test_env.h"

using namespace listenertest;
using ::testing::AllOf;
using ::testing::Not;
using ::testing::StartsWith;

namespace {

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

std::string Tallyhost() { return testkit::BinaryFolder() + "/tallyhost"; }

std::string EntryLine(int port, const std::string& db) {
  return "Port=" + std::to_string(port) + ",Database=Provider=SQLite;Data Source=" + db;
}

// True while `sig` sent to the process waits to be taken by one of its threads.
bool SignalPending(pid_t pid, int sig) {
  const std::string status = testkit::ReadFile("/proc/" + std::to_string(pid) + "/status");
  const size_t at = status.find("ShdPnd:");
  return at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> (sig - 1) & 1) != 0;
}

// Waits (the event loop of this process turning) until `text` is in `file`.
bool WaitForText(const std::string& file, const std::string& text) {
  return WaitUntil([&] { return testkit::ReadFile(file).find(text) != std::string::npos; });
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(Folder()); }
  // `program` with `args`; standard output and error in <tag>.out and <tag>.err.
  testkit::Child Run(const std::string& program, std::vector<std::string> args, const std::string& tag) {
    args.insert(args.begin(), program);
    return testkit::Child(args, tmp_.File(tag + ".out"), {}, tmp_.File(tag + ".err"));
  }
  // `program` started with `args`, once it says it listens.
  testkit::Child Listening(const std::string& program, std::vector<std::string> args, const std::string& tag) {
    testkit::Child c = Run(program, std::move(args), tag);
    EXPECT_TRUE(WaitForOut(tag, "listening")) << c.Err();
    return c;
  }
  static void Stop(testkit::Child& c) {
    c.Signal(SIGTERM);
    EXPECT_EQ(c.Wait(), 0);
  }
  bool WaitForOut(const std::string& tag, const std::string& text) { return WaitForText(tmp_.File(tag + ".out"), text); }
  bool WaitForErr(const std::string& tag, const std::string& text) { return WaitForText(tmp_.File(tag + ".err"), text); }
  std::string Folder() const { return tmp_.File("data/tallyhost"); }
  void WriteConfig(const std::string& text) { testkit::WriteFile(Folder() + "/connections.cfg", text); }
  std::string Database(const std::string& name) {
    testkit::Touch(tmp_.File(name));
    return tmp_.File(name);
  }
  testkit::TempDir tmp_;
};

TEST_F(Service, HelpVersionAndBadOptionsStartNothing) {
  std::filesystem::remove_all(Folder());
  testkit::Child help = Run(Tallyhost(), {"--help"}, "help");
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"maxcon=", "logout=", "cfgfile=", "headless=", "quiet=", "metrics=", "SIGHUP"})
    EXPECT_THAT(help.Out(), HasSubstr(option));
  testkit::Child version = Run(Tallyhost(), {"--version"}, "version");
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_THAT(version.Out(), StartsWith("tallyhost 1."));

  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"headless=1", "--hepl"}, "unknown option '--hepl'"}, {{"port=28000"}, "unknown option 'port=28000'"},
      {{"MAXCON=abc"}, "malformed option 'MAXCON=abc'"}, {{"maxcon=99999999999"}, "malformed option"},
      {{"headless=yes"}, "malformed option"}, {{"logout=40000"}, "malformed option"},
      {{"metrics=localhost"}, "malformed option 'metrics=localhost'"}, {{"metrics=127.0.0.1:70000"}, "malformed option"},
      {{"metrics=::1:9000"}, "malformed option"}, {{"metrics=127.0.0.1:0"}, "malformed option"}};   // a port the system would choose: nobody could find it
  int n = 0;
  for (const auto& [args, message] : bad) {
    testkit::Child c = Run(Tallyhost(), args, "bad" + std::to_string(++n));
    EXPECT_EQ(c.Wait(), 2) << args[0];
    EXPECT_THAT(c.Err(), AllOf(HasSubstr(message), HasSubstr("Usage: tallyhost")));
    EXPECT_EQ(c.Out(), "");
  }
  // Nothing was started: no program folder, no connections file.
  EXPECT_FALSE(testkit::Exists(Folder()));
}

// No entry listens (port 0, a port another socket holds, a database file
// that is missing): status 3, and the missing file is named in one line with
// the command that makes it; made so, the next start listens.
TEST_F(Service, HeadlessEndsWithAStatusWhenNoEntryListensAndNamesAMissingDatabaseFile) {
  testkit::HeldPort taken(SOCK_DGRAM);
  const int port = FreeUdpPort();
  const std::string file = tmp_.File("it's new.db");
  WriteConfig(EntryLine(0, Database("a.db")) + "\r\n" + EntryLine(taken.port, Database("b.db")) + "\r\n" +
              EntryLine(port, file) + "\r\n");
  testkit::Child first = Run(Tallyhost(), {"headless=1"}, "none");
  EXPECT_EQ(first.Wait(), 3);
  EXPECT_THAT(first.Err(), HasSubstr("occured on port " + std::to_string(taken.port)));
  EXPECT_EQ(Occurrences(first.Err(), "no connection could listen"), 1u) << first.Err();
  const std::string command = "touch '" + tmp_.File("it'\\''s new.db") + "'";
  EXPECT_THAT(first.Err(), HasSubstr("Tallyhost: entry 3: the database file " + file + " does not exist; make it with  " +
                                     command + "  (an empty file"));
  EXPECT_EQ(testkit::RunShell(command + " && echo made"), "made\n");
  testkit::Child second = Listening(Tallyhost(), {"headless=1", "quiet=1"}, "made");
  EXPECT_EQ(second.Err().find("does not exist"), std::string::npos);
  Stop(second);
}

// SIGHUP saves the connections file and goes on; SIGINT and SIGTERM run the
// closing steps (the file saved, its backup kept) and end with status 0.
TEST_F(Service, SighupSavesAndGoesOnIntAndTermRunTheClosingSteps) {
  const int port = FreeUdpPort();
  const std::string db = Database("a.db");
  const std::string line = EntryLine(port, db);
  const std::string saved = line + ",Logon=False,Log=" + Folder() + "/Process.log\r\n";
  for (int sig : {SIGINT, SIGTERM}) {
    const std::string tag = "sig" + std::to_string(sig);
    std::filesystem::remove(Folder() + "/connections.old");
    WriteConfig(line + "\r\n");
    testkit::Child c = Listening(Tallyhost(), {"headless=1"}, tag);
    if (sig == SIGTERM) {
      c.Signal(SIGHUP);
      ASSERT_TRUE(WaitForErr(tag, "SIGHUP received")) << c.Err();
      EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.old"), line + "\r\n");
      EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.cfg"), saved);
      EXPECT_TRUE(c.Running());
      SendDatagram(port, ValidDatagram(1));   // still receiving
      EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 1; }));
      WriteConfig(line + "\r\n");
      // A pass that waits at a lock holds the main thread: the status report
      // (SIGUSR1) still answers and counts what arrived meanwhile as waiting.
      // Neither SIGHUP nor SIGUSR1 ends the lock budget: the prompt is
      // answered Yes and the datagrams are stored once the lock is gone.
      {
        testkit::WriteLock held(db);
        SendDatagram(port, ValidDatagram(2));
        ASSERT_TRUE(WaitForErr(tag, "Answer: ")) << c.Err();
        SendDatagram(port, ValidDatagram(3));
        EXPECT_TRUE(WaitUntil([&] {
          c.Signal(SIGUSR1);
          return testkit::ReadFile(tmp_.File(tag + ".out")).find("waiting 2") != std::string::npos;
        })) << c.Out();
        EXPECT_EQ(LogsCount(db), 1u);
      }
      EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 3; }));
      EXPECT_THAT(c.Err(), AllOf(HasSubstr("Answer: Yes"), Not(HasSubstr("Answer: No"))));
    }
    c.Signal(sig);
    EXPECT_EQ(c.Wait(), 0) << sig;
    EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.old"), line + "\r\n") << sig;
    EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.cfg"), saved) << sig;
  }
}

// Reload requests while a pass holds the main thread at a lock, each taken
// by the program before the next is sent, far more than a socket holds
// wake-ups for: none makes a thread wait for the held main thread, and the
// program goes on and ends as asked.
TEST_F(Service, AFloodOfSignalsWhileAPassWaitsAtALockHangsNothing) {
  const int port = FreeUdpPort();
  const std::string db = Database("f.db");
  WriteConfig(EntryLine(port, db) + "\r\n");
  testkit::Child c = Listening(Tallyhost(), {"headless=1"}, "flood");
  {
    testkit::WriteLock held(db);
    SendDatagram(port, ValidDatagram(1));
    ASSERT_TRUE(WaitForErr("flood", "Answer: ")) << c.Err();
    for (int i = 0; i < 1000; ++i) {
      c.Signal(SIGHUP);
      ASSERT_TRUE(WaitUntil([&] { return !SignalPending(c.pid(), SIGHUP); })) << i;
    }
  }
  EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 1; }));
  c.Signal(SIGTERM);
  EXPECT_EQ(c.Wait(), 0);
}

TEST_F(Service, QuietReceiptAndFailuresOnceOnStandardError) {
  for (bool quiet : {false, true}) {
    const int port = FreeUdpPort();
    const std::string db = Database(quiet ? "q.db" : "n.db");
    const std::string tag = quiet ? "q" : "n";
    WriteConfig(EntryLine(port, db) + "\r\n");
    testkit::Child c = Listening(Tallyhost(), {"headless=1", quiet ? "quiet=1" : "quiet=0"}, tag);
    SendDatagram(port, ValidDatagram(1));
    SendDatagram(port, {0xff, 0xff, 0x01});   // too short: the pass fails
    ASSERT_TRUE(WaitForErr(tag, "Processing failed")) << c.Err();
    ASSERT_TRUE(WaitUntil([&] { return LogsCount(db) >= 1; }));
    Stop(c);
    EXPECT_EQ(Occurrences(c.Out(), "Log recieved on port"), quiet ? 0u : 2u) << c.Out();
    EXPECT_EQ(Occurrences(c.Out(), "Processing failed"), 0u);
    EXPECT_EQ(Occurrences(c.Err(), "Processing failed"), 1u) << c.Err();
  }
}

TEST_F(Service, MetricsScrapedDuringABurstAndTheStatusReport) {
  const int port = FreeUdpPort();
  const std::string db = Database("m.db");
  testkit::HeldPort taken(SOCK_DGRAM);
  const int missing_port = FreeUdpPort();
  WriteConfig(EntryLine(port, db) + "\r\n" + EntryLine(taken.port, db) + "\r\n" +
              EntryLine(missing_port, tmp_.File("missing.db")) + "\r\n");
  const int metrics_port = testkit::HeldPort(SOCK_STREAM).port;   // a TCP port free at this moment
  testkit::Child listener =
      Run(Tallyhost(), {"headless=1", "quiet=1", "metrics=127.0.0.1:" + std::to_string(metrics_port)}, "m");
  ASSERT_TRUE(WaitForErr("m", "metrics at")) << listener.Err();
  httplib::Client client("127.0.0.1", metrics_port);
  const std::string p = "{entry=\"1\",port=\"" + std::to_string(port) + "\"} ";
  for (uint32_t i = 1; i <= 300; ++i) {
    SendDatagram(port, ValidDatagram(i));
    if (i % 50 == 0) {   // scraped while the burst is handled
      auto res = client.Get("/metrics");
      ASSERT_TRUE(res);
      EXPECT_EQ(res->status, 200);
      EXPECT_THAT(res->body, HasSubstr("tallyhost_datagrams_received_total" + p));
    }
  }
  ASSERT_TRUE(WaitUntil([&] {
    auto res = client.Get("/metrics");
    return res && res->body.find("tallyhost_datagrams_stored_total" + p + "300\n") != std::string::npos;
  })) << client.Get("/metrics")->body;
  auto res = client.Get("/metrics");
  EXPECT_THAT(res->body, HasSubstr("tallyhost_entry_listening{entry=\"2\",port=\"" +
                                   std::to_string(taken.port) + "\"} 0"));
  EXPECT_THAT(res->body, HasSubstr("tallyhost_pass_duration_seconds_count 300\n"));
  EXPECT_EQ(LogsCount(db), 300u);
  // Another method, or a body, is refused without reading the body, which
  // here never comes.
  EXPECT_EQ(testkit::HttpStatusOf(metrics_port, "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 200000000\r\n\r\n"),
            "405");
  EXPECT_EQ(testkit::HttpStatusOf(metrics_port, "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 9\r\n\r\n"), "413");
  // The connection ends with the refusal: the unread body is not taken for
  // a request of its own.
  const std::string refused = testkit::HttpAnswer(
      metrics_port, "GET /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 33\r\n\r\nGET /status HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_THAT(refused, StartsWith("HTTP/1.1 413"));
  EXPECT_EQ(refused.find("HTTP/1.1", 1), std::string::npos) << refused;
  const auto status = client.Get("/status");   // the report SIGUSR1 writes
  ASSERT_TRUE(status);
  const std::string missing = std::to_string(missing_port);
  for (const std::string& text : Texts{"Entry 1, port " + std::to_string(port) + ": listening",
                                       "received 300, stored 300, failed 0",
                                       "Entry 2, port " + std::to_string(taken.port) + ": not listening (port",
                                       "Entry 3, port " + missing + ": not listening (database failed at start-up",
                                       "entry 3: port " + missing + " is not listening: database failed at start-up"})
    EXPECT_THAT(status->body, HasSubstr(text));
  Stop(listener);
}

#ifdef TALLY_BUILD_DIR
TEST_F(Service, InstallIntoATemporaryPrefix) {
  const std::string prefix = tmp_.File("prefix");
  testkit::Child install = Run("/usr/bin/env", {"cmake", "--install", TALLY_BUILD_DIR, "--prefix", prefix}, "install");
  ASSERT_EQ(install.Wait(), 0) << install.Out() << install.Err();
  for (const char* f : {"/bin/tallysend", "/lib/tallyhost/libtallycore.so", "/share/man/man1/tallyhost.1",
                        "/lib/systemd/system/tallysend@.service"})   // the rest are read or run below
    EXPECT_TRUE(testkit::Exists(prefix + f)) << f;
  const std::string unit = testkit::ReadFile(prefix + "/lib/systemd/system/tallyhost.service");
  for (const std::string& setting : Texts{"ExecStart=" + prefix + "/bin/tallyhost headless=1",
                                          "Restart=on-failure", "DynamicUser=yes", "StateDirectory=tallyhost",
                                          "XDG_DATA_HOME=/var/lib"})
    EXPECT_THAT(unit, HasSubstr(setting));
  // tallyweb's unit: the installed program on the listener's database,
  // as the listener's dynamic user with its folder, summaries of its own.
  const std::string web_unit = testkit::ReadFile(prefix + "/lib/systemd/system/tallyweb.service");
  for (const std::string& setting :
       Texts{"ExecStart=" + prefix + "/bin/tallyweb --listen 127.0.0.1:8080 --summaries /var/cache/tallyweb/summaries.db",
             "${TALLYWEB_DATABASE}", "\"TALLYWEB_DATABASE=Provider=SQLite;Data Source=/var/lib/tallyhost/test.mdb\"",
             "EnvironmentFile=-/etc/default/tallyweb", "DynamicUser=yes", "User=tallyhost",
             "StateDirectory=tallyhost", "CacheDirectory=tallyweb", "-shm", "Documentation=man:tallyweb(1)"})
    EXPECT_THAT(web_unit, HasSubstr(setting));
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    // The unit's manual page is looked up in the prefix (without man, not at all).
    const bool have_man = std::system("command -v man >/dev/null 2>&1") == 0;
    for (const char* unit : {"tallyhost.service", "tallyweb.service"}) {
      testkit::Child verify = Run("/usr/bin/env", {"MANPATH=" + prefix + "/share/man", "systemd-analyze", "verify",
                                                   have_man ? "--man=yes" : "--man=no",
                                                   prefix + "/lib/systemd/system/" + unit}, "verify");
      EXPECT_EQ(verify.Wait(), 0) << unit << verify.Out() << verify.Err();
    }
  }
  // The installed tallyweb runs through its link in bin, and its manual
  // page names every option that its --help lists (each - escaped for roff).
  testkit::Child help = Run(prefix + "/bin/tallyweb", {"--help"}, "webhelp");
  ASSERT_EQ(help.Wait(), 0) << help.Err();
  const std::string usage = help.Out(), page = testkit::ReadFile(prefix + "/share/man/man1/tallyweb.1");
  const size_t section = page.find(".SH OPTIONS");
  ASSERT_NE(section, std::string::npos);
  const std::string man = page.substr(section, page.find(".SH", section + 1) - section);
  const std::regex option("--[A-Za-z0-9-]+");
  size_t options = 0;
  for (auto m = std::sregex_iterator(usage.begin(), usage.end(), option); m != std::sregex_iterator(); ++m, ++options)
    EXPECT_THAT(man, HasSubstr(std::regex_replace(m->str(), std::regex("-"), "\\-"))) << m->str();
  EXPECT_GE(options, 5u) << usage;
  // The installed listener, started through its link in bin, finds the
  // engine library and stores a datagram.
  const int port = FreeUdpPort();
  const std::string db = Database("i.db");
  WriteConfig(EntryLine(port, db) + "\r\n");
  testkit::Child run = Listening(prefix + "/bin/tallyhost", {"headless=1", "quiet=1"}, "installed");
  SendDatagram(port, ValidDatagram(1));
  EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 1; })) << run.Err();
  Stop(run);
}
#endif

}  // namespace
