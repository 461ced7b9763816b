// The listener as a service: the real tallyhost program started as a second
// process, its options, exit statuses, signals, quiet receipt, and an
// installation into a temporary prefix.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "listener_fixture.h"
#include "test_env.h"

using namespace listenertest;

namespace {

size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// tallyhost (or another program) as a child process; its standard output
// and error go to files in the temporary folder.
class Child {
 public:
  Child(const testkit::TempDir& tmp, const std::string& program, std::vector<std::string> args,
        const std::string& tag = "child")
      : out_(tmp.File(tag + ".out")), err_(tmp.File(tag + ".err")) {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::unsetenv("DISPLAY");
      ::unsetenv("WAYLAND_DISPLAY");
      ::unsetenv("QT_QPA_PLATFORM");
      int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(o, STDOUT_FILENO);
      ::dup2(e, STDERR_FILENO);
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  // The exit status, or 128 + the signal that ended it; a child still
  // running after a minute is killed (a listener that should not have
  // started).
  int Wait() {
    int status = 0;
    if (!WaitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 60)) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  bool Alive() { return ::waitpid(pid_, nullptr, WNOHANG) == 0; }
  std::string Out() const { return testkit::ReadFile(out_); }
  std::string Err() const { return testkit::ReadFile(err_); }
  // Waits (the event loop of this process turning) until `text` appears.
  bool WaitForOut(const std::string& text) {
    return WaitUntil([&] { return Out().find(text) != std::string::npos; });
  }
  bool WaitForErr(const std::string& text) {
    return WaitUntil([&] { return Err().find(text) != std::string::npos; });
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string out_, err_;
};

std::string Tallyhost() { return testkit::BinaryFolder() + "/tallyhost"; }

std::string EntryLine(int port, const std::string& db) {
  return "Port=" + std::to_string(port) + ",Database=Provider=SQLite;Data Source=" + db;
}

class Service : public ::testing::Test {
 protected:
  void SetUp() override { std::filesystem::create_directories(Folder()); }
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
  Child help(tmp_, Tallyhost(), {"--help"});
  EXPECT_EQ(help.Wait(), 0);
  for (const char* option : {"maxcon=", "logout=", "cfgfile=", "headless=", "quiet=", "metrics=", "SIGHUP"})
    EXPECT_NE(help.Out().find(option), std::string::npos) << option;
  Child version(tmp_, Tallyhost(), {"--version"});
  EXPECT_EQ(version.Wait(), 0);
  EXPECT_EQ(version.Out().rfind("tallyhost 1.", 0), 0u) << version.Out();

  const std::pair<std::vector<std::string>, std::string> bad[] = {
      {{"headless=1", "--hepl"}, "unknown option '--hepl'"},
      {{"port=28000"}, "unknown option 'port=28000'"},
      {{"MAXCON=abc"}, "malformed option 'MAXCON=abc'"},
      {{"maxcon=99999999999"}, "malformed option"},
      {{"headless=yes"}, "malformed option"},
      {{"metrics=localhost"}, "malformed option 'metrics=localhost'"},
      {{"metrics=127.0.0.1:70000"}, "malformed option"},
      {{"metrics=::1:9000"}, "malformed option"}};
  for (const auto& [args, message] : bad) {
    Child c(tmp_, Tallyhost(), args);
    EXPECT_EQ(c.Wait(), 2) << args[0];
    EXPECT_NE(c.Err().find(message), std::string::npos) << c.Err();
    EXPECT_NE(c.Err().find("Usage: tallyhost"), std::string::npos);
    EXPECT_EQ(c.Out(), "");
  }
  // Nothing was started: no program folder, no connections file.
  EXPECT_FALSE(testkit::Exists(Folder()));
}

TEST_F(Service, HeadlessEndsWithAStatusWhenNoEntryListens) {
  // One entry with port 0, one whose port another socket holds.
  int holder = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(holder, reinterpret_cast<sockaddr*>(&a), &len);
  const int taken = ntohs(a.sin_port);
  WriteConfig(EntryLine(0, Database("a.db")) + "\r\n" + EntryLine(taken, Database("b.db")) + "\r\n");
  Child c(tmp_, Tallyhost(), {"headless=1"});
  EXPECT_EQ(c.Wait(), 3);
  EXPECT_NE(c.Err().find("occured on port " + std::to_string(taken)), std::string::npos) << c.Err();
  EXPECT_EQ(Occurrences(c.Err(), "no connection could listen"), 1u) << c.Err();
  ::close(holder);
}

TEST_F(Service, SighupSavesAndGoesOnThenTermEnds) {
  const int port = FreeUdpPort();
  const std::string db = Database("a.db");
  const std::string line = EntryLine(port, db);
  WriteConfig(line + "\r\n");
  Child c(tmp_, Tallyhost(), {"headless=1"});
  ASSERT_TRUE(c.WaitForOut("listening")) << c.Err();
  c.Signal(SIGHUP);
  ASSERT_TRUE(c.WaitForErr("SIGHUP received")) << c.Err();
  EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.old"), line + "\r\n");
  EXPECT_EQ(testkit::ReadFile(Folder() + "/connections.cfg"),
            line + ",Logon=False,Log=" + Folder() + "/Process.log\r\n");
  EXPECT_TRUE(c.Alive());
  SendDatagram(port, ValidDatagram(1));   // still receiving
  EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 1; }));
  c.Signal(SIGTERM);
  EXPECT_EQ(c.Wait(), 0);
}

