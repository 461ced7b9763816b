// A headless Chromium driven over WebDriver (chromedriver, Debian's
// chromium-driver) with cpp-httplib and nlohmann-json: pages loaded, scripts
// run in them, screenshots taken.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <memory>
#include <string>

#include "test_env.h"

namespace webtest {

class Browser {
 public:
  // A window `width` x `height` CSS pixels; `phone`: a phone's screen of
  // that size (mobile viewport rules, touch), else a desktop window. The
  // browser's profile and chromedriver's log go under `work_dir`.
  Browser(const std::string& work_dir, int width, int height, bool phone);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // Whether the session started; why not, when it did not.
  bool ok() const { return !session_.empty(); }
  const std::string& error() const { return error_; }

  void Go(const std::string& url);   // loads it and waits for the document to be complete
  // Runs `script` (a function body; `return` gives the value) in the page.
  nlohmann::json Eval(const std::string& script);
  // A PNG of the whole page (its full height) written to `path`.
  bool Screenshot(const std::string& path);
  // Asks `script` until it gives true, for at most `bound`.
  bool WaitFor(const std::string& script, std::chrono::milliseconds bound = std::chrono::seconds(30));

 private:
  nlohmann::json Command(const std::string& method, const std::string& path, const nlohmann::json& body = nullptr);
  std::string work_dir_, session_, error_;
  int port_ = 0;
  testkit::Child driver_;
};

}  // namespace webtest
