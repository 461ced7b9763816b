// box_throttle: no storm of information boxes from one sender.
//
// ThrottledMessageBoxes wraps the process's message box service. While a
// datagram is processed, the receipt names its sender with a SenderScope;
// an OK-only box (an information box that ends a step, such as the missing
// hostname message) raised for that sender is shown once per 10 minutes per
// sender and text. A repeat within that time is not shown: it is counted
// and written to standard error as one line. Question boxes (the lock
// prompt, the general error prompt) and boxes raised outside any
// SenderScope (start-up, commands) always go through unchanged.
//
// Thread safety: Show and the readers may run on any thread; SenderScope
// applies to the thread that opens it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <tuple>

#include "msgbox.h"

namespace tallyhost {

class SenderScope {
 public:
  explicit SenderScope(const std::string& sender);
  ~SenderScope();
  SenderScope(const SenderScope&) = delete;
  SenderScope& operator=(const SenderScope&) = delete;

 private:
  std::string saved_;
  bool had_saved_;
};

class ThrottledMessageBoxes : public msgbox::MessageBoxService {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  static constexpr auto kEvery = std::chrono::minutes(10);

  explicit ThrottledMessageBoxes(std::shared_ptr<msgbox::MessageBoxService> inner, Clock clock = {});
  int Show(const std::string& text, int buttons, const std::string& title,
           msgbox::Kind kind) override;

  // Boxes not shown, in all and for one sender.
  uint64_t Suppressed() const;
  uint64_t Suppressed(const std::string& sender) const;
  // Called (on the showing thread) with the sender of every box not shown.
  void OnSuppressed(std::function<void(const std::string& sender)> hook);
  // Where the line per repeat goes (default standard error); for tests.
  void SetWriter(std::function<void(const std::string&)> write);

 private:
  std::shared_ptr<msgbox::MessageBoxService> inner_;
  Clock clock_;
  mutable std::mutex mu_;
  struct Seen {
    std::chrono::steady_clock::time_point shown;
    uint64_t repeats = 0;
  };
  std::map<std::tuple<std::string, std::string, std::string>, Seen> seen_;   // sender, title, text
  std::map<std::string, uint64_t> suppressed_;
  uint64_t total_ = 0;
  std::function<void(const std::string&)> hook_;
  std::function<void(const std::string&)> write_;
};

// Installs a ThrottledMessageBoxes around `inner` as the process's service
// (boxes not shown are counted in EntryStatus) and returns it.
std::shared_ptr<ThrottledMessageBoxes> InstallThrottledBoxes(std::shared_ptr<msgbox::MessageBoxService> inner);

}  // namespace tallyhost