TEST_F(Service, QuietReceiptAndFailuresOnceOnStandardError) {
  for (bool quiet : {false, true}) {
    const int port = FreeUdpPort();
    const std::string db = Database(quiet ? "q.db" : "n.db");
    WriteConfig(EntryLine(port, db) + "\r\n");
    Child c(tmp_, Tallyhost(), {"headless=1", quiet ? "quiet=1" : "quiet=0"}, quiet ? "q" : "n");
    ASSERT_TRUE(c.WaitForOut("listening")) << c.Err();
    SendDatagram(port, ValidDatagram(1));
    SendDatagram(port, {0xff, 0xff, 0x01});   // too short: the pass fails
    ASSERT_TRUE(c.WaitForErr("Processing failed")) << c.Err();
    ASSERT_TRUE(WaitUntil([&] { return LogsCount(db) >= 1; }));
    c.Signal(SIGTERM);
    EXPECT_EQ(c.Wait(), 0);
    EXPECT_EQ(Occurrences(c.Out(), "Log recieved on port"), quiet ? 0u : 2u) << c.Out();
    EXPECT_EQ(Occurrences(c.Out(), "Processing failed"), 0u);
    EXPECT_EQ(Occurrences(c.Err(), "Processing failed"), 1u) << c.Err();
  }
}

#ifdef TALLY_BUILD_DIR
TEST_F(Service, InstallIntoATemporaryPrefix) {
  const std::string prefix = tmp_.File("prefix");
  Child install(tmp_, "/usr/bin/env",
                {"cmake", "--install", TALLY_BUILD_DIR, "--prefix", prefix}, "install");
  ASSERT_EQ(install.Wait(), 0) << install.Out() << install.Err();
  for (const char* f : {"/bin/tallyhost", "/bin/tallysend", "/lib/tallyhost/libtallycore.so",
                        "/share/man/man1/tallyhost.1", "/lib/systemd/system/tallyhost.service"})
    EXPECT_TRUE(testkit::Exists(prefix + f)) << f;
  const std::string unit = testkit::ReadFile(prefix + "/lib/systemd/system/tallyhost.service");
  EXPECT_NE(unit.find("ExecStart=" + prefix + "/bin/tallyhost headless=1"), std::string::npos) << unit;
  for (const char* setting : {"Restart=on-failure", "DynamicUser=yes", "StateDirectory=tallyhost",
                              "XDG_DATA_HOME=/var/lib"})
    EXPECT_NE(unit.find(setting), std::string::npos) << setting;
  if (std::system("command -v systemd-analyze >/dev/null 2>&1") == 0) {
    // The unit's manual page is looked up in the prefix (without man, not at all).
    const bool have_man = std::system("command -v man >/dev/null 2>&1") == 0;
    Child verify(tmp_, "/usr/bin/env",
                 {"MANPATH=" + prefix + "/share/man", "systemd-analyze", "verify",
                  have_man ? "--man=yes" : "--man=no", prefix + "/lib/systemd/system/tallyhost.service"},
                 "verify");
    EXPECT_EQ(verify.Wait(), 0) << verify.Out() << verify.Err();
  }
  // The installed listener, started through its link in bin, finds the
  // engine library and stores a datagram.
  const int port = FreeUdpPort();
  const std::string db = Database("i.db");
  WriteConfig(EntryLine(port, db) + "\r\n");
  Child run(tmp_, prefix + "/bin/tallyhost", {"headless=1", "quiet=1"}, "installed");
  ASSERT_TRUE(run.WaitForOut("listening")) << run.Err();
  SendDatagram(port, ValidDatagram(1));
  EXPECT_TRUE(WaitUntil([&] { return LogsCount(db) == 1; })) << run.Err();
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait(), 0);
}
#endif

}  // namespace
