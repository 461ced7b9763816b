#include "entry_status.h"
#include "text_rules.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "env.h"
#include "sender_gate.h"

namespace tallyhost {

namespace {
constexpr size_t kMaxProblems = 100;
constexpr size_t kMaxServers = 64;

std::string When(std::chrono::system_clock::time_point t) {
  const std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  ::localtime_r(&tt, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

const std::vector<double>& EntryStatus::Buckets() {
  static const std::vector<double> b = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};
  return b;
}

EntryStatus& TheEntryStatus() {
  static EntryStatus status;
  return status;
}

void EntryStatus::AddProblem(int entry, const std::string& text) {
  problems_.push_back(Problem{env::Current().WallClock(), entry, text});
  if (problems_.size() > kMaxProblems) problems_.erase(problems_.begin());
}

void EntryStatus::SetListening(int entry, int32_t port, bool listening, const std::string& why_not) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  e.port = port;
  e.listening = listening;
  if (listening) {
    e.why_not.clear();
  } else if (!why_not.empty() && why_not != e.why_not) {
    e.why_not = why_not;
    AddProblem(entry, "port " + std::to_string(port) + " is not listening: " + why_not);
  }
}

void EntryStatus::Forget(int entry) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.erase(entry);
}

void EntryStatus::SetWaitingSource(int entry, std::function<uint64_t()> source) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_[entry].waiting_source = std::move(source);
}

void EntryStatus::OnReceived(int entry, const std::string& sender) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  ++e.received;
  e.has_last = true;
  e.last_datagram = env::Current().WallClock();
  // A sender with a game server already identified is heard of again when
  // the datagram is (its hostname tells which server); a new sender stands
  // as not identified until then.
  const bool known = std::any_of(e.servers.begin(), e.servers.end(), [&](const auto& kv) {
    return kv.second.address == sender && !kv.second.hostname.empty();
  });
  if (!known) Heard(e, sender, "", e.last_datagram);
}

// Game servers are told apart by address and hostname: several may send
// from one address.
void EntryStatus::Heard(Entry& e, const std::string& sender, const std::string& hostname,
                        std::chrono::system_clock::time_point when) {
  ServerHeard& s = e.servers[sender + '\n' + hostname];
  s.address = sender;
  s.hostname = hostname;
  s.last = when;
  if (e.servers.size() > kMaxServers) {
    auto oldest = std::min_element(e.servers.begin(), e.servers.end(),
                                   [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
    e.servers.erase(oldest);
  }
}

void EntryStatus::OnStored(int entry, const std::string& sender, const std::string& hostname, double seconds,
                           const std::string& incomplete) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  ++e.stored;
  if (!incomplete.empty()) {
    ++e.incomplete;
    AddProblem(entry, "datagram from " + sender + " on port " + std::to_string(e.port) +
                          " stored incompletely: " + Printable(incomplete));
  }
  if (!hostname.empty()) {
    e.servers.erase(sender + '\n');
    Heard(e, sender, hostname, env::Current().WallClock());
  }
  const auto& b = Buckets();
  if (histogram_.empty()) histogram_.assign(b.size() + 1, 0);
  ++histogram_[static_cast<size_t>(std::lower_bound(b.begin(), b.end(), seconds) - b.begin())];
  duration_sum_ += seconds;
  ++duration_count_;
}

void EntryStatus::OnFailed(int entry, const std::string& sender, const std::string& problem, double seconds) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  ++e.failed;
  AddProblem(entry, "datagram from " + sender + " on port " + std::to_string(e.port) + ": " + Printable(problem));
  const auto& b = Buckets();
  if (histogram_.empty()) histogram_.assign(b.size() + 1, 0);
  ++histogram_[static_cast<size_t>(std::lower_bound(b.begin(), b.end(), seconds) - b.begin())];
  duration_sum_ += seconds;
  ++duration_count_;
}

void EntryStatus::OnRefused(int entry) {
  std::lock_guard<std::mutex> lock(mu_);
  ++entries_[entry].refused;
}

void EntryStatus::OnBoxNotShown(const std::string& sender) {
  std::lock_guard<std::mutex> lock(mu_);
  ++boxes_not_shown_[sender];
}

void EntryStatus::SetWaiting(int entry, uint64_t count, const std::string& reason) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  e.waiting = count;
  e.waiting_reason = count ? reason : "";
}

void EntryStatus::OnSkipped(int entry, uint64_t count) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_[entry].skipped += count;
}

void EntryStatus::SetSpoolCap(int entry, uint64_t refused, bool at_cap) {
  std::lock_guard<std::mutex> lock(mu_);
  Entry& e = entries_[entry];
  e.spool_refused = refused;
  e.spool_at_cap = at_cap;
}

void EntryStatus::NoteProblem(int entry, const std::string& text) {
  std::lock_guard<std::mutex> lock(mu_);
  AddProblem(entry, text);
}

