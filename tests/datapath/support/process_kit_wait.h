// WaitFor's definition (a template, so in a header).
#pragma once

#include <thread>

namespace datapath {

template <class F>
bool WaitFor(F done, std::chrono::milliseconds timeout, std::chrono::milliseconds step) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

}  // namespace datapath
