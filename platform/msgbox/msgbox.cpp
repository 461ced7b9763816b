#include "msgbox.h"

#include <atomic>

namespace msgbox {
namespace {

std::mutex g_mu;
std::shared_ptr<MessageBoxService> g_service;

thread_local bool t_wait_open = false;
thread_local std::chrono::steady_clock::time_point t_wait_start;

}  // namespace

std::shared_ptr<MessageBoxService> Install(std::shared_ptr<MessageBoxService> service) {
  std::lock_guard<std::mutex> lock(g_mu);
  auto old = g_service;
  g_service = std::move(service);
  return old;
}

std::shared_ptr<MessageBoxService> Installed() {
  std::lock_guard<std::mutex> lock(g_mu);
  if (!g_service) g_service = std::make_shared<HeadlessMessageBoxes>();
  return g_service;
}

int MsgBox(const std::string& text, int buttons, const std::string& title, Kind kind) {
  return Installed()->Show(text, buttons, title, kind);
}

std::string Describe(const std::string& text, int buttons, const std::string& title) {
  const char* kinds = "[OK]";
  switch (buttons & 7) {
    case vbOKCancel: kinds = "[OK] [Cancel]"; break;
    case vbYesNoCancel: kinds = "[Yes] [No] [Cancel]"; break;
    case vbYesNo: kinds = "[Yes] [No]"; break;
    default: break;
  }
  return "--- " + title + " ---\n" + text + "\n" + kinds;
}

std::string AnswerName(int answer) {
  switch (answer) {
    case vbOK: return "OK";
    case vbCancel: return "Cancel";
    case vbYes: return "Yes";
    case vbNo: return "No";
    default: return std::to_string(answer);
  }
}

namespace {
std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);
}  // namespace

void RequestStop() { g_stop_requested.store(true); }
bool StopRequested() { return g_stop_requested.load(); }

std::chrono::steady_clock::duration CurrentWait() {
  if (!t_wait_open) return {};
  return std::chrono::steady_clock::now() - t_wait_start;
}

WaitScope::WaitScope() : saved_(t_wait_start), had_saved_(t_wait_open) {
  // A scope inside another belongs to the same wait: the outer one's start
  // stands.
  if (t_wait_open) return;
  t_wait_open = true;
  t_wait_start = std::chrono::steady_clock::now();
}

WaitScope::~WaitScope() {
  t_wait_open = had_saved_;
  t_wait_start = saved_;
}

}  // namespace msgbox