std::vector<EntrySnapshot> EntryStatus::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<EntrySnapshot> out;
  for (const auto& [n, e] : entries_) {
    EntrySnapshot s;
    s.entry = n;
    s.port = e.port;
    s.listening = e.listening;
    s.why_not = e.why_not;
    s.received = e.received;
    s.stored = e.stored;
    s.failed = e.failed;
    s.incomplete = e.incomplete;
    s.refused = e.refused;
    s.waiting = e.waiting_source ? std::max(e.waiting, e.waiting_source()) : e.waiting;
    s.waiting_reason = e.waiting_reason;
    s.skipped = e.skipped;
    s.spool_refused = e.spool_refused;
    s.spool_at_cap = e.spool_at_cap;
    s.has_last = e.has_last;
    s.last_datagram = e.last_datagram;
    // Servers are kept by address and host name, messages by address: a
    // sender heard under two host names counts once.
    std::set<std::string> addresses;
    for (const auto& [key, heard] : e.servers) {
      s.servers.push_back(heard);
      addresses.insert(key.substr(0, key.find('\n')));
    }
    for (const std::string& address : addresses) {
      auto b = boxes_not_shown_.find(address);
      if (b != boxes_not_shown_.end()) s.boxes_not_shown += b->second;
    }
    std::sort(s.servers.begin(), s.servers.end(),
              [](const ServerHeard& a, const ServerHeard& b) { return a.last > b.last; });
    out.push_back(std::move(s));
  }
  return out;
}

std::vector<Problem> EntryStatus::Problems() const {
  std::lock_guard<std::mutex> lock(mu_);
  return problems_;
}

void EntryStatus::MarkProblemsRead() {
  std::lock_guard<std::mutex> lock(mu_);
  problems_.clear();
}

void EntryStatus::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
  boxes_not_shown_.clear();
  problems_.clear();
  histogram_.clear();
  duration_sum_ = 0;
  duration_count_ = 0;
}

std::string EntryStatus::Describe() const {
  std::ostringstream out;
  for (const EntrySnapshot& s : Snapshot()) {
    out << "Entry " << s.entry << ", port " << s.port << ": "
        << (s.listening ? "listening" : "not listening" + (s.why_not.empty() ? "" : " (" + s.why_not + ")")) << "\n";
    out << "  received " << s.received << ", stored " << s.stored;
    if (s.incomplete) out << " (incompletely " << s.incomplete << ")";
    out << ", failed " << s.failed << ", waiting "
        << s.waiting << (s.waiting_reason.empty() ? "" : " (" + s.waiting_reason + ")") << ", refused "
        << s.refused;
    if (s.skipped) out << ", skipped as stored before " << s.skipped;
    if (s.spool_at_cap || s.spool_refused)
      out << ", spool " << (s.spool_at_cap ? "at its size cap" : "below its size cap again") << " ("
          << s.spool_refused << " datagrams refused there)";
    if (s.boxes_not_shown) out << ", messages not shown again " << s.boxes_not_shown;
    out << "\n  last datagram: " << (s.has_last ? When(s.last_datagram) : "none") << "\n";
    for (const ServerHeard& h : s.servers) {
      out << "  server ";
      if (h.hostname.empty())
        out << "(not identified)";
      else
        out << '"' << Printable(h.hostname) << '"';
      out << " at " << h.address << ", last heard " << When(h.last) << "\n";
    }
  }
  const std::vector<Problem> problems = Problems();
  if (!problems.empty()) {
    out << "Recent problems (" << problems.size() << " unread):\n";
    for (const Problem& p : problems) out << "  " << When(p.when) << " entry " << p.entry << ": " << p.text << "\n";
  }
  return out.str();
}

