// Helpers for the scoring tests: a database file with the seventeen tables
// read back directly through SQLite, Score_Class driven the way the listener
// drives it, and short builders for datagrams and record lines.
//
// Each ScoringDb names a fresh file (a process-wide counter keeps names
// unique, so that no engine state of an earlier test meets it). Not
// thread-safe; one test thread.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "datagram_builder.h"
#include "msgbox.h"
#include "score_class.h"

namespace scoringtest {

std::string ConnectionStringFor(const std::string& file);

// A database created as the listener creates it, read back with SQLite.
class ScoringDb {
 public:
  explicit ScoringDb(const std::string& folder);
  ~ScoringDb();
  const std::string& file() const { return file_; }
  const std::string& connection_string() const { return connection_string_; }

  // Rows of a query, columns joined by "|": integers in decimal, reals
  // with %g, texts as stored, NULL as "NULL", blobs as "<n bytes>".
  std::vector<std::string> Rows(const std::string& sql) const;
  std::string One(const std::string& sql) const;   // first column of the first row
  int64_t Count(const std::string& table) const;
  std::vector<uint8_t> Blob(const std::string& sql) const;
  // Runs statements on this helper's own connection (a second writer).
  void Exec(const std::string& sql) const;

 private:
  std::string file_, connection_string_;
  sqlite3* db_ = nullptr;
};

// One processing call as the listener makes it.
struct PassResult {
  bool threw = false;
  int32_t error_number = 0;
  std::string error;
  tallycore::PassOutcome outcome;
};

class Listener {
 public:
  explicit Listener(std::string log_path) : log_path_(std::move(log_path)) {}
  PassResult Send(const std::string& connection_string, const std::vector<uint8_t>& datagram,
                  const std::string& ip = "127.0.0.1", int32_t port = 27961);
  const std::string& log_path() const { return log_path_; }

 private:
  std::string log_path_;
};

// Message boxes answered by a script of actions; each box runs the next
// action (which returns the answer), an empty script answers OK / Cancel.
class ActionBoxes : public msgbox::MessageBoxService {
 public:
  using Action = std::function<int(const std::string& text, const std::string& title)>;
  void Then(Action action) { actions_.push_back(std::move(action)); }
  void Then(int answer) {
    actions_.push_back([answer](const std::string&, const std::string&) { return answer; });
  }
  int Show(const std::string& text, int buttons, const std::string& title) override;
  const std::vector<std::string>& titles() const { return titles_; }
  const std::vector<std::string>& texts() const { return texts_; }

 private:
  std::vector<Action> actions_;
  size_t next_ = 0;
  std::vector<std::string> titles_, texts_;
};

// A datagram of a server with the three required variables (and `extra`).
datagram::Builder ServerLog(const std::string& host, const std::string& ip,
                            const std::string& port, uint32_t packet,
                            std::vector<std::pair<std::string, std::string>> extra = {});
// A score record line.
std::string Score(const std::string& killer, const std::string& victim, const std::string& type,
                  const std::string& weapon, const std::string& score, const std::string& offset);
// A keyword record line: two TABs, the keyword, then fields 4 to 6.
std::string Keyword(const std::string& keyword, const std::string& f4 = "",
                    const std::string& f5 = "", const std::string& f6 = "");

// The lines of the process log.
std::vector<std::string> LogLines(const std::string& log_path);

}  // namespace scoringtest
