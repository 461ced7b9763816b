// Fuzz target: the statement translation of the database layer and the
// PostgreSQL forms made of its result. The input is one statement in the Jet
// dialect; failures are ado::Error. The translation runs once, with the
// PostgreSQL placeholders: the backends' calls differ only in the text a
// placeholder gets, which takes no decision of the translation.
#include <cstdint>
#include <string>
#include <vector>

#include "ado.h"
#include "jet_sql.h"
#include "postgres_sql.h"

namespace {

class Tables : public ado::jet::ColumnSource, public ado::pg::NameSource {
 public:
  Tables() {
    using K = ado::jet::ColumnKind;
    players_ = {{"Record", "integer", K::Integer, 0}, {"Player", "varchar", K::Text, 50},
                {"Date_Time", "timestamp", K::DateTime, 0}};
    scores_ = {{"Record", "integer", K::Integer, 0}, {"Killer", "integer", K::Integer, 0},
               {"Offset", "real", K::Double, 0}, {"Log_Data", "bytea", K::Bytes, 0}};
    names_ = {"Players", "Scores_0000001"};
  }
  const std::vector<ado::jet::Column>* ColumnsOf(const std::string& table) override {
    if (ado::jet::EqualsNoCase(table, "Players")) return &players_;
    if (ado::jet::EqualsNoCase(table, "Scores_0000001")) return &scores_;
    return nullptr;
  }
  const std::string* TableNamed(const std::string& name, bool) override {
    for (const std::string& n : names_)
      if (ado::jet::EqualsNoCase(n, name)) return &n;
    return nullptr;
  }

 private:
  std::vector<ado::jet::Column> players_, scores_;
  std::vector<std::string> names_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string statement(reinterpret_cast<const char*>(data), size);
  static Tables tables;   // read only
  try {
    (void)ado::jet::Tokenize(statement);
  } catch (const ado::Error&) {
  }
  try {
    ado::jet::Translation t = ado::jet::Translate(statement, tables, &ado::pg::Placeholder);
    const std::string pg = ado::pg::Rewrite(t.text, t.verb, tables, tables);
    (void)ado::pg::LimitedToOneRow(pg);
    (void)ado::pg::IndexCreatedIfMissing(pg);
  } catch (const ado::Error&) {
  }
  return 0;
}
