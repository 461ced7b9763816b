// env: the clocks and the process environment, reached through one small
// interface so that tests can replace them.
//
// Code that needs the time or an environment variable asks env::Current().
// That is, in this order: the Env of the innermost ThreadScope alive on the
// calling thread; the Env installed for the process with Install; the
// platform's Default() (the system clock in the local time zone, getenv).
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

#include <chrono>
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
class FixedLocalTime : public Env {
 public:
  FixedLocalTime(double serial, Env& beneath) : serial_(serial), beneath_(beneath) {}
  double LocalNow() override { return serial_; }
  std::chrono::system_clock::time_point WallClock() override { return beneath_.WallClock(); }
  std::chrono::steady_clock::time_point SteadyNow() override { return beneath_.SteadyNow(); }
  std::optional<std::string> Variable(const std::string& name) override {
    return beneath_.Variable(name);
  }

 private:
  double serial_;
  Env& beneath_;
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
