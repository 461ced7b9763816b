#include "sender_gate.h"

#include <arpa/inet.h>
#include <endian.h>
#include <sys/stat.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "msgbox.h"
#include "textfile.h"

namespace tallyhost {

namespace {

constexpr auto kFileCheckEvery = std::chrono::seconds(2);
// Distinct senders counted for one summary; beyond, the summary says "at least".
constexpr size_t kMaxUntrackedCounted = 16384;

// An address's 16 bytes as two numbers, its first 8 bytes the high one,
// in the order of the bytes (so that a prefix of bits is a prefix of each).
struct Halves {
  uint64_t high, low;
};
Halves HalvesOf(const std::array<uint8_t, 16>& a) {
  uint64_t high, low;
  std::memcpy(&high, a.data(), 8);
  std::memcpy(&low, a.data() + 8, 8);
  return {be64toh(high), be64toh(low)};
}

// IPv4-mapped: 80 zero bits, 16 one bits, then the IPv4 address.
bool MappedIpv4(const Halves& h) { return h.high == 0 && (h.low >> 32) == 0xffff; }
bool MappedIpv4(const std::array<uint8_t, 16>& a) { return MappedIpv4(HalvesOf(a)); }

// The bytes of a line by what they are to the reader, one table look-up a
// byte: control bytes (NUL, 0x01-0x1F but TAB and CR, DEL) and the word
// separators (blank, TAB, comma, CR).
enum LineByte : unsigned char { kPlain, kControl, kSeparator };
constexpr std::array<LineByte, 256> kLineByte = [] {
  std::array<LineByte, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = kControl;
  t[0x7f] = kControl;
  for (unsigned char c : {' ', '\t', ',', '\r'}) t[c] = kSeparator;
  return t;
}();
LineByte KindOf(char c) { return kLineByte[static_cast<unsigned char>(c)]; }

// The first control byte of a line, or npos.
size_t ControlByte(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i)
    if (KindOf(line[i]) == kControl) return i;
  return std::string_view::npos;
}

std::string_view Trim(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t\r\n") - b + 1);
}

// The words of a line, separated by blanks, tabs, commas and CRs.
void Words(std::string_view line, std::vector<std::string_view>* out) {
  out->clear();
  const size_t n = line.size();
  size_t i = 0;
  while (true) {
    while (i < n && KindOf(line[i]) == kSeparator) ++i;
    if (i == n) return;
    const size_t begin = i;
    while (i < n && KindOf(line[i]) != kSeparator) ++i;
    out->emplace_back(line.data() + begin, i - begin);
  }
}

bool AllDigits(std::string_view s) {
  if (s.empty() || s.size() > 5) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

}  // namespace

bool ParseAddress(std::string_view text, std::array<uint8_t, 16>* out) {
  // The text up to a NUL, as a C string; no address text is near 64 long.
  text = text.substr(0, text.find('\0'));
  char c_text[64];
  if (text.size() >= sizeof c_text) return false;
  text.copy(c_text, text.size());
  c_text[text.size()] = '\0';
  in_addr v4{};
  in6_addr v6{};
  if (::inet_pton(AF_INET, c_text, &v4) == 1) {
    out->fill(0);
    (*out)[10] = (*out)[11] = 0xff;
    std::memcpy(out->data() + 12, &v4, 4);
    return true;
  }
  if (::inet_pton(AF_INET6, c_text, &v6) == 1) {
    std::memcpy(out->data(), &v6, 16);
    return true;
  }
  return false;
}

bool ParseNetwork(std::string_view text, Network* out) {
  const size_t slash = text.find('/');
  const std::string_view address = text.substr(0, slash);
  if (!ParseAddress(address, &out->bytes)) return false;
  const bool v4 = address.find(':') == std::string_view::npos;
  const int max = v4 ? 32 : 128;
  int prefix = max;
  if (slash != std::string_view::npos) {
    const std::string_view p = text.substr(slash + 1);
    if (p.empty() || p.size() > 3 || !AllDigits(p)) return false;
    prefix = 0;
    for (char c : p) prefix = prefix * 10 + (c - '0');
    if (prefix > max) return false;
  }
  out->prefix = v4 ? prefix + 96 : prefix;
  out->ipv4 = v4 || (MappedIpv4(out->bytes) && out->prefix >= 96);
  return true;
}

bool Network::Contains(const std::array<uint8_t, 16>& address) const {
  if (MappedIpv4(address) != ipv4) return false;
  // The bits that differ, within the prefix's first `bits` bits.
  const Halves a = HalvesOf(address), n = HalvesOf(bytes);
  const int bits = std::clamp(prefix, 0, 128);
  const uint64_t high_mask = bits >= 64 ? ~0ULL : bits == 0 ? 0 : ~0ULL << (64 - bits);
  const uint64_t low_mask = bits <= 64 ? 0 : bits == 128 ? ~0ULL : ~0ULL << (128 - bits);
  return ((a.high ^ n.high) & high_mask) == 0 && ((a.low ^ n.low) & low_mask) == 0;
}

AllowList ParseAllowList(const std::string& text, const std::string& file_name) {
  constexpr std::string_view kMended = " refuses every sender until the file is mended.";
  AllowList list;
  const std::string_view all = text;
  std::vector<std::string_view> words;
  size_t start = 0;
  for (int number = 1; start <= all.size(); ++number) {
    const size_t end = all.find('\n', start);
    std::string_view line = all.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? all.size() + 1 : end + 1;
    if (size_t hash = line.find('#'); hash != std::string_view::npos) line = line.substr(0, hash);
    // A control byte would otherwise end an address early where the
    // address is read as a C string: "10.0.0.1<NUL>/0" is no /32.
    const size_t control = ControlByte(line);
    char code[8] = "";
    if (control != std::string_view::npos)
      std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned char>(line[control]));
    line = Trim(line);
    if (line.empty() && control == std::string_view::npos) continue;
    Words(line, &words);
    if (words.empty() && control == std::string_view::npos) continue;   // separators only
    char digits[16];   // the line's number
    const std::string_view n(digits, std::to_chars(digits, digits + sizeof digits, number).ptr - digits);
    // A problem goes to the problems as reported: its text (the file, the
    // line and what is wrong), then whom it refuses (every port when
    // port_text is empty). Returns the length of its text, which the broken
    // ports keep.
    auto problem = [&](std::initializer_list<std::string_view> what, std::string_view port_text) {
      // The pieces in order, measured first, then copied into place.
      auto pieces = [&](auto&& take) {
        take(file_name);
        take(" line ");
        take(n);
        take(": ");
        for (std::string_view w : what) take(w);
        if (port_text.empty()) {
          take("; every port");
        } else {
          take("; port ");
          take(port_text);
        }
        take(kMended);
      };
      size_t size = 0;
      pieces([&size](std::string_view w) { size += w.size(); });
      std::string& p = list.problems.emplace_back(size, '\0');
      char* out = p.data();
      pieces([&out](std::string_view w) {
        std::memcpy(out, w.data(), w.size());
        out += w.size();
      });
      size_t length = file_name.size() + 8 + n.size();
      for (std::string_view w : what) length += w.size();
      return length;
    };
    // The text of the problem just added.
    auto last_problem = [&](size_t length) { return std::string_view(list.problems.back()).substr(0, length); };
    const std::string_view first = words.empty() ? std::string_view() : words[0];
    long port = 0;
    if (AllDigits(first))
      for (char c : first) port = port * 10 + (c - '0');
    if (control != std::string_view::npos) {
      const bool known_port = port >= 1 && port <= 65535 && ControlByte(first) == std::string_view::npos;
      const std::initializer_list<std::string_view> what = {"the control byte ", code, " is no part of an address"};
      if (known_port) {
        const size_t length = problem(what, first);
        list.ports[static_cast<int>(port)];
        list.broken.try_emplace(static_cast<int>(port), last_problem(length));
      } else {
        const size_t length = problem(what, {});
        if (list.broken_all.empty()) list.broken_all = last_problem(length);
      }
      continue;
    }
    if (port < 1 || port > 65535) {
      const size_t length = problem({"'", words[0], "' is no port number (1 to 65535)"}, {});
      if (list.broken_all.empty()) list.broken_all = last_problem(length);
      continue;
    }
    const int port_number = static_cast<int>(port);
    std::vector<Network>& nets = list.ports[port_number];
    if (words.size() == 1) {
      const size_t length = problem({"port ", words[0], " lists no address"}, words[0]);
      list.broken.try_emplace(port_number, last_problem(length));
      continue;
    }
    for (size_t i = 1; i < words.size(); ++i) {
      Network n;
      if (!ParseNetwork(words[i], &n)) {
        const size_t length = problem({"'", words[i], "' is no address or network"}, words[0]);
        list.broken.try_emplace(port_number, last_problem(length));
        continue;
      }
      nets.push_back(n);
    }
  }
  return list;
}

