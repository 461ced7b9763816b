// scripted_boxes: the message box service of tests.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "msgbox.h"

namespace testkit {

// Message boxes for tests (msgbox.h): answers from a queue (an empty queue
// answers OK for OK boxes, else Cancel) and records every box shown.
class ScriptedMessageBoxes : public msgbox::MessageBoxService {
 public:
  struct Shown {
    std::string text;
    int buttons;
    std::string title;
    int answer;
    msgbox::Kind kind;
  };
  void Push(int answer);
  // Called with each box before it is answered (from the showing thread).
  void OnShow(std::function<void(const std::string& title)> hook);
  int Show(const std::string& text, int buttons, const std::string& title, msgbox::Kind kind) override;
  std::vector<Shown> shown() const;
  void Clear();

 private:
  mutable std::mutex mu_;
  std::deque<int> answers_;
  std::vector<Shown> shown_;
  std::function<void(const std::string&)> hook_;
};

}  // namespace testkit
