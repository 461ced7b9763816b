#include "process_kit.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "schema.h"
#include "test_env.h"

namespace datapath {

Tmpfs::Tmpfs(const std::string& f, const std::string& size) : folder(f) {
  std::filesystem::create_directories(folder);
  if (::mount("tmpfs", folder.c_str(), "tmpfs", 0, ("size=" + size).c_str()) != 0) error = std::strerror(errno);
}

Tmpfs::~Tmpfs() {
  if (error.empty()) ::umount2(folder.c_str(), MNT_DETACH);
}

bool Tmpfs::Resize(const std::string& size) {
  return ::mount("tmpfs", folder.c_str(), "tmpfs", MS_REMOUNT, ("size=" + size).c_str()) == 0;
}

std::string Bin(const std::string& program) { return testkit::BinaryFolder() + "/" + program; }

Listener::Listener(const std::string& folder, std::vector<Entry> entries,
                   const std::vector<std::string>& env)
    : folder_(folder), entries_(std::move(entries)), env_(env) {
  std::filesystem::create_directories(ProgramFolder());
  std::filesystem::create_directories(folder_ + "/registry");
  std::string cfg;
  for (const Entry& e : entries_)
    cfg += "Port=" + std::to_string(e.port) + ",Database=" + e.connection +
           ",Logon=False,Log=" + folder_ + "/Process.log\r\n";
  testkit::WriteFile(ProgramFolder() + "/connections.cfg", cfg);
  env_.push_back("XDG_DATA_HOME=" + folder_ + "/data");
  env_.push_back("TALLY_REGISTRY=" + folder_ + "/registry");
}

bool Listener::Start(const std::vector<std::string>& env) {
  Launch(env);
  return WaitStarted();
}

void Listener::Launch(const std::vector<std::string>& env) {
  const std::string out = folder_ + "/listener-" + std::to_string(++run_) + ".txt";
  std::vector<std::string> args = {Bin("tallyhost"), "headless=1", "logout=" + logout};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<std::string> all = env_;
  all.insert(all.end(), env.begin(), env.end());
  child_ = Child(args, out, all);
}

bool Listener::WaitStarted() {
  const std::string out = folder_ + "/listener-" + std::to_string(run_) + ".txt";
  // The about line is the first line on standard output once start-up is done.
  return WaitFor(
      [&] { return !child_.Running() || testkit::ReadFile(out).find('\n') != std::string::npos; },
      std::chrono::seconds(30)) &&
         child_.Running();
}

double Listener::Stop(int sig) {
  auto start = std::chrono::steady_clock::now();
  child_.Signal(sig);
  if (child_.Wait(std::chrono::seconds(60)) < 0) return -1;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Listener::Output() const {
  std::string all;
  for (int i = 1; i <= run_; ++i) all += testkit::ReadFile(folder_ + "/listener-" + std::to_string(i) + ".txt");
  return all;
}

std::string Listener::SpoolFile(int port) const {
  return ProgramFolder() + "/spool/port-" + std::to_string(port) + ".spool";
}

long Listener::RssKb(const char* field) const {
  std::ifstream in("/proc/" + std::to_string(child_.pid()) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
  return -1;
}

Sender::Sender(int port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)), port_(port) {}
Sender::~Sender() { ::close(fd_); }

void Sender::Send(const std::vector<uint8_t>& bytes) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port_));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  while (::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0 &&
         (errno == EAGAIN || errno == ENOBUFS || errno == EINTR))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

namespace {
using datagram::RecordLine;
}  // namespace

std::vector<std::vector<uint8_t>> Game(const std::string& host, int scores, size_t max_bytes,
                                       int players, bool end, uint32_t first_packet) {
  datagram::Builder log;
  log.server_vars = {{"hostname", host}, {"$HOST_IP$", "198.51.100.7"}, {"port", "27960"}};
  log.packet_number = first_packet;
  auto name = [&](int i) { return host + " player " + std::to_string(i); };
  auto& r = log.records;
  r = {RecordLine({"", "", "StdLog", "1.2"}), RecordLine({"", "", "PatchName", "Testmod 1"}),
       RecordLine({"", "", "LogDate", "12/31/1999"}), RecordLine({"", "", "LogTime", "13:45:10"}),
       RecordLine({"", "", "Map", "q3dm17"}), RecordLine({"", "", "GameStart"})};
  for (int i = 0; i < players; ++i)
    r.push_back(RecordLine({"", "", "PlayerConnect", name(i), i % 2 ? "Red" : "Blue", std::to_string(i)}));
  for (int k = 0; k < scores; ++k) {
    int a = (k * 7) % players, b = (k * 3 + 1) % players;
    const bool suicide = k % 11 == 5;
    r.push_back(RecordLine({name(a), suicide ? name(a) : name(b), suicide ? "Suicide" : "Kill",
                     "Weapon " + std::to_string(k % 9), suicide ? "-1" : "1",
                     std::to_string(20 + k) + ".5"}));
  }
  if (end) r.push_back(RecordLine({"", "", "GameEnd", "", "", std::to_string(30 + scores)}));
  for (int i = 0; i < players; ++i) log.player_var_lines.push_back("netname \"" + name(i) + "\"");
  return datagram::SplitBytes(log, max_bytes);
}

