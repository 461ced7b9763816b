#include "probes.h"

#include <sqlite3.h>

#include <fstream>
#include <sstream>

long long SqliteLogsCount(const std::string& db_path) {
  sqlite3* db = nullptr;
  long long n = -1;
  if (sqlite3_open_v2(db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM Logs", -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(db);
  return n;
}

long long RcvbufErrors() {
  std::ifstream in("/proc/net/snmp");
  std::string header, values;
  while (std::getline(in, header) && std::getline(in, values)) {
    if (header.rfind("Udp:", 0) != 0) continue;
    std::istringstream h(header), v(values);
    std::string name, value;
    while (h >> name && v >> value)
      if (name == "RcvbufErrors") return std::stoll(value);
  }
  return -1;
}