std::string AllowListPath(const std::string& connections_path) {
  const size_t slash = connections_path.rfind('/');
  const size_t dot = connections_path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
    return connections_path + ".allow";
  return connections_path.substr(0, dot) + ".allow";
}

void ConfigureSenderGate(const std::string& connections_path) {
  const std::vector<std::string> problems = TheSenderGate().Configure(AllowListPath(connections_path));
  if (problems.empty()) return;
  std::string text;
  for (const std::string& p : problems) text += (text.empty() ? "" : "\r\n") + p;
  msgbox::MsgBox(text, msgbox::vbOKOnly, "Error: Allow-list is malformed.");
}

SenderGate& TheSenderGate() {
  static SenderGate gate;
  return gate;
}

void SenderGate::SetClock(Clock clock) {
  std::lock_guard<std::mutex> lock(mu_);
  clock_ = std::move(clock);
}

void SenderGate::SetReporter(std::function<void(const std::string&)> report) {
  std::lock_guard<std::mutex> lock(mu_);
  report_ = std::move(report);
}

void SenderGate::Report(const std::string& line) {
  if (report_) {
    report_(line);
    return;
  }
  std::fprintf(stderr, "Tallyhost: %s\n", line.c_str());
  std::fflush(stderr);
}

std::vector<std::string> SenderGate::Configure(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  path_ = path;
  refused_.clear();
  senders_.clear();
  untracked_.clear();
  untracked_datagrams_ = 0;
  return ReadLocked();
}

