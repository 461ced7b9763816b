// msgbox: the process-wide message box service.
//
// MsgBox shows a modal box with fixed buttons and returns the button chosen,
// with the designed platform's codes. The caller tells the service which
// kind of box it shows, so that a service that answers by itself (the
// headless policy) never has to recognise a box by its wording. The service behind it is installed once
// per process: the windowed listener installs a Qt one, a headless run the
// HeadlessMessageBoxes policy, tests the test kit's scripted one. Until one is
// installed, the headless policy answers.
//
// WaitScope marks one wait at a locked database (a statement's, or a whole
// processing pass's), so that the headless policy can answer the lock prompt
// by how long it has lasted. Scopes nest; the outermost one's start counts.
//
// Thread safety: install the service before other threads use MsgBox; the
// services themselves serialise their own state.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace msgbox {

// Buttons (the low bits of the style).
constexpr int vbOKOnly = 0;
constexpr int vbOKCancel = 1;
constexpr int vbYesNoCancel = 3;
constexpr int vbYesNo = 4;
// Results.
constexpr int vbOK = 1;
constexpr int vbCancel = 2;
constexpr int vbYes = 6;
constexpr int vbNo = 7;

// What a box is for.
enum class Kind {
  Message,      // any box not named below
  LockPrompt,   // "Record is Locked" after a lasting lock conflict
};

class MessageBoxService {
 public:
  virtual ~MessageBoxService() = default;
  virtual int Show(const std::string& text, int buttons, const std::string& title, Kind kind) = 0;
};

// Installs the process-wide service; returns the previous one.
std::shared_ptr<MessageBoxService> Install(std::shared_ptr<MessageBoxService> service);
std::shared_ptr<MessageBoxService> Installed();

int MsgBox(const std::string& text, int buttons, const std::string& title,
           Kind kind = Kind::Message);

// The text every box starts with when it is written to a log: title, text
// (line breaks kept) and the buttons.
std::string Describe(const std::string& text, int buttons, const std::string& title);
std::string AnswerName(int answer);

// The time since the outermost open WaitScope on this thread began; zero
// when none is open.
std::chrono::steady_clock::duration CurrentWait();

// The program is ending: the headless policy stops waiting at locks (it
// answers the lock prompt No), so that a running pass ends soon. Safe to call
// from a signal handler.
void RequestStop();
bool StopRequested();

class WaitScope {
 public:
  WaitScope();
  ~WaitScope();
  WaitScope(const WaitScope&) = delete;
  WaitScope& operator=(const WaitScope&) = delete;

 private:
  std::chrono::steady_clock::time_point saved_;
  bool had_saved_;
};

// Headless policy: OK boxes are written to standard error; the lock prompt
// (Kind::LockPrompt) is answered Yes while the current WaitScope has lasted
// less than the budget and no stop is requested, then No; every other question is answered No (Cancel for an
// OK/Cancel box). Each answer is written to standard error after the box.
// The budget defaults to $TALLY_LOCK_BUDGET seconds, else 60 seconds.
class HeadlessMessageBoxes : public MessageBoxService {
 public:
  static std::chrono::milliseconds DefaultLockBudget();
  explicit HeadlessMessageBoxes(std::chrono::milliseconds lock_budget = DefaultLockBudget());
  int Show(const std::string& text, int buttons, const std::string& title, Kind kind) override;

 private:
  std::chrono::milliseconds lock_budget_;
  std::mutex mu_;
};

}  // namespace msgbox
