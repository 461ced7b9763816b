// postgres_sql: what PostgreSQL needs beyond jet_sql's translation, in one
// place.
//
// Jet keeps a name's letter case and finds names without regard to it;
// PostgreSQL folds unquoted names to lower case and finds quoted ones
// exactly. So every table, column, constraint and index name of a statement
// is written quoted: names being created as the statement writes them,
// names being used in the letter case the catalog holds (an exact match
// first, else the one name that differs only in case). Creating a table
// whose name differs only in case from an existing one fails, as on Jet.
// Jet and SQLite type names that PostgreSQL lacks (DATETIME, DOUBLE,
// LONGBINARY, ...) become PostgreSQL's. Keywords and unknown words pass
// unchanged.
//
// Pure apart from the NameSource and ColumnSource calls.
#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "jet_sql.h"

namespace ado::pg {

// What a session knows of the database's tables. Names are found in
// constant time however many tables there are (a database holds one per
// game), and a name once given out stays valid until Forget.
class Catalog {
 public:
  bool tables_loaded = false;
  std::unordered_map<std::string, std::vector<jet::Column>> columns;   // by catalog name
  std::unordered_set<std::string> counters;   // record counters known to exist

  // The catalog name equal to `name`, else the single one equal without
  // regard to case; null when none or more than one.
  const std::string* FindTable(const std::string& name) const;
  void AddTable(const std::string& catalog_name);   // no-op when known
  // What the catalog holds now of the names equal to `name` without regard
  // to case: `found` added, the others known so far dropped.
  void SetTablesLike(const std::string& name, const std::vector<std::string>& found);
  void Forget() {
    tables_loaded = false;
    tables_.clear();
    folded_.clear();
    dropped_.clear();
    columns.clear();
    counters.clear();
  }

 private:
  std::unordered_set<std::string> tables_;   // catalog names; nodes do not move
  std::unordered_map<std::string, std::vector<const std::string*>> folded_;   // by name folded to lower case
  // Names dropped by SetTablesLike, kept until Forget: a statement being
  // rewritten may still hold one.
  std::vector<std::unordered_set<std::string>::node_type> dropped_;
};

class NameSource {
 public:
  virtual ~NameSource() = default;
  // The catalog name of a table; null when none. With `refresh` the list is
  // read again before giving up.
  virtual const std::string* TableNamed(const std::string& name, bool refresh) = 0;
  // The same, from the list as the catalog holds it now (another program
  // may have dropped or made the table since the list was read).
  virtual const std::string* TableNamedNow(const std::string& name) { return TableNamed(name, true); }
};

std::string Quote(const std::string& name);   // "name", inner quotes doubled
std::string Placeholder(int n);               // $n

// Rewrites a translated statement (jet::Translation::text) for PostgreSQL.
// Throws Error(kErrCommand) for a table that already exists in another case.
std::string Rewrite(const std::string& statement, jet::Verb verb, NameSource& tables,
                    jet::ColumnSource& columns);

// The index that `statement` (translated, not rewritten) creates only when
// missing: "Create [Unique] Index IF NOT EXISTS name On ..."; empty for any
// other statement.
std::string IndexCreatedIfMissing(const std::string& statement);

// A select with " LIMIT 1" added, where that keeps its meaning for a reader
// of the first row: a single select without LIMIT, OFFSET, FETCH, FOR
// (locking), UNION, INTERSECT, EXCEPT or a trailing ";"; else unchanged.
std::string LimitedToOneRow(const std::string& select);

// PostgreSQL's name for a declared type; empty when it takes the name as it is.
std::string TypeFor(const std::string& declared);

}  // namespace ado::pg
