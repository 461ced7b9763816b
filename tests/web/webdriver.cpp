#include "webdriver.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <filesystem>

#include "web_fixture.h"

namespace webtest {

using json = nlohmann::json;

Browser::Browser(const std::string& work_dir, int width, int height, bool phone) : work_dir_(work_dir) {
  std::filesystem::create_directories(work_dir);
  port_ = testkit::HeldPort(SOCK_STREAM).port;
  driver_ = testkit::Child({"/usr/bin/chromedriver", "--port=" + std::to_string(port_)}, work_dir + "/chromedriver.log");
  const bool up = testkit::Eventually([&] {
    httplib::Client c("127.0.0.1", port_);
    auto r = c.Get("/status");
    return r && r->status == 200 && json::parse(r->body, nullptr, false).value("value", json::object()).value("ready", false);
  });
  if (!up) {
    error_ = "chromedriver did not start: " + driver_.Out();
    return;
  }
  json options = {{"binary", "/usr/bin/chromium"},
                  {"args", {"--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                            "--disable-quic", "--no-first-run", "--disable-background-networking",
                            "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                            "--user-data-dir=" + work_dir + "/profile",
                            "--window-size=" + std::to_string(width) + "," + std::to_string(height)}}};
  if (phone)
    options["mobileEmulation"] = {{"deviceMetrics", {{"width", width}, {"height", height}, {"pixelRatio", 1.0},
                                                     {"mobile", true}, {"touch", true}}}};
  const json r = Command("POST", "/session",
                         {{"capabilities", {{"alwaysMatch", {{"browserName", "chrome"}, {"goog:chromeOptions", options}}}}}});
  if (r.contains("sessionId")) session_ = r["sessionId"];
  else error_ = "no session: " + r.dump();
  if (ok() && !phone) Command("POST", "/window/rect", {{"width", width}, {"height", height}});
}

Browser::~Browser() {
  if (ok()) Command("DELETE", "");
  driver_.Signal(SIGTERM);
  driver_.Wait(std::chrono::seconds(30));
}

json Browser::Command(const std::string& method, const std::string& path, const json& body) {
  httplib::Client c("127.0.0.1", port_);
  c.set_read_timeout(120, 0);
  const std::string full = (path == "/session" ? "" : "/session/" + session_) + path;
  httplib::Result r = method == "GET"      ? c.Get(full.c_str())
                      : method == "DELETE" ? c.Delete(full.c_str())
                                           : c.Post(full.c_str(), body.is_null() ? "{}" : body.dump(), "application/json");
  if (!r) return json{{"error", "no answer from chromedriver"}};
  const json answer = json::parse(r->body, nullptr, false);
  if (answer.is_discarded()) return json{{"error", r->body}};
  if (r->status != 200) ADD_FAILURE() << method << " " << path << ": " << r->status << " " << r->body.substr(0, 2000);
  return answer.value("value", json());
}

void Browser::Go(const std::string& url) {
  Command("POST", "/url", {{"url", url}});   // returns once the page has loaded
}

json Browser::Eval(const std::string& script) {
  return Command("POST", "/execute/sync", {{"script", script}, {"args", json::array()}});
}

bool Browser::WaitFor(const std::string& script, std::chrono::milliseconds bound) {
  return testkit::Eventually([&] { return Eval(script) == true; }, bound, std::chrono::milliseconds(100));
}

bool Browser::Screenshot(const std::string& path) {
  // The whole page, not only what the window shows.
  const json size = Eval("return [document.documentElement.scrollWidth, document.documentElement.scrollHeight];");
  json shot = Command("POST", "/goog/cdp/execute",
                      {{"cmd", "Page.captureScreenshot"},
                       {"params", {{"format", "png"}, {"captureBeyondViewport", true},
                                   {"clip", {{"x", 0}, {"y", 0}, {"width", size[0]}, {"height", size[1]}, {"scale", 1}}}}}});
  if (!shot.contains("data")) return false;
  // Base64 decoded by coreutils' base64 rather than by hand.
  const std::string b64 = path + ".b64";
  testkit::WriteFile(b64, shot["data"].get<std::string>());
  int status = -1;
  testkit::RunShell("base64 -d < " + Quote(b64) + " > " + Quote(path), &status);
  std::filesystem::remove(b64);
  return status == 0 && testkit::ReadFile(path).rfind("\x89PNG", 0) == 0;
}

}  // namespace webtest
