#include "web_fixture.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "datagram_builder.h"

namespace webtest {

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string Sqlite(const std::string& path) { return "Provider=SQLite;Data Source=" + path; }

void Store(const std::string& db_path, const Feed& feed, const std::string& work_dir, size_t max_bytes,
           const std::string& extra_args) {
  datagram::Builder log;
  log.server_vars = {{"hostname", feed.hostname}, {"$HOST_IP$", feed.ip}, {"port", feed.port}};
  log.records = feed.records;
  log.player_var_lines = feed.player_vars;
  log.packet_number = feed.first_packet;
  std::string files;
  int n = 0;
  for (const auto& bytes : datagram::SplitBytes(log, max_bytes)) {
    const std::string file = work_dir + "/dg" + feed.port + "_" + std::to_string(feed.first_packet) + "_" + std::to_string(++n);
    testkit::WriteFile(file, std::string(bytes.begin(), bytes.end()));
    files += " " + Quote(file);
  }
  int status = 0;
  std::string out = testkit::RunShell(testkit::BinaryFolder() + "/tallyfeed --create-tables " + extra_args + " --log-path " + Quote(work_dir + "/Process.log") +
                            " " + Quote(Sqlite(db_path)) + files + " 2>&1",
                        &status);
  ASSERT_EQ(status, 0) << out;
}

Feed AlphaGame() {
  Feed f{"Alpha", "10.0.0.1", "27910", {}, {}, 1};
  f.records = {
      "\t\tStdLog\t1.2\t\t0",
      "\t\tLogDate\t03/01/2026\t\t0",
      "\t\tLogTime\t13:45:10\t\t0",
      "\t\tMap\tq2dm1\t\t0",
      "\t\tPlayerConnect\tO'Neil\tRed\t1",
      "\t\tPlayerConnect\t<script>alert(1)</script>\tBlue\t2",
      "\t\tPlayerConnect\tBob\tBlue\t3",
      "O'Neil\t<script>alert(1)</script>\tKill\tRocket\t1\t10",
      "O'Neil\tBob\tKill\tRocket\t1\t11",
      "<script>alert(1)</script>\tO'Neil\tKill\tRailgun\t1\t12",
      "Bob\tBob\tSuicide\tRocket\t-1\t13",
      "\t\tPlayerTeamChange\tBob\tRed\t14",
      "Bob\t<script>alert(1)</script>\tKill\tRailgun\t2\t15",
      "\t\tPlayerRename\tBob\tRobert\t16",
      "Robert\tO'Neil\tKill\tRocket\t1\t17",
      "O'Neil\tRobert\tTeamKill\tRocket\t-2\t18",
      "\t\tGameEnd\t\t\t20",
  };
  return f;
}

Feed BravoGame() {
  Feed f{"Bravo's <b>", "10.0.0.2", "27911", {}, {}, 1};
  const std::string img = "<img src=x onerror=alert(1)>";
  f.records = {
      "\t\tLogDate\t03/02/2026\t\t0",
      "\t\tLogTime\t09:00:00\t\t0",
      "\t\tMap\tq2dm2\t\t0",
      "\t\tPlayerConnect\tRobert\tRed\t1",
      "\t\tPlayerConnect\t" + img + "\tBlue\t2",
      "Robert\t" + img + "\tKill\tBlaster\t1\t5",
      img + "\tRobert\tKill\tBlaster\t1\t6",
      img + "\tRobert\tKill\tRocket\t1\t7",
      img + "\t" + img + "\tSuicide\tRocket\t-1\t8",
      "\t\tPlayerLeft\tRobert\t\t9",
  };
  f.player_vars = {"netname \"Robert\"", "name \"Robbie\"", "skin \"male/grunt\""};
  return f;
}

std::string HandWorkedDatabase(const std::string& dir, bool bravo) {
  const std::string db = dir + "/stats.db";
  testkit::Touch(db);
  Store(db, AlphaGame(), dir);
  if (bravo) Store(db, BravoGame(), dir);
  return db;
}

Web::Web(const std::string& connection_string, const std::string& summaries, int refresh_seconds)
    : run_(summaries + ".run" + std::to_string(++runs_)),
      child_({testkit::BinaryFolder() + "/tallyweb", "--listen", "127.0.0.1:0", "--refresh",
              std::to_string(refresh_seconds), "--summaries", summaries, connection_string},
             run_ + ".out", {}, run_ + ".err") {
  // The first line names the port.
  std::string out;
  for (int i = 0; i < 6000 && child_.Running() && (out = child_.Out()).find('\n') == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const size_t at = out.find("http://127.0.0.1:");
  if (at != std::string::npos) port_ = std::atoi(out.c_str() + at + 17);
  if (port_ == 0) ADD_FAILURE() << "tallyweb did not start: " << out << child_.Err();
}

Web::~Web() {
  child_.Signal(SIGTERM);
  child_.Wait();
}

int Web::Request(const std::string& path, std::string* body, const std::string& method) {
  httplib::Client client("127.0.0.1", port_);
  client.set_read_timeout(10, 0);
  httplib::Result r = method == "GET"    ? client.Get(path.c_str())
                      : method == "HEAD" ? client.Head(path.c_str())
                      : method == "POST" ? client.Post(path.c_str(), "x", "text/plain")
                                         : client.Delete(path.c_str());
  if (!r) return 0;
  if (body) *body = r->body;
  return r->status;
}

nlohmann::json Web::Json(const std::string& path) {
  std::string body;
  int status = Request(path, &body);
  EXPECT_EQ(status, 200) << path << ": " << body;
  if (status != 200) return nlohmann::json();
  return nlohmann::json::parse(body);
}

nlohmann::json Pick(const nlohmann::json& j, const std::vector<std::string>& keys) {
  nlohmann::json out = nlohmann::json::object();
  for (const std::string& k : keys) out[k] = j.contains(k) ? j[k] : nullptr;
  return out;
}

}  // namespace webtest