uint64_t SpooledBytes(const std::vector<uint8_t>& datagram) {
  return 28 + 17 + 9 + datagram.size();   // record header, fields, "127.0.0.1"
}

long long ScoreRecords(const std::vector<uint8_t>& datagram) {
  const std::string s(datagram.begin(), datagram.end());
  long long n = 0;
  for (const char* type : {"\tKill\t", "\tSuicide\t", "\tPlayerConnect\t"})
    for (size_t at = s.find(type); at != std::string::npos; at = s.find(type, at + 1)) ++n;
  return n;
}

Child StartFeed(const std::string& log, const std::string& cs, const std::vector<std::string>& files,
                const std::string& out, const std::vector<std::string>& options,
                const std::vector<std::string>& env) {
  std::vector<std::string> argv = {Bin("tallyfeed")};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.insert(argv.end(), {"--log-path", log, cs});
  argv.insert(argv.end(), files.begin(), files.end());
  return Child(argv, out, env);
}

std::vector<std::string> WriteDatagrams(const std::string& folder, const std::string& prefix,
                                        const std::vector<std::vector<uint8_t>>& datagrams) {
  std::filesystem::create_directories(folder);
  std::vector<std::string> paths;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%04zu.bin", i);
    paths.push_back(folder + "/" + prefix + name);
    testkit::WriteFile(paths.back(), std::string(datagrams[i].begin(), datagrams[i].end()));
  }
  return paths;
}

void CreateDatabase(const std::string& path) {
  testkit::Touch(path);
  schema::CreateDatabaseTables("Provider=SQLite;Pooling=False;Data Source=" + path);
}

std::string SqliteCs(const std::string& path, const std::string& extra) {
  return "Provider=SQLite;Data Source=" + path + extra;
}

namespace {
std::vector<std::string> Tables(const std::string& db) {
  std::vector<std::string> out;
  for (auto& row : testkit::SqlRows(db, "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"))
    out.push_back(row[0]);
  return out;
}
}  // namespace

std::map<std::string, long long> Counts(const std::string& db) {
  std::map<std::string, long long> out;
  for (const std::string& t : Tables(db)) out[t] = CountOf(db, "SELECT count(*) FROM \"" + t + "\"");
  return out;
}

std::map<std::string, std::vector<std::string>> Dump(const std::string& db) {
  std::map<std::string, std::vector<std::string>> out;
  for (const std::string& t : Tables(db)) {
    std::string columns;
    for (auto& row : testkit::SqlRows(db, "SELECT name FROM pragma_table_info('" + t + "')")) {
      if (row[0] == "Log_Date" || row[0] == "Date_Time") continue;
      columns += std::string(columns.empty() ? "\"" : ",\"") + row[0] + "\"";
    }
    auto& rows = out[t];
    for (auto& row : testkit::SqlRows(db, "SELECT " + columns + " FROM \"" + t + "\"")) {
      std::string line;
      for (auto& v : row) line += v + "|";
      rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
  }
  return out;
}

std::string IntegrityCheck(const std::string& db) {
  auto rows = testkit::SqlRows(db, "PRAGMA integrity_check");
  std::string out;
  for (auto& r : rows) out += r[0] + "\n";
  return out;
}

long long CountOf(const std::string& db, const std::string& sql) {
  auto rows = testkit::SqlRows(db, sql);
  return rows.empty() ? -1 : std::atoll(rows[0][0].c_str());
}

void WaitStored(const std::string& db, long long n, std::chrono::seconds timeout) {
  WaitFor([&] { return CountOf(db, "SELECT count(*) FROM Logs") >= n; }, timeout,
          std::chrono::milliseconds(100));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_EQ(CountOf(db, "SELECT count(*) FROM Logs"), n);
}

}  // namespace datapath
