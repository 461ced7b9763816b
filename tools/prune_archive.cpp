#include "prune_archive.h"

#include <cctype>
#include <cstdint>
#include <iostream>

#include "ado.h"
#include "datetime.h"
#include "lock_retry.h"

namespace prune {
namespace {

// Digits only, exactly `n` of them, at `at` in `text`.
bool Digits(const std::string& text, size_t at, size_t n, int* out) {
  if (at + n > text.size()) return false;
  int v = 0;
  for (size_t i = at; i < at + n; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    v = v * 10 + (text[i] - '0');
  }
  *out = v;
  return true;
}

bool IsPostgres(const std::string& connection_string) {
  std::string p = ado::ConnectionSetting(connection_string, "Provider");
  for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return p == "postgresql";
}

int64_t Scalar(ado::Connection& c, const std::string& select) {
  auto rs = c.Execute(select);
  if (rs->Eof()) return 0;
  const ado::Value v = rs->Field("N");
  return v.IsNull() ? 0 : v.AsInteger();
}

bool IsLock(const ado::Error& e) {
  return lockretry::ClassifyFailure(e) == lockretry::FailureClass::Lock;
}

void Report(const ado::Error& e, const char* what) {
  std::cerr << "tallyfeed: " << what << ": Error # " << e.Number() << ": " << e.Description()
            << " (nothing was removed)\n";
}

const char kRefused[] = "tallyfeed: a listener is storing into the database; try again (nothing was removed)\n";

}  // namespace

bool ParseBefore(const std::string& text, double* serial) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  if (text.size() != 10 && text.size() != 19) return false;
  if (!Digits(text, 0, 4, &y) || text[4] != '-' || !Digits(text, 5, 2, &mo) || text[7] != '-' ||
      !Digits(text, 8, 2, &d))
    return false;
  if (text.size() == 19 && (text[10] != ' ' || !Digits(text, 11, 2, &h) || text[13] != ':' ||
                            !Digits(text, 14, 2, &mi) || text[16] != ':' || !Digits(text, 17, 2, &s)))
    return false;
  if (y < 100 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return false;
  const double v = datetime::FromParts(y, mo, d, h, mi, s);
  // A day the month does not have (2026-02-30) comes back as another day.
  int y2, mo2, d2, h2, mi2, s2;
  datetime::ToParts(v, &y2, &mo2, &d2, &h2, &mi2, &s2);
  if (y2 != y || mo2 != mo || d2 != d || h2 != h || mi2 != mi || s2 != s) return false;
  *serial = v;
  return true;
}

int PruneArchive(const Options& o) {
  double before = 0;
  if (!ParseBefore(o.before, &before)) {
    std::cerr << "tallyfeed: --prune-archive wants a date YYYY-MM-DD or YYYY-MM-DD HH:MM:SS (local time), got \""
              << o.before << "\"\n";
    return 2;
  }
  const bool postgres = IsPostgres(o.connection_string);
  // The first setting of a name counts: this bound comes before the caller's.
  const std::string cs = "Busy Timeout=" + std::to_string(kLockWaitMs) + ";" + o.connection_string;
  const std::string shown = ado::WithoutPassword(o.connection_string);

  ado::Connection c;
  try {
    c.Open(cs);
  } catch (const ado::Error& e) {
    Report(e, ("cannot open the database " + shown).c_str());
    return 1;
  }
  try {
    c.BeginTrans();
    if (postgres) c.Execute("LOCK TABLE Logs IN SHARE ROW EXCLUSIVE MODE NOWAIT");
  } catch (const ado::Error& e) {
    if (IsLock(e)) {
      std::cerr << kRefused;
    } else {
      Report(e, "cannot take the database's write lock");
    }
    return 1;   // closing the connection rolls back
  }

  const std::string date = datetime::FormatGeneral(before);
  int64_t newest = 0, logs = 0, links = 0, remain = 0;
  try {
    newest = Scalar(c, "Select Max(Record) As N From Logs");
    // Rows older than the date, the newest excepted.
    const std::string old = "Log_Date < #" + datetime::FormatFull(before) + "# and Record < " + std::to_string(newest);
    const std::string old_logs = "(Select Record From Logs where " + old + ")";
    logs = Scalar(c, "Select Count(*) As N From Logs where " + old);
    links = Scalar(c, "Select Count(*) As N From Logs_Games where Log In " + old_logs);
    if (!o.dry_run && logs > 0) {
      c.Execute("Delete From Logs_Games where Log In " + old_logs);
      c.Execute("Delete From Logs where " + old);
    }
    remain = Scalar(c, "Select Count(*) As N From Logs") - (o.dry_run ? logs : 0);
    const bool newest_is_old = newest > 0 && Scalar(c, "Select Count(*) As N From Logs where Record = " +
                                                           std::to_string(newest) + " and Log_Date < #" +
                                                           datetime::FormatFull(before) + "#") > 0;
    if (o.dry_run) {
      c.RollbackTrans();
    } else {
      c.CommitTrans();
    }
    std::cout << (o.dry_run ? "would remove " : "removed ") << logs << " archived datagrams received before "
              << date << " and " << links << " links to games; " << remain << " remain";
    if (newest_is_old)
      std::cout << " (the newest, Record " << newest << ", is kept: new rows are numbered above it)";
    std::cout << "\n";
    return 0;
  } catch (const ado::Error& e) {
    if (IsLock(e)) {
      std::cerr << "tallyfeed: another program holds the database; try again (nothing was removed)\n";
    } else {
      Report(e, "cannot prune the archive");
    }
    return 1;   // closing the connection rolls back
  }
}

}  // namespace prune
