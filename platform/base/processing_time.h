// processing_time: an override of the clock for one thread, so that
// datagrams processed again later are stamped with the time they were first
// received.
//
// While a ProcessingTimeScope lives on a thread, datetime::Now() on that
// thread returns the scope's time instead of the clock's. The setting lives
// in a shared library of its own (one copy per process), so that the engine
// library sees what its caller sets without knowing why. Scopes nest.
#pragma once

namespace datetime {

class __attribute__((visibility("default"))) ProcessingTimeScope {
 public:
  explicit ProcessingTimeScope(double serial);
  ~ProcessingTimeScope();
  ProcessingTimeScope(const ProcessingTimeScope&) = delete;
  ProcessingTimeScope& operator=(const ProcessingTimeScope&) = delete;

 private:
  bool had_previous_;
  double previous_;
};

// The thread's processing time; false when none is set.
__attribute__((visibility("default"))) bool ProcessingTime(double* serial);

}  // namespace datetime
