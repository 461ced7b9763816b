#include "scripted_boxes.h"

namespace testkit {

void ScriptedMessageBoxes::Push(int answer) {
  std::lock_guard<std::mutex> lock(mu_);
  answers_.push_back(answer);
}

void ScriptedMessageBoxes::OnShow(std::function<void(const std::string& title)> hook) {
  std::lock_guard<std::mutex> lock(mu_);
  hook_ = std::move(hook);
}

int ScriptedMessageBoxes::Show(const std::string& text, int buttons, const std::string& title,
                               msgbox::Kind kind) {
  std::function<void(const std::string&)> hook;
  {
    std::lock_guard<std::mutex> lock(mu_);
    hook = hook_;
  }
  if (hook) hook(title);
  std::lock_guard<std::mutex> lock(mu_);
  int answer;
  if (!answers_.empty()) {
    answer = answers_.front();
    answers_.pop_front();
  } else {
    answer = (buttons & 7) == msgbox::vbOKOnly ? msgbox::vbOK : msgbox::vbCancel;
  }
  shown_.push_back({text, buttons, title, answer, kind});
  return answer;
}

std::vector<ScriptedMessageBoxes::Shown> ScriptedMessageBoxes::shown() const {
  std::lock_guard<std::mutex> lock(mu_);
  return shown_;
}

void ScriptedMessageBoxes::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  shown_.clear();
  answers_.clear();
}

}  // namespace testkit
