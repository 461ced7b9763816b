// PassTimeline: the log's statement lines, session by session.
#include "pass_timeline.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

namespace benchkit {
namespace {

struct Line {
  double ms = 0;   // when it was written: a statement's end
  long pid = 0;
  std::string kind, text;
};

// "2026-12-08 00:36:37.056 UTC [9753] LOG:  text"
bool Parse(const std::string& s, Line* out) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, n = 0;
  double sec = 0;
  char kind[16] = {};
  if (std::sscanf(s.c_str(), "%d-%d-%d %d:%d:%lf %*s [%ld] %15[A-Z]:%n", &y, &mo, &d, &h, &mi, &sec, &out->pid,
                  kind, &n) != 8 || n == 0)
    return false;
  std::tm day{};
  day.tm_year = y - 1900;
  day.tm_mon = mo - 1;
  day.tm_mday = d;
  out->ms = static_cast<double>(timegm(&day)) * 1000 + ((h * 60 + mi) * 60 + sec) * 1000;
  out->kind = kind;
  size_t from = static_cast<size_t>(n);
  while (from < s.size() && s[from] == ' ') ++from;
  out->text = s.substr(from);
  return true;
}

// The statement of a "duration: X ms  statement: ..." or "... execute NAME:
// ..." text, and its duration; false for other lines (parse, bind).
bool Statement(const std::string& text, double* duration, std::string* sql) {
  if (text.rfind("duration: ", 0) != 0) return false;
  *duration = std::atof(text.c_str() + 10);
  const size_t at = text.find(" ms  ");
  if (at == std::string::npos) return false;
  const std::string rest = text.substr(at + 5);
  if (rest.rfind("statement: ", 0) == 0) {
    *sql = rest.substr(11);
    return true;
  }
  if (rest.rfind("execute ", 0) != 0) return false;
  const size_t colon = rest.find(": ");
  if (colon == std::string::npos) return false;
  *sql = rest.substr(colon + 2);
  return true;
}

struct Transaction {
  bool open = false;
  double begin = 0, ask = 0, got = 0;
  int statements = 0, lock_statement = 0;
};

}  // namespace

PassTimes PassTimeline(const std::string& server_log) {
  std::istringstream in(server_log);
  std::string raw;
  std::map<long, Transaction> sessions;
  PassTimes sum;
  Line line, pending;
  bool have_pending = false;
  double duration = 0;
  std::string sql;
  // A statement line is taken with the DETAIL line that may follow it.
  auto take = [&](const Line& l, const std::string& detail) {
    if (!Statement(l.text, &duration, &sql)) return;
    Transaction& t = sessions[l.pid];
    if (sql == "BEGIN") {
      t = Transaction{true, l.ms - duration, 0, 0, 0, 0};
      return;
    }
    if (!t.open) return;
    ++t.statements;
    if (t.lock_statement == 0 && sql.find("pg_advisory_xact_lock") != std::string::npos &&
        detail.find("'logs'") != std::string::npos) {
      t.lock_statement = t.statements;
      t.ask = l.ms - duration;
      t.got = l.ms;
    }
    if (sql == "COMMIT") {
      if (t.lock_statement > 0) {
        ++sum.passes;
        sum.until_lock_ms += t.ask - t.begin;
        sum.lock_wait_ms += t.got - t.ask;
        sum.lock_held_ms += l.ms - t.got;
        sum.transaction_ms += l.ms - t.begin;
        sum.lock_statement += t.lock_statement;
        sum.statements += t.statements;
      }
      t.open = false;
    }
  };
  while (std::getline(in, raw)) {
    if (!Parse(raw, &line)) continue;
    if (have_pending && line.pid == pending.pid && line.kind == "DETAIL") {
      take(pending, line.text);
      have_pending = false;
      continue;
    }
    if (have_pending) take(pending, "");
    have_pending = line.kind == "LOG";
    if (have_pending) pending = line;
  }
  if (have_pending) take(pending, "");
  if (sum.passes > 0) {
    const double n = static_cast<double>(sum.passes);
    for (double* v : {&sum.until_lock_ms, &sum.lock_wait_ms, &sum.lock_held_ms, &sum.transaction_ms,
                      &sum.lock_statement, &sum.statements})
      *v /= n;
  }
  return sum;
}

}  // namespace benchkit
