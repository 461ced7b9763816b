// Test helpers: a fresh temporary folder per test, with the registry and the
// data folder pointed into it, and small file utilities.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "env.h"

struct sqlite3;

namespace testkit {

// An Env for tests (env.h), installed for the whole process while it lives
// (the previous one comes back on destruction). Its local clock stands at the
// time set with SetLocalNow, else runs as the platform's; its monotonic clock
// stands still once DriveSteadyClock was called and moves only by
// AdvanceSteadyClock; variables set with SetVariable hide the process's
// (nullopt: unset). Install it before the code
// under test starts threads of its own.
class TestEnv : public env::ForwardingEnv {
 public:
  TestEnv();
  ~TestEnv() override;
  TestEnv(const TestEnv&) = delete;
  TestEnv& operator=(const TestEnv&) = delete;

  void SetLocalNow(double serial) { local_now_ = serial; }
  void SetVariable(const std::string& name, std::optional<std::string> value) {
    variables_[name] = std::move(value);
  }

  void DriveSteadyClock() { steady_ = std::chrono::steady_clock::now().time_since_epoch().count(); }
  void AdvanceSteadyClock(std::chrono::milliseconds by) {
    steady_ += std::chrono::duration_cast<std::chrono::steady_clock::duration>(by).count();
  }

  double LocalNow() override;
  std::chrono::system_clock::time_point WallClock() override;
  std::chrono::steady_clock::time_point SteadyNow() override;
  std::optional<std::string> Variable(const std::string& name) override;

 private:
  env::Env* previous_;
  std::optional<double> local_now_;
  std::atomic<int64_t> steady_{0};   // steady_clock ticks; 0: the platform's clock
  std::map<std::string, std::optional<std::string>> variables_;
};

// Creates a unique temporary folder and removes it on destruction. While it
// lives, TALLY_REGISTRY points to <dir>/registry and XDG_DATA_HOME to
// <dir>/data (the previous values come back on destruction).
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
  std::string old_registry_, old_data_;
  bool had_registry_ = false, had_data_ = false;
};

// Creates an empty file (an empty SQLite database is a 0-byte file).
void Touch(const std::string& path);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);
bool Exists(const std::string& path);

// The folder that holds the test programs (and libtallycore.so).
std::string BinaryFolder();

// Direct SQL on an SQLite file, from a handle of its own. SqlRows gives
// texts and blobs as stored, integers in decimal, reals with %g and NULL as
// "NULL" (a test failure when the statement cannot run); SqlExec gives
// SQLite's result code.
std::vector<std::vector<std::string>> SqlRows(const std::string& db_path, const std::string& sql);
int SqlExec(const std::string& db_path, const std::string& sql);

// A database lock held from a connection of its own.
class DbLock {
 public:
  virtual ~DbLock() = default;
  virtual void Exec(const std::string& sql) = 0;   // inside the held transaction
  virtual void Commit() = 0;
  virtual void Release() = 0;                      // rolls back
};

// Holds an SQLite file's write lock (BEGIN IMMEDIATE) from a handle of its
// own; the constructor waits up to 30 s for another holder (a pass of the
// program under test) and throws std::runtime_error when it still cannot.
class WriteLock : public DbLock {
 public:
  explicit WriteLock(const std::string& db_path);
  ~WriteLock() override { Release(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  void Exec(const std::string& sql) override;
  void Commit() override;
  void Release() override;

 private:
  ::sqlite3* db_ = nullptr;
};

// Runs the sqlite3 shell, a program of its own, on an SQLite file with the
// statements `sql`; gives its standard output and error. Empty when the
// shell is missing (see HaveSqliteShell).
std::string OutsideSqlite(const std::string& db_path, const std::string& sql);
bool HaveSqliteShell();

// A loopback UDP port that is free at this moment.
int FreeUdpPort();

// A socket holding a loopback port (SOCK_DGRAM or SOCK_STREAM) until destroyed.
struct HeldPort {
  explicit HeldPort(int type);
  ~HeldPort();
  HeldPort(const HeldPort&) = delete;
  HeldPort& operator=(const HeldPort&) = delete;
  int fd = -1;
  int port = 0;
};

// Starts `argv` (argv[0] a path) with standard output written to `out_file`
// (truncated) and standard error to `err_file`, or to `out_file` too when
// that is empty. `env` entries ("NAME=value") are added to the environment;
// DISPLAY, WAYLAND_DISPLAY and QT_QPA_PLATFORM are dropped from it (the
// programs run without a display). The child's process id.
pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_file,
            const std::vector<std::string>& env = {}, const std::string& err_file = "");

// A child process started with Spawn; killed (SIGKILL) and reaped when
// destroyed while it still runs.
class Child {
 public:
  Child() = default;
  Child(const std::vector<std::string>& argv, const std::string& out_file,
        const std::vector<std::string>& env = {}, const std::string& err_file = "")
      : pid_(Spawn(argv, out_file, env, err_file)), out_(out_file), err_(err_file.empty() ? out_file : err_file) {}
  ~Child() { Reap(); }
  Child(Child&& o) noexcept { *this = std::move(o); }
  Child& operator=(Child&& o) noexcept;
  pid_t pid() const { return pid_; }
  bool Running();
  void Signal(int sig);
  // Waits for the end; the exit status, or 256 + the signal that ended it,
  // or -1 when still running after `timeout`.
  int Wait(std::chrono::milliseconds timeout = std::chrono::minutes(5));
  std::string Out() const { return ReadFile(out_); }
  std::string Err() const { return ReadFile(err_); }

 private:
  void Reap();
  pid_t pid_ = -1;
  int status_ = -1;
  std::string out_, err_;
};

// Runs a shell command; its standard output (add 2>&1 for the errors too)
// and, when `status` is given, its exit status (-1 when it did not exit).
std::string RunShell(const std::string& command, int* status = nullptr);

// Asks `done` every `step` until it is true (true) or `bound` has passed
// (false): for waiting on an event, never for guessing how long work takes.
bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds bound = std::chrono::seconds(60),
                std::chrono::milliseconds step = std::chrono::milliseconds(20));

// The status code ("405") of the answer to an HTTP request sent to
// 127.0.0.1:port as it stands, read up to its first line; "none" without one.
std::string HttpStatusOf(int port, const std::string& request);
// Everything a server on loopback `port` sends for `request` until it
// closes the connection (a minute at most).
std::string HttpAnswer(int port, const std::string& request);

}  // namespace testkit
