#include "replay_archive.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <stdexcept>

#include "ado.h"
#include "com.h"
#include "datetime.h"
#include "env.h"
#include "schema.h"
#include "score_class.h"
#include "client/pass_properties.h"

namespace replay {
namespace {

constexpr int64_t kBatch = 500;   // source rows read at a time

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

struct Row {
  int64_t record = 0;
  std::string ip;
  int32_t port = 0;
  std::optional<std::vector<uint8_t>> data;
  std::optional<double> received;
  std::string problem;   // a value that cannot be read (the row is reported, not replayed)
};

Row ReadRow(ado::Recordset& rs) {
  Row r;
  r.record = rs.Field("Record").AsInteger();
  ado::Value ip = rs.Field("Log_IP"), port = rs.Field("Log_Port"), data = rs.Field("Log_Data"),
             date = rs.Field("Log_Date");
  const char* column = "Log_IP";
  try {
    if (!ip.IsNull()) r.ip = ip.AsText();
    column = "Log_Port";
    if (!port.IsNull()) r.port = static_cast<int32_t>(port.AsInteger());
    column = "Log_Data";
    if (!data.IsNull()) r.data = data.type() == ado::Value::Type::Bytes
                                     ? data.AsBytes()
                                     : std::vector<uint8_t>(data.AsText().begin(), data.AsText().end());
    column = "Log_Date";
    if (!date.IsNull()) r.received = date.AsDateTime();
  } catch (const ado::Error& e) {
    // Written by another program: reported by its Record, and the replay goes on.
    r.problem = std::string("its ") + column + " cannot be read (" + e.Description() + ")";
  }
  return r;
}

bool SameDatagram(const Row& a, const Row& b) { return a.ip == b.ip && a.port == b.port && a.data == b.data; }

int64_t Scalar(ado::Connection& c, const std::string& select) {
  auto rs = c.Execute(select);
  if (rs->Eof()) return 0;
  ado::Value v = rs->Field("N");
  return v.IsNull() ? 0 : v.AsInteger();
}

std::vector<Row> Rows(ado::Connection& c, const std::string& select) {
  std::vector<Row> out;
  auto rs = c.Execute(select);
  for (; !rs->Eof(); rs->MoveNext()) out.push_back(ReadRow(*rs));
  return out;
}

const char kColumns[] = "Select Record, Log_IP, Log_Port, Log_Data, Log_Date From Logs ";

std::string DateLiteral(double serial) { return "#" + datetime::FormatFull(serial) + "#"; }

// The source Record after which the replay goes on: 0 when the target's
// archive is empty. Throws std::runtime_error when the target holds a
// datagram that the source does not.
int64_t ResumeAfter(ado::Connection& from, ado::Connection& to) {
  const int64_t last = Scalar(to, "Select Max(Record) As N From Logs");
  if (last == 0) return 0;
  std::vector<Row> mine = Rows(to, std::string(kColumns) + "where Record=" + std::to_string(last));
  if (mine.empty() || !mine[0].received)
    throw std::runtime_error("the target's last Logs row (Record " + std::to_string(last) +
                             ") has no receipt time, so it is no replay of an archive");
  const Row& target = mine[0];
  const std::string when = "where Log_Date=" + DateLiteral(*target.received) + " Order By Record";
  size_t equal_in_target = 0;
  for (const Row& r : Rows(to, std::string(kColumns) + when))
    if (SameDatagram(r, target)) ++equal_in_target;
  size_t seen = 0;
  for (const Row& r : Rows(from, std::string(kColumns) + when)) {
    if (SameDatagram(r, target) && ++seen == equal_in_target) return r.record;
  }
  throw std::runtime_error("the target's archive holds a datagram (its Logs Record " + std::to_string(last) +
                           ") that the source does not: replay into a new database");
}

std::string Clock(double seconds) {
  if (!(seconds >= 0) || seconds > 359999) return "--:--:--";
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

class Progress {
 public:
  Progress(int64_t total, int64_t done) : total_(total), start_done_(done), tty_(::isatty(2)) {}
  void Show(int64_t done, bool last = false) {
    const auto now = std::chrono::steady_clock::now();
    const double since_shown = std::chrono::duration<double>(now - shown_).count();
    if (!last && since_shown < (tty_ ? 0.5 : 5.0)) return;
    shown_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? static_cast<double>(done - start_done_) / elapsed : 0;
    char buf[160];
    std::snprintf(buf, sizeof buf, "replayed %lld / %lld rows, %.1f rows/s, %s left", static_cast<long long>(done),
                  static_cast<long long>(total_), rate,
                  Clock(rate > 0 ? static_cast<double>(total_ - done) / rate : -1).c_str());
    std::cerr << (tty_ ? "\r" : "") << buf << (tty_ && !last ? "" : "\n") << std::flush;
  }

 private:
  int64_t total_, start_done_;
  bool tty_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now(), shown_{};
};

// Thrown when a pass could not begin (the target cannot be opened or
// written, or stays locked): nothing of the row is stored, so the replay
// stops there and a later run takes the row again.
struct Deferred : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Hands one archived datagram to the engine; empty when it completed, else
// why not.
std::string Process(const Options& o, const Row& row) {
  if (!row.problem.empty()) return row.problem;
  if (!row.data) return "the row holds no datagram";
  com::ComPtr<tallycore::_Score_Class> engine;
  std::string why;
  if (com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                            reinterpret_cast<void**>(engine.Receive()), tallycore::kLibraryName, &why) != com::S_OK)
    throw std::runtime_error("cannot create the engine: " + why);
  std::optional<env::ProcessingTimeScope> at;
  if (row.received) at.emplace(*row.received);
  const tallycore::PassRun run =
      tallycore::RunPass(*engine.get(), {o.to, o.listen_port, row.ip, row.port, o.log_path, 0, *row.data});
  const std::string failure = run.Failure();
  const tallycore::PassOutcome& outcome = run.outcome;
  if (outcome.deferred) throw Deferred(failure.empty() ? "the target database cannot be written now" : failure);
  if (!failure.empty()) return failure;
  if (outcome.stopped) return "processing stopped at a prompt";
  if (!outcome.completed) return "the pass ended without completing";
  if (!outcome.ignored.empty()) {
    std::string ignored = "statement(s) ignored:";
    for (const std::string& st : outcome.ignored) ignored += " \"" + st + "\"";
    return ignored;
  }
  return "";
}

}  // namespace

int ReplayArchive(const Options& o) {
  if (o.from == o.to) {
    std::cerr << "tallyfeed: --replay-archive needs two different databases\n";
    return 1;
  }
  g_stop = false;
  struct sigaction sa {};
  sa.sa_handler = &OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);

