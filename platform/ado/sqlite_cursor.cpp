// The SQLite backend: the cursor of a select, stepping the live statement.
#include "sqlite_session.h"

namespace ado::detail {

SqliteCursor::SqliteCursor(SqliteSession* session, sqlite3_stmt* stmt, std::string sql, bool cacheable,
                           bool has_row)
    : session_(session),
      stmt_(stmt),
      sql_(std::move(sql)),
      cacheable_(cacheable),
      has_row_(has_row),
      utf8_texts_(session->options_.utf8_texts) {
  const int n = sqlite3_column_count(stmt);
  for (int i = 0; i < n; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    const char* decl = sqlite3_column_decltype(stmt, i);
    names_.push_back(jet::BackendToNarrow(name ? name : ""));
    kinds_.push_back(KindOfDeclaredType(decl ? decl : ""));
  }
  if (!has_row) Finish();
}

SqliteCursor::~SqliteCursor() { Finish(); }

void SqliteCursor::Finish() {
  if (!session_) return;
  if (session_->live_ == this) session_->live_ = nullptr;
  session_->Release(sql_, stmt_, cacheable_);
  session_ = nullptr;
  stmt_ = nullptr;
}

std::vector<Value> SqliteCursor::ReadRow() {
  std::vector<Value> row;
  row.reserve(kinds_.size());
  for (size_t i = 0; i < kinds_.size(); ++i) row.push_back(ReadSqliteColumn(stmt_, static_cast<int>(i), kinds_[i], utf8_texts_));
  return row;
}

bool SqliteCursor::Next(std::vector<Value>* row) {
  if (!buffer_.empty()) {
    *row = std::move(buffer_.front());
    buffer_.pop_front();
    return true;
  }
  if (deferred_) {
    Error e = *deferred_;
    deferred_.reset();
    throw e;
  }
  if (!session_) return false;
  if (!has_row_) {
    int rc = session_->Step(stmt_);
    if (rc != SQLITE_ROW) {
      std::optional<Error> e;
      if (rc != SQLITE_DONE) e = session_->LastError(rc);
      Finish();
      if (e) throw *e;
      return false;
    }
  }
  *row = ReadRow();
  has_row_ = false;
  return true;
}

void SqliteCursor::Detach() {
  if (!session_) return;
  if (has_row_) buffer_.push_back(ReadRow());
  has_row_ = false;
  int rc;
  while ((rc = session_->Step(stmt_)) == SQLITE_ROW) buffer_.push_back(ReadRow());
  if (rc != SQLITE_DONE) deferred_ = session_->LastError(rc);
  Finish();
}

}  // namespace ado::detail