std::string EntryStatus::Prometheus(const std::function<uint64_t(int32_t)>& drops) const {
  const std::vector<EntrySnapshot> entries = Snapshot();
  std::ostringstream out;
  auto family = [&](const char* name, const char* type, const char* help,
                    const std::function<std::string(const EntrySnapshot&)>& value) {
    out << "# HELP " << name << " " << help << "\n# TYPE " << name << " " << type << "\n";
    for (const EntrySnapshot& s : entries)
      out << name << "{entry=\"" << s.entry << "\",port=\"" << s.port << "\"} " << value(s) << "\n";
  };
  family("tallyhost_entry_listening", "gauge", "1 when the entry's socket is bound.",
         [](const EntrySnapshot& s) { return std::to_string(s.listening ? 1 : 0); });
  family("tallyhost_datagrams_received_total", "counter", "Datagrams received and admitted.",
         [](const EntrySnapshot& s) { return std::to_string(s.received); });
  family("tallyhost_datagrams_stored_total", "counter", "Datagrams whose processing pass ended normally.",
         [](const EntrySnapshot& s) { return std::to_string(s.stored); });
  family("tallyhost_datagrams_incomplete_total", "counter",
         "Datagrams stored with a statement ignored or stopped at a prompt, or lines skipped.",
         [](const EntrySnapshot& s) { return std::to_string(s.incomplete); });
  family("tallyhost_datagrams_failed_total", "counter", "Datagrams whose processing pass failed.",
         [](const EntrySnapshot& s) { return std::to_string(s.failed); });
  family("tallyhost_datagrams_refused_total", "counter", "Datagrams refused by the allow-list.",
         [](const EntrySnapshot& s) { return std::to_string(s.refused); });
  family("tallyhost_datagrams_waiting", "gauge", "Datagrams waiting in the spool.",
         [](const EntrySnapshot& s) { return std::to_string(s.waiting); });
  family("tallyhost_datagrams_skipped_stored_total", "counter",
         "Datagrams handed over again after a restart and skipped: the database had stored them.",
         [](const EntrySnapshot& s) { return std::to_string(s.skipped); });
  family("tallyhost_spool_at_cap", "gauge", "1 when the entry's spool file has reached its size cap.",
         [](const EntrySnapshot& s) { return std::to_string(s.spool_at_cap ? 1 : 0); });
  family("tallyhost_spool_refused_at_cap_total", "counter",
         "Datagrams the spool refused at its size cap (they waited in memory instead).",
         [](const EntrySnapshot& s) { return std::to_string(s.spool_refused); });
  family("tallyhost_last_datagram_timestamp_seconds", "gauge", "Unix time of the last datagram (0: none).",
         [](const EntrySnapshot& s) {
           return std::to_string(s.has_last ? std::chrono::duration_cast<std::chrono::seconds>(
                                                  s.last_datagram.time_since_epoch()).count()
                                            : 0);
         });
  family("tallyhost_kernel_receive_drops_total", "counter", "Datagrams the system dropped at the entry's socket.",
         [&](const EntrySnapshot& s) { return std::to_string(s.port ? drops(s.port) : 0); });

  std::vector<uint64_t> histogram;
  double sum;
  uint64_t count;
  {
    std::lock_guard<std::mutex> lock(mu_);
    histogram = histogram_;
    sum = duration_sum_;
    count = duration_count_;
  }
  const auto& b = Buckets();
  histogram.resize(b.size() + 1, 0);
  out << "# HELP tallyhost_pass_duration_seconds Duration of the engine's processing passes.\n"
         "# TYPE tallyhost_pass_duration_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t i = 0; i < b.size(); ++i) {
    cumulative += histogram[i];
    char le[32];
    std::snprintf(le, sizeof le, "%g", b[i]);
    out << "tallyhost_pass_duration_seconds_bucket{le=\"" << le << "\"} " << cumulative << "\n";
  }
  cumulative += histogram[b.size()];
  char total[64];
  std::snprintf(total, sizeof total, "%.6f", sum);
  out << "tallyhost_pass_duration_seconds_bucket{le=\"+Inf\"} " << cumulative << "\n"
      << "tallyhost_pass_duration_seconds_sum " << total << "\n"
      << "tallyhost_pass_duration_seconds_count " << count << "\n";
  return out.str();
}

bool AdmitAndCount(int entry, int32_t local_port, const std::string& sender) {
  if (!TheSenderGate().Admit(local_port, sender)) {
    TheEntryStatus().OnRefused(entry);
    return false;
  }
  TheEntryStatus().OnReceived(entry, sender);
  return true;
}

PassRecord::PassRecord(int entry, std::string sender)
    : entry_(entry), sender_(std::move(sender)), start_(std::chrono::steady_clock::now()) {}

PassRecord::~PassRecord() {
  if (!reported_) Failed("the pass ended without a result");
}

double PassRecord::Seconds() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void PassRecord::Stored(const std::string& hostname, const std::string& incomplete) {
  if (reported_) return;
  reported_ = true;
  TheEntryStatus().OnStored(entry_, sender_, hostname, Seconds(), incomplete);
}

void PassRecord::Failed(const std::string& problem) {
  if (reported_) return;
  reported_ = true;
  TheEntryStatus().OnFailed(entry_, sender_, problem, Seconds());
}

uint64_t KernelReceiveDrops(int32_t port) {
  uint64_t drops = 0;
  char hex_port[8];
  std::snprintf(hex_port, sizeof hex_port, "%04X", static_cast<unsigned>(port) & 0xffff);
  for (const char* table : {"/proc/net/udp", "/proc/net/udp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);   // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local;
      fields >> slot >> local;
      const size_t colon = local.rfind(':');
      if (colon == std::string::npos || local.substr(colon + 1) != hex_port) continue;
      std::string last, field;
      while (fields >> field) last = field;   // the drops column ends the line
      drops += std::strtoull(last.c_str(), nullptr, 10);
    }
  }
  return drops;
}

}  // namespace tallyhost
