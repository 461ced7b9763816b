// env: the clocks, the process environment and the file calls of the data
// path, reached through one small interface so that tests can replace them.
//
// Code that needs the time or an environment variable asks env::Current().
// That is, in this order: the Env of the innermost ThreadScope alive on the
// calling thread; the Env installed for the process with Install; the
// platform's Default() (the system clock in the local time zone, getenv).
//
// Files: the spool, the logs and the connections file write through the
// Env (open, write, sync, truncate, rename, unlink, close); a test's Env can
// make any of them fail as a full or failing disk would. Each call answers
// as its system call does, -1 with errno set on failure, and costs one
// virtual call more. Reading, mapping and locking files go to the system
// directly. An Env that wraps another passes the calls it does not change
// on to it.
//
// ProcessingTimeScope stops the local clock of one thread at a given time:
// datagrams processed again later are stamped with the time they were first
// received.
//
// The state lives in a shared library of its own (one copy per process), so
// that the engine library sees what its caller installs. Install is meant for
// test set-up: it is atomic, but an Env must outlive every use of it, so
// install it before other threads ask and restore it after they are done.
// Thread scopes are per thread and nest.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#pragma GCC visibility push(default)

namespace env {

class Env {
 public:
  virtual ~Env() = default;
  // The local date and time now as a day serial (datetime.h), whole seconds.
  virtual double LocalNow() = 0;
  // The wall-clock time now.
  virtual std::chrono::system_clock::time_point WallClock() = 0;
  // The monotonic clock now, for pauses and intervals.
  virtual std::chrono::steady_clock::time_point SteadyNow() { return std::chrono::steady_clock::now(); }
  // The value of an environment variable; nullopt when it is not set.
  virtual std::optional<std::string> Variable(const std::string& name) = 0;

  // open(2), close(2), write(2), pwrite(2), fsync(2), fdatasync(2),
  // ftruncate(2), rename(2), unlink(2). Writes may be short, as the
  // system's are; EINTR is the caller's to retry.
  virtual int Open(const std::string& path, int flags, mode_t mode = 0);
  virtual int Close(int fd);
  virtual ssize_t Write(int fd, const void* bytes, size_t n);
  virtual ssize_t WriteAt(int fd, const void* bytes, size_t n, off_t at);
  virtual int Sync(int fd);
  virtual int DataSync(int fd);
  virtual int Truncate(int fd, off_t size);
  virtual int Rename(const std::string& from, const std::string& to);
  virtual int Unlink(const std::string& path);
  // The bytes this process may still write on the file system that holds
  // `path` (statvfs(3)); nullopt, errno set, when it cannot be told.
  virtual std::optional<uint64_t> FreeSpace(const std::string& path);
};

// Passes every call to `beneath`; wrappers override what they change.
class ForwardingEnv : public Env {
 public:
  explicit ForwardingEnv(Env& beneath) : beneath_(beneath) {}
  double LocalNow() override { return beneath_.LocalNow(); }
  std::chrono::system_clock::time_point WallClock() override { return beneath_.WallClock(); }
  std::chrono::steady_clock::time_point SteadyNow() override { return beneath_.SteadyNow(); }
  std::optional<std::string> Variable(const std::string& name) override { return beneath_.Variable(name); }
  int Open(const std::string& path, int flags, mode_t mode = 0) override { return beneath_.Open(path, flags, mode); }
  int Close(int fd) override { return beneath_.Close(fd); }
  ssize_t Write(int fd, const void* bytes, size_t n) override { return beneath_.Write(fd, bytes, n); }
  ssize_t WriteAt(int fd, const void* bytes, size_t n, off_t at) override {
    return beneath_.WriteAt(fd, bytes, n, at);
  }
  int Sync(int fd) override { return beneath_.Sync(fd); }
  int DataSync(int fd) override { return beneath_.DataSync(fd); }
  int Truncate(int fd, off_t size) override { return beneath_.Truncate(fd, size); }
  int Rename(const std::string& from, const std::string& to) override { return beneath_.Rename(from, to); }
  int Unlink(const std::string& path) override { return beneath_.Unlink(path); }
  std::optional<uint64_t> FreeSpace(const std::string& path) override { return beneath_.FreeSpace(path); }

 protected:
  Env& beneath() { return beneath_; }

 private:
  Env& beneath_;
};

Env& Default();
Env& Current();

// Makes `env` the process's Env; nullptr goes back to Default(). Returns the
// previous one (nullptr for Default()).
Env* Install(Env* env);

// The value of an environment variable when set and not empty, else `fallback`.
std::string VariableOr(const std::string& name, const std::string& fallback);

// Makes `env` the calling thread's Env while the scope lives.
class ThreadScope {
 public:
  explicit ThreadScope(Env& env);
  ~ThreadScope();
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  Env* previous_;
};

// An Env that answers as `beneath` does, except that its local clock stands
// at `serial`.
class FixedLocalTime : public ForwardingEnv {
 public:
  FixedLocalTime(double serial, Env& beneath) : ForwardingEnv(beneath), serial_(serial) {}
  double LocalNow() override { return serial_; }

 private:
  double serial_;
};

// While it lives, env::Current().LocalNow() on the calling thread is `serial`.
class ProcessingTimeScope {
 public:
  explicit ProcessingTimeScope(double serial) : clock_(serial, Current()), scope_(clock_) {}

 private:
  FixedLocalTime clock_;
  ThreadScope scope_;
};

}  // namespace env

#pragma GCC visibility pop
