#include "box_throttle.h"

#include <cstdio>

#include "entry_status.h"

namespace tallyhost {

namespace {
constexpr size_t kMaxTracked = 4096;
thread_local std::string t_sender;
thread_local bool t_has_sender = false;

std::string FirstLine(const std::string& text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}
}  // namespace

SenderScope::SenderScope(const std::string& sender) : saved_(t_sender), had_saved_(t_has_sender) {
  t_sender = sender;
  t_has_sender = true;
}

SenderScope::~SenderScope() {
  t_sender = saved_;
  t_has_sender = had_saved_;
}

ThrottledMessageBoxes::ThrottledMessageBoxes(std::shared_ptr<msgbox::MessageBoxService> inner, Clock clock)
    : inner_(std::move(inner)), clock_(std::move(clock)) {}

int ThrottledMessageBoxes::Show(const std::string& text, int buttons, const std::string& title,
                                msgbox::Kind kind) {
  if ((buttons & 7) != msgbox::vbOKOnly || !t_has_sender) return inner_->Show(text, buttons, title, kind);
  const std::string sender = t_sender;
  const auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
  std::string line;
  std::function<void(const std::string&)> hook, write;
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto key = std::make_tuple(sender, title, text);
    auto it = seen_.find(key);
    if (it == seen_.end() || now - it->second.shown >= kEvery) {
      if (it == seen_.end() && seen_.size() >= kMaxTracked) seen_.clear();
      seen_[key] = Seen{now, 0};
    } else {
      const uint64_t n = ++it->second.repeats;
      ++suppressed_[sender];
      ++total_;
      line = "repeated message for " + sender + " not shown (" + std::to_string(n) +
             " since it was shown): " + title + ": " + FirstLine(text);
      hook = hook_;
      write = write_;
    }
  }
  if (line.empty()) return inner_->Show(text, buttons, title, kind);
  if (write) {
    write(line);
  } else {
    std::fprintf(stderr, "Tallyhost: %s\n", line.c_str());
    std::fflush(stderr);
  }
  if (hook) hook(sender);
  return msgbox::vbOK;
}

uint64_t ThrottledMessageBoxes::Suppressed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

uint64_t ThrottledMessageBoxes::Suppressed(const std::string& sender) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = suppressed_.find(sender);
  return it == suppressed_.end() ? 0 : it->second;
}

void ThrottledMessageBoxes::OnSuppressed(std::function<void(const std::string&)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

void ThrottledMessageBoxes::SetWriter(std::function<void(const std::string&)> write) {
  std::lock_guard<std::mutex> lock(mu_);
  write_ = std::move(write);
}

std::shared_ptr<ThrottledMessageBoxes> InstallThrottledBoxes(std::shared_ptr<msgbox::MessageBoxService> inner) {
  auto throttled = std::make_shared<ThrottledMessageBoxes>(std::move(inner));
  throttled->OnSuppressed([](const std::string& sender) { TheEntryStatus().OnBoxNotShown(sender); });
  msgbox::Install(throttled);
  return throttled;
}

}  // namespace tallyhost
