#include "kill_points.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "ado.h"
#include "env.h"

namespace tallycore {
namespace {

struct KillAt {
  KillPoint point;
  uint64_t count;
};

std::optional<KillAt> Parse(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string name = text.substr(0, colon), number = text.substr(colon + 1);
  KillAt at{};
  if (name == "statement") {
    at.point = KillPoint::kStatement;
  } else if (name == "commit") {
    at.point = KillPoint::kCommit;
  } else if (name == "committed") {
    at.point = KillPoint::kCommitted;
  } else {
    return std::nullopt;
  }
  if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  at.count = std::strtoull(number.c_str(), &end, 10);
  if (errno != 0 || at.count == 0) return std::nullopt;
  return at;
}

std::optional<KillAt> ReadKillAt() {
  const std::optional<std::string> text = env::Current().Variable("TALLY_KILL_AT");
  if (!text || text->empty()) return std::nullopt;
  std::optional<KillAt> at = Parse(*text);
  if (!at) {
    std::fprintf(stderr,
                 "Tallycore: TALLY_KILL_AT=%s is not statement:N, commit:N or committed:N (N from 1); "
                 "no kill point is set.\n",
                 text->c_str());
    std::fflush(stderr);
  }
  return at;
}

std::atomic<uint64_t> reached{0};   // times the named point was reached

}  // namespace

void ReachKillPoint(KillPoint point) {
  static const std::optional<KillAt> at = ReadKillAt();
  if (!at || at->point != point) return;
  if (reached.fetch_add(1) + 1 == at->count) ::raise(SIGKILL);
}

void CommitAtKillPoints(ado::Connection& c) {
  ReachKillPoint(KillPoint::kCommit);
  c.CommitTrans();
  ReachKillPoint(KillPoint::kCommitted);
}

}  // namespace tallycore