  ado::Connection from, to;
  int64_t after = 0, total = 0, done = 0;
  try {
    from.Open(o.from);
    schema::CreateDatabaseTables(o.to);
    to.Open(o.to);
    after = ResumeAfter(from, to);
    to.Close();
    total = Scalar(from, "Select Count(*) As N From Logs");
    done = Scalar(from, "Select Count(*) As N From Logs where Record <= " + std::to_string(after));
  } catch (const std::exception& e) {
    std::cerr << "tallyfeed: cannot replay: " << e.what() << "\n";
    return 1;
  }
  if (after > 0)
    std::cerr << "tallyfeed: resuming after source Record " << after << " (" << done << " rows done before)\n";

  Progress progress(total, done);
  int failures = 0;
  try {
    while (!g_stop) {
      const int64_t first = Scalar(from, "Select Min(Record) As N From Logs where Record > " + std::to_string(after));
      if (first == 0 && Scalar(from, "Select Count(*) As N From Logs where Record > " + std::to_string(after)) == 0)
        break;
      const std::vector<Row> batch =
          Rows(from, std::string(kColumns) + "where Record >= " + std::to_string(first) + " and Record < " +
                         std::to_string(first + kBatch) + " Order By Record");
      for (const Row& row : batch) {
        if (g_stop) break;
        std::string failure = Process(o, row);
        if (!failure.empty()) {
          std::cerr << (::isatty(2) ? "\n" : "") << "tallyfeed: source Record " << row.record << ": " << failure
                    << "\n";
          ++failures;
        }
        after = row.record;
        progress.Show(++done);
      }
      if (batch.empty()) after = first + kBatch - 1;
    }
  } catch (const std::exception& e) {
    progress.Show(done, true);
    std::cerr << "tallyfeed: replay stopped after source Record " << after << ": " << e.what()
              << (dynamic_cast<const Deferred*>(&e) ? "; the same command resumes there" : "") << "\n";
    return 1;
  }
  progress.Show(done, true);
  if (g_stop) {
    std::cerr << "tallyfeed: interrupted after source Record " << after
              << "; the same command resumes where this run stopped\n";
    return 130;
  }
  if (failures) std::cerr << "tallyfeed: " << failures << " source row(s) failed\n";
  return failures ? 1 : 0;
}

}  // namespace replay
