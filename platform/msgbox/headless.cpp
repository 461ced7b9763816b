#include <cstdio>
#include <cstdlib>

#include "env.h"
#include "msgbox.h"

namespace msgbox {

std::chrono::milliseconds HeadlessMessageBoxes::DefaultLockBudget() {
  if (std::string v = env::VariableOr("TALLY_LOCK_BUDGET", ""); !v.empty()) {
    char* end = nullptr;
    double seconds = std::strtod(v.c_str(), &end);
    if (*end == '\0' && seconds >= 0 && seconds <= 86400)
      return std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  }
  return std::chrono::seconds(60);
}

HeadlessMessageBoxes::HeadlessMessageBoxes(std::chrono::milliseconds lock_budget)
    : lock_budget_(lock_budget) {}

int HeadlessMessageBoxes::Show(const std::string& text, int buttons, const std::string& title,
                               Kind kind) {
  std::lock_guard<std::mutex> lock(mu_);
  int answer;
  switch (buttons & 7) {
    case vbOKOnly:
      answer = vbOK;
      break;
    case vbOKCancel:
      answer = vbCancel;
      break;
    default: {
      answer = kind == Kind::LockPrompt && !StopRequested() && CurrentWait() < lock_budget_ ? vbYes : vbNo;
      break;
    }
  }
  std::string out = Describe(text, buttons, title) + "\nAnswer: " + AnswerName(answer) + "\n";
  std::fwrite(out.data(), 1, out.size(), stderr);
  std::fflush(stderr);
  return answer;
}

}  // namespace msgbox
