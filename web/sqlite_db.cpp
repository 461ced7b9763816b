#include "sqlite_db.h"

#include <stdexcept>

namespace web {

Stmt::Stmt(sqlite3* db, const std::string& sql) : db_(db) {
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr);
  if (rc != SQLITE_OK) throw DbError(std::string(sqlite3_errmsg(db)) + " in: " + sql, rc);
}

Stmt::Stmt(Db& db, const std::string& sql) : db_(db.handle()), owner_(&db), sql_(sql) {
  if (auto idle = db.idle_.find(sql); idle != db.idle_.end()) {
    st_ = idle->second;
    db.idle_.erase(idle);
    return;
  }
  const int rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()), &st_, nullptr);
  if (rc != SQLITE_OK) throw DbError(std::string(sqlite3_errmsg(db_)) + " in: " + sql, rc);
}

Stmt::~Stmt() {
  if (owner_ && st_ && owner_->idle_.size() < Db::kIdleStatements && !owner_->idle_.count(sql_)) {
    // Left as a new one would be: no row held, nothing bound.
    sqlite3_reset(st_);
    sqlite3_clear_bindings(st_);
    owner_->idle_.emplace(std::move(sql_), st_);
    return;
  }
  sqlite3_finalize(st_);
}

Stmt& Stmt::Bind(int i, int64_t v) {
  sqlite3_bind_int64(st_, i, v);
  return *this;
}
Stmt& Stmt::Bind(int i, double v) {
  sqlite3_bind_double(st_, i, v);
  return *this;
}
Stmt& Stmt::Bind(int i, const std::string& v) {
  sqlite3_bind_text64(st_, i, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}
Stmt& Stmt::BindNull(int i) {
  sqlite3_bind_null(st_, i);
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(st_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string message = sqlite3_errmsg(db_);
  sqlite3_reset(st_);
  throw DbError(message, rc);
}

void Stmt::Run() {
  while (Step()) {
  }
  Reset();
}

void Stmt::Reset() {
  sqlite3_reset(st_);
  sqlite3_clear_bindings(st_);
}

int64_t Stmt::Int(int col) const { return sqlite3_column_int64(st_, col); }
double Stmt::Real(int col) const { return sqlite3_column_double(st_, col); }
std::string Stmt::Text(int col) const {
  const unsigned char* t = sqlite3_column_text(st_, col);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(st_, col)) : std::string();
}
bool Stmt::IsNull(int col) const { return sqlite3_column_type(st_, col) == SQLITE_NULL; }

Db::Db(const std::string& path, bool read_only) {
  int flags = read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw DbError("cannot open " + path + ": " + message, rc);
  }
  sqlite3_busy_timeout(db_, 5000);
}

Db::~Db() {
  for (const auto& [sql, st] : idle_) sqlite3_finalize(st);
  sqlite3_close_v2(db_);
}

void Db::Exec(const std::string& sql) {
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : "failed";
    sqlite3_free(error);
    throw DbError(message, rc);
  }
}

}  // namespace web
