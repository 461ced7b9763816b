#include "env.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace env {
namespace {

class PlatformEnv : public Env {
 public:
  double LocalNow() override {
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    // The local broken-down time read back as if it were UTC counts local
    // seconds since 1970-01-01; the day serial counts days since 1899-12-30,
    // 25569 days earlier, with the time of day as the fraction.
    const long long local = static_cast<long long>(timegm(&tm));
    const long long days = local / 86400 + 25569, seconds = local % 86400;
    return static_cast<double>(days) + static_cast<double>(seconds) / 86400.0;
  }
  std::chrono::system_clock::time_point WallClock() override {
    return std::chrono::system_clock::now();
  }
  std::optional<std::string> Variable(const std::string& name) override {
    const char* v = std::getenv(name.c_str());
    if (!v) return std::nullopt;
    return std::string(v);
  }
};

}  // namespace

int Env::Open(const std::string& path, int flags, mode_t mode) { return ::open(path.c_str(), flags, mode); }
int Env::Close(int fd) { return ::close(fd); }
ssize_t Env::Write(int fd, const void* bytes, size_t n) { return ::write(fd, bytes, n); }
ssize_t Env::WriteAt(int fd, const void* bytes, size_t n, off_t at) { return ::pwrite(fd, bytes, n, at); }
int Env::Sync(int fd) { return ::fsync(fd); }
int Env::DataSync(int fd) { return ::fdatasync(fd); }
int Env::Truncate(int fd, off_t size) { return ::ftruncate(fd, size); }
int Env::Rename(const std::string& from, const std::string& to) { return std::rename(from.c_str(), to.c_str()); }
int Env::Unlink(const std::string& path) { return ::unlink(path.c_str()); }
std::optional<uint64_t> Env::FreeSpace(const std::string& path) {
  struct statvfs st;
  if (::statvfs(path.c_str(), &st) != 0) return std::nullopt;
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

namespace {

std::atomic<Env*> g_installed{nullptr};
thread_local Env* t_scoped = nullptr;

}  // namespace

Env& Default() {
  static PlatformEnv platform;
  return platform;
}

Env& Current() {
  if (t_scoped) return *t_scoped;
  if (Env* e = g_installed.load(std::memory_order_acquire)) return *e;
  return Default();
}

Env* Install(Env* env) { return g_installed.exchange(env, std::memory_order_acq_rel); }

std::string VariableOr(const std::string& name, const std::string& fallback) {
  std::optional<std::string> v = Current().Variable(name);
  return v && !v->empty() ? *v : fallback;
}

ThreadScope::ThreadScope(Env& env) : previous_(t_scoped) { t_scoped = &env; }
ThreadScope::~ThreadScope() { t_scoped = previous_; }

}  // namespace env
