#include "scoring_support.h"

#include <cstdio>
#include <sstream>
#include <stdexcept>

#include "com.h"
#include "schema.h"
#include "test_env.h"

namespace scoringtest {

std::string ConnectionStringFor(const std::string& file) {
  return "Provider=SQLite;Data Source=" + file;
}

ScoringDb::ScoringDb(const std::string& folder) {
  static int counter = 0;
  file_ = folder + "/stats" + std::to_string(++counter) + ".db";
  testkit::Touch(file_);
  connection_string_ = ConnectionStringFor(file_);
  schema::CreateDatabaseTables(connection_string_);
  if (sqlite3_open(file_.c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open " + file_);
  sqlite3_busy_timeout(db_, 5000);
}

ScoringDb::~ScoringDb() { sqlite3_close(db_); }

std::vector<std::string> ScoringDb::Rows(const std::string& sql) const {
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    throw std::runtime_error(std::string(sqlite3_errmsg(db_)) + " in " + sql);
  }
  std::vector<std::string> rows;
  while (sqlite3_step(st) == SQLITE_ROW) {
    std::string row;
    for (int c = 0; c < sqlite3_column_count(st); ++c) {
      if (c) row += "|";
      char buf[64];
      switch (sqlite3_column_type(st, c)) {
        case SQLITE_INTEGER:
          row += std::to_string(sqlite3_column_int64(st, c));
          break;
        case SQLITE_FLOAT:
          std::snprintf(buf, sizeof buf, "%g", sqlite3_column_double(st, c));
          row += buf;
          break;
        case SQLITE_NULL:
          row += "NULL";
          break;
        case SQLITE_BLOB:
          row += '<';
          row += std::to_string(sqlite3_column_bytes(st, c));
          row += " bytes>";
          break;
        default:
          row += reinterpret_cast<const char*>(sqlite3_column_text(st, c));
      }
    }
    rows.push_back(row);
  }
  sqlite3_finalize(st);
  return rows;
}

std::string ScoringDb::One(const std::string& sql) const {
  auto rows = Rows(sql);
  if (rows.empty()) return "<none>";
  return rows[0].substr(0, rows[0].find('|'));
}

int64_t ScoringDb::Count(const std::string& table) const {
  return std::stoll(One("SELECT COUNT(*) FROM " + table));
}

std::vector<uint8_t> ScoringDb::Blob(const std::string& sql) const {
  sqlite3_stmt* st = nullptr;
  std::vector<uint8_t> out;
  if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return out;
  if (sqlite3_step(st) == SQLITE_ROW) {
    auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(st, 0));
    out.assign(p, p + sqlite3_column_bytes(st, 0));
  }
  sqlite3_finalize(st);
  return out;
}

void ScoringDb::Exec(const std::string& sql) const {
  char* err = nullptr;
  if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "?";
    sqlite3_free(err);
    throw std::runtime_error(msg + " in " + sql);
  }
}

PassResult Listener::Send(const std::string& connection_string,
                          const std::vector<uint8_t>& datagram, const std::string& ip,
                          int32_t port) {
  tallycore::_Score_Class* raw = nullptr;
  std::string why;
  com::HRESULT hr =
      com::CoCreateInstance(tallycore::CLSID_Score_Class, tallycore::IID__Score_Class,
                            reinterpret_cast<void**>(&raw), tallycore::kLibraryName, &why);
  if (hr != com::S_OK || !raw) throw std::runtime_error("cannot create Score_Class: " + why);
  com::ComPtr<tallycore::_Score_Class> engine(raw);
  engine->put_ConnectionString(connection_string);
  engine->put_ListenPort(27960);
  engine->put_ConnectedIPAddress(ip);
  engine->put_ConnectedPortAddress(port);
  engine->put_LogPath(log_path_);
  engine->put_rawlog(0);
  engine->put_UDPData(datagram);
  PassResult result;
  try {
    engine->Process();
  } catch (const com::Error& e) {
    result.threw = true;
    result.error_number = e.Number();
    result.error = e.Description();
  }
  tallycore::IScoreReport* report = nullptr;
  if (engine->QueryInterface(tallycore::IID_IScoreReport, reinterpret_cast<void**>(&report)) ==
      com::S_OK) {
    result.outcome = report->LastPass();
    report->Release();
  }
  return result;
}

int ActionBoxes::Show(const std::string& text, int buttons, const std::string& title) {
  titles_.push_back(title);
  texts_.push_back(text);
  if (next_ < actions_.size()) return actions_[next_++](text, title);
  return buttons == msgbox::vbOKOnly ? msgbox::vbOK : msgbox::vbCancel;
}

datagram::Builder ServerLog(const std::string& host, const std::string& ip,
                            const std::string& port, uint32_t packet,
                            std::vector<std::pair<std::string, std::string>> extra) {
  datagram::Builder b;
  b.server_vars = {{"hostname", host}, {"$HOST_IP$", ip}, {"port", port}};
  b.server_vars.insert(b.server_vars.end(), extra.begin(), extra.end());
  b.packet_number = packet;
  return b;
}

std::string Score(const std::string& killer, const std::string& victim, const std::string& type,
                  const std::string& weapon, const std::string& score, const std::string& offset) {
  return killer + "\t" + victim + "\t" + type + "\t" + weapon + "\t" + score + "\t" + offset;
}

std::string Keyword(const std::string& keyword, const std::string& f4, const std::string& f5,
                    const std::string& f6) {
  return "\t\t" + keyword + "\t" + f4 + "\t" + f5 + "\t" + f6;
}

std::vector<std::string> LogLines(const std::string& log_path) {
  std::vector<std::string> lines;
  std::istringstream in(testkit::ReadFile(log_path));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

}  // namespace scoringtest