std::vector<std::string> SenderGate::Reload() {
  std::lock_guard<std::mutex> lock(mu_);
  return ReadLocked();
}

std::vector<std::string> SenderGate::ReadLocked() {
  last_check_ = clock_ ? clock_() : std::chrono::steady_clock::now();
  list_ = AllowList{};
  struct stat st;
  file_present_ = !path_.empty() && ::stat(path_.c_str(), &st) == 0;
  file_stamp_ = {-1, -1, -1};
  if (!file_present_) return {};
  file_stamp_ = {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
                 static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_ino)};
  if (std::optional<std::string> text = textfile::ReadAll(path_)) {
    list_ = ParseAllowList(*text, path_);
  } else {
    list_.broken_all = path_ + " cannot be read";
    list_.problems.push_back(list_.broken_all + "; every port refuses every sender until it can.");
  }
  return list_.problems;
}

void SenderGate::CheckFileLocked() {
  const auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
  if (path_.empty() || now - last_check_ < kFileCheckEvery) return;
  last_check_ = now;
  struct stat st;
  const bool present = ::stat(path_.c_str(), &st) == 0;
  std::array<int64_t, 3> stamp{-1, -1, -1};
  if (present)
    stamp = {static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
             static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_ino)};
  if (present != file_present_ || stamp != file_stamp_) {
    const bool was_broken = !list_.broken.empty() || !list_.broken_all.empty();
    for (const std::string& p : ReadLocked()) Report("allow-list " + p);
    if (was_broken && list_.problems.empty()) Report("allow-list " + path_ + " mended; in use again.");
  }
}

