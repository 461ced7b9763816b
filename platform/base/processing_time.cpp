#include "processing_time.h"

namespace datetime {
namespace {
thread_local bool t_set = false;
thread_local double t_serial = 0;
}  // namespace

ProcessingTimeScope::ProcessingTimeScope(double serial) : had_previous_(t_set), previous_(t_serial) {
  t_set = true;
  t_serial = serial;
}

ProcessingTimeScope::~ProcessingTimeScope() {
  t_set = had_previous_;
  t_serial = previous_;
}

bool ProcessingTime(double* serial) {
  if (!t_set) return false;
  *serial = t_serial;
  return true;
}

}  // namespace datetime
