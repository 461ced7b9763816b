#include "test_env.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testkit {
namespace fs = std::filesystem;

namespace {
void Swap(const char* name, const std::string& value, std::string* old, bool* had) {
  const char* cur = std::getenv(name);
  *had = cur != nullptr;
  if (cur) *old = cur;
  ::setenv(name, value.c_str(), 1);
}
void Restore(const char* name, const std::string& old, bool had) {
  if (had) ::setenv(name, old.c_str(), 1);
  else ::unsetenv(name);
}
}  // namespace

TestEnv::TestEnv() : env::ForwardingEnv(env::Current()), previous_(env::Install(this)) {}
TestEnv::~TestEnv() { env::Install(previous_); }

double TestEnv::LocalNow() { return local_now_ ? *local_now_ : env::Default().LocalNow(); }
std::chrono::system_clock::time_point TestEnv::WallClock() { return env::Default().WallClock(); }
std::chrono::steady_clock::time_point TestEnv::SteadyNow() {
  const int64_t ticks = steady_;
  return ticks == 0 ? env::Default().SteadyNow()
                    : std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(ticks));
}
std::optional<std::string> TestEnv::Variable(const std::string& name) {
  auto it = variables_.find(name);
  return it != variables_.end() ? it->second : env::Default().Variable(name);
}

TempDir::TempDir() {
  std::string templ = (fs::temp_directory_path() / "tallytest.XXXXXX").string();
  if (!::mkdtemp(templ.data())) throw std::runtime_error("mkdtemp failed");
  path_ = templ;
  Swap("TALLY_REGISTRY", path_ + "/registry", &old_registry_, &had_registry_);
  Swap("XDG_DATA_HOME", path_ + "/data", &old_data_, &had_data_);
}

TempDir::~TempDir() {
  Restore("TALLY_REGISTRY", old_registry_, had_registry_);
  Restore("XDG_DATA_HOME", old_data_, had_data_);
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void Touch(const std::string& path) { std::ofstream(path, std::ios::binary | std::ios::app); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool Exists(const std::string& path) { return fs::exists(path); }

std::string BinaryFolder() {
  char buf[4096];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string p(buf, n > 0 ? static_cast<size_t>(n) : 0);
  return p.substr(0, p.find_last_of('/'));
}

std::vector<std::vector<std::string>> SqlRows(const std::string& db_path, const std::string& sql) {
  std::vector<std::vector<std::string>> rows;
  sqlite3* db = nullptr;
  sqlite3_stmt* st = nullptr;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
      sqlite3_busy_timeout(db, 5000) != SQLITE_OK || sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
    ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql << " on " << db_path;
  while (st && sqlite3_step(st) == SQLITE_ROW) {
    rows.emplace_back();
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      if (sqlite3_column_type(st, i) == SQLITE_NULL) {
        rows.back().push_back("NULL");
      } else if (sqlite3_column_type(st, i) == SQLITE_FLOAT) {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%g", sqlite3_column_double(st, i));
        rows.back().push_back(buf);
      } else {
        const void* p = sqlite3_column_blob(st, i);
        rows.back().emplace_back(static_cast<const char*>(p), static_cast<size_t>(sqlite3_column_bytes(st, i)));
      }
    }
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

int SqlExec(const std::string& db_path, const std::string& sql) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return rc;
}

WriteLock::WriteLock(const std::string& db_path) {
  if (sqlite3_open_v2(db_path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
    throw std::runtime_error("cannot open for locking");
  sqlite3_busy_timeout(db_, 30000);   // a pass of the program under test may hold it for a moment
  char* err = nullptr;
  if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    Release();
    throw std::runtime_error("cannot lock: " + msg);
  }
}

void WriteLock::Exec(const std::string& sql) {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    ADD_FAILURE() << (err ? err : "?") << " in " << sql;
    sqlite3_free(err);
  }
}

void WriteLock::Commit() {
  Exec("COMMIT");
  sqlite3_close(db_);
  db_ = nullptr;
}

void WriteLock::Release() {
  if (db_) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
  }
}

std::string OutsideSqlite(const std::string& db_path, const std::string& sql) {
  const std::string input = db_path + ".sql";
  WriteFile(input, sql + "\n");
  std::string out = RunShell("sqlite3 -bail '" + db_path + "' < '" + input + "' 2>&1");
  fs::remove(input);
  return out;
}

bool HaveSqliteShell() { return std::system("sqlite3 -version >/dev/null 2>&1") == 0; }

HeldPort::HeldPort(int type) : fd(::socket(AF_INET, type, 0)) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
}

HeldPort::~HeldPort() { ::close(fd); }

int FreeUdpPort() { return HeldPort(SOCK_DGRAM).port; }

pid_t Spawn(const std::vector<std::string>& argv, const std::string& out_file, const std::vector<std::string>& env,
            const std::string& err_file) {
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = err_file.empty() ? out : ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
    for (const std::string& e : env) ::putenv(const_cast<char*>(e.c_str()));
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

Child& Child::operator=(Child&& o) noexcept {
  if (this != &o) {
    Reap();
    pid_ = o.pid_;
    status_ = o.status_;
    out_ = std::move(o.out_);
    err_ = std::move(o.err_);
    o.pid_ = -1;
  }
  return *this;
}

void Child::Reap() {
  if (pid_ > 0 && status_ < 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_ = -1;
}

bool Child::Running() {
  if (pid_ <= 0 || status_ >= 0) return false;
  int st = 0;
  if (::waitpid(pid_, &st, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 256 + WTERMSIG(st);
  return false;
}

void Child::Signal(int sig) {
  if (Running()) ::kill(pid_, sig);
}

int Child::Wait(std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (Running() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return status_;
}

std::string RunShell(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  if (status) *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return out;
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds bound, std::chrono::milliseconds step) {
  const auto until = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

namespace {
// A connection to loopback `port` that has been sent `request`; -1 when
// either failed.
int SentRequest(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()))
    return fd;
  ::close(fd);
  return -1;
}
}  // namespace

std::string HttpStatusOf(int port, const std::string& request) {
  const int fd = SentRequest(port, request);
  std::string answer;
  if (fd >= 0) {
    char buf[4096];
    ssize_t n;
    while (answer.find("\r\n") == std::string::npos && (n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
    ::close(fd);
  }
  return answer.size() >= 12 ? answer.substr(9, 3) : "none";
}

std::string HttpAnswer(int port, const std::string& request) {
  const int fd = SentRequest(port, request);
  std::string answer;
  if (fd >= 0) {
    timeval minute{60, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &minute, sizeof minute);
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<size_t>(n));
    ::close(fd);
  }
  return answer;
}

}  // namespace testkit