bool SenderGate::Admit(int local_port, const std::string& sender) {
  std::lock_guard<std::mutex> lock(mu_);
  CheckFileLocked();
  if (list_.broken_all.empty() && !list_.broken.count(local_port)) {
    auto it = list_.ports.find(local_port);
    if (it == list_.ports.end()) return true;
    std::array<uint8_t, 16> address{};
    if (ParseAddress(sender, &address))
      for (const Network& n : it->second)
        if (n.Contains(address)) return true;
  }
  ++refused_[local_port];
  const auto now = clock_ ? clock_() : std::chrono::steady_clock::now();
  const auto key = std::make_pair(local_port, sender);
  // A summary that is due comes first: it may give room to this sender (and
  // it erases entries, so it comes before the look-up).
  if (untracked_datagrams_ > 0) CountUntrackedLocked("", now);
  auto seen = senders_.find(key);
  if (seen == senders_.end() && senders_.size() >= kMaxSendersTracked) {
    CountUntrackedLocked(std::to_string(local_port) + " " + sender, now);   // a flood of addresses
    return false;
  }
  if (seen == senders_.end()) {
    senders_.emplace(key, Seen{now, 0});
  } else if (now - seen->second.reported >= kReportEvery) {
    seen->second.reported = now;
    const uint64_t more = seen->second.since_report;
    seen->second.since_report = 0;
    Report("refused datagrams from " + sender + " on port " + std::to_string(local_port) + ": " +
           std::to_string(more + 1) + " since the last report (not in the allow-list " + path_ + ").");
    return false;
  } else {
    ++seen->second.since_report;
    return false;
  }
  std::string why = !list_.broken_all.empty()       ? "the allow-list " + path_ + " is malformed"
                    : list_.broken.count(local_port) ? "the allow-list " + path_ + " is malformed for this port"
                                                     : "not in the allow-list " + path_;
  Report("refused a datagram from " + sender + " on port " + std::to_string(local_port) + " (" + why +
         "); further ones from this sender are counted and reported at most every 10 minutes.");
  return false;
}

void SenderGate::CountUntrackedLocked(const std::string& key, std::chrono::steady_clock::time_point now) {
  if (!key.empty()) {
    if (untracked_.size() < kMaxUntrackedCounted) untracked_.insert(key);
    if (untracked_datagrams_++ == 0) summary_due_ = now + kSummaryEvery;
  }
  if (untracked_datagrams_ == 0 || now < summary_due_) return;
  const std::string senders = (untracked_.size() >= kMaxUntrackedCounted ? "at least " : "") +
                              std::to_string(untracked_.size());
  Report(senders + " more senders refused (" + std::to_string(untracked_datagrams_) +
         " datagrams) in the last minute or so, beyond the " + std::to_string(kMaxSendersTracked) +
         " reported one by one (not in the allow-list " + path_ + ").");
  untracked_.clear();
  untracked_datagrams_ = 0;
  // Room for new senders: those last reported 10 minutes ago or more (what
  // they sent since is in the refused counters, not in a line of its own).
  for (auto it = senders_.begin(); it != senders_.end();)
    it = now - it->second.reported >= kReportEvery ? senders_.erase(it) : ++it;
}

uint64_t SenderGate::Refused(int local_port) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = refused_.find(local_port);
  return it == refused_.end() ? 0 : it->second;
}

std::string SenderGate::Broken(int local_port) const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!list_.broken_all.empty()) return list_.broken_all;
  auto it = list_.broken.find(local_port);
  return it == list_.broken.end() ? "" : it->second;
}

bool SenderGate::HasList(int local_port) const {
  std::lock_guard<std::mutex> lock(mu_);
  return !list_.broken_all.empty() || list_.ports.count(local_port) != 0;
}

}  // namespace tallyhost
