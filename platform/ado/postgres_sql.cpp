#include "postgres_sql.h"

#include <algorithm>

#include <cctype>
#include <unordered_set>

namespace ado::pg {
namespace {

using jet::Tok;
using jet::Token;

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Words that are never names unless bracketed.
bool IsKeyword(const std::string& word) {
  static const std::unordered_set<std::string> kWords = {
      "select", "from",   "where", "and",    "or",     "not",   "order", "by",      "desc",  "asc",
      "insert", "into",   "values", "update", "set",   "delete", "null", "is",      "in",    "like",
      "between", "as",    "distinct", "top",  "count", "max",   "min",   "sum",     "avg",   "group",
      "having", "limit",  "on",    "join",   "inner",  "left",  "right", "outer",   "exists", "case",
      "when",   "then",   "else",  "end",    "all",    "union", "create", "table",  "index", "unique",
      "constraint", "primary", "key", "if",  "drop",   "default", "true", "false"};
  return kWords.count(Lower(word)) > 0;
}

bool IsName(const Token& t) { return t.kind == Tok::Word || t.kind == Tok::Bracket; }
bool IsWord(const Token& t, const char* w) { return t.kind == Tok::Word && jet::EqualsNoCase(t.text, w); }
bool IsPunct(const Token& t, char c) { return t.kind == Tok::Punct && t.text[0] == c; }

class Writer {
 public:
  explicit Writer(const std::string& s) : s_(s) {}
  void Replace(const Token& t, const std::string& with) {
    out_.append(s_, pos_, t.begin - pos_);
    out_ += with;
    pos_ = t.end;
  }
  std::string Done() {
    out_.append(s_, pos_, std::string::npos);
    return out_;
  }

 private:
  const std::string& s_;
  std::string out_;
  size_t pos_ = 0;
};

// After "IF NOT EXISTS" at k, the index past it; else k.
size_t SkipIfNotExists(const std::vector<Token>& t, size_t k, bool* present) {
  *present = k + 2 < t.size() && IsWord(t[k], "if") && IsWord(t[k + 1], "not") && IsWord(t[k + 2], "exists");
  return *present ? k + 3 : k;
}

std::string ColumnName(jet::ColumnSource& columns, const std::string& table, const std::string& name) {
  if (const auto* cols = columns.ColumnsOf(table))
    if (const jet::Column* c = jet::FindColumn(*cols, name)) return c->name;
  return name;
}

std::string CreateTable(const std::string& s, const std::vector<Token>& t, NameSource& tables) {
  Writer w(s);
  bool if_not_exists = false;
  size_t k = SkipIfNotExists(t, 2, &if_not_exists);
  if (k >= t.size() || !IsName(t[k])) return s;
  const std::string& name = t[k].text;
  if (!if_not_exists && tables.TableNamedNow(name))
    throw Error(kErrCommand, "Table '" + name + "' already exists.");
  w.Replace(t[k], Quote(name));
  int depth = 0;
  for (++k; k < t.size(); ++k) {
    const Token& tok = t[k];
    if (IsPunct(tok, '(')) ++depth;
    if (IsPunct(tok, ')')) --depth;
    if (!IsName(tok)) continue;
    const Token& prev = t[k - 1];
    if (IsWord(prev, "constraint")) {
      w.Replace(tok, Quote(tok.text));
    } else if (depth == 1 && (IsPunct(prev, '(') || IsPunct(prev, ',')) &&
               !(tok.kind == Tok::Word && IsKeyword(tok.text))) {
      w.Replace(tok, Quote(tok.text));   // a column being created; its type follows
      if (k + 1 < t.size() && t[k + 1].kind == Tok::Word) {
        const Token& type = t[k + 1];
        const bool sized = k + 2 < t.size() && IsPunct(t[k + 2], '(');
        std::string pg = Upper(type.text) == "TEXT" && sized ? "varchar" : TypeFor(type.text);
        if (!pg.empty()) w.Replace(type, pg);
        k += 1;
        if (pg == "bytea" && sized && k + 3 < t.size() && IsPunct(t[k + 3], ')')) {
          w.Replace(t[k + 1], "");   // bytea takes no size
          w.Replace(t[k + 2], "");
          w.Replace(t[k + 3], "");
          k += 3;
        }
      }
    } else if (depth >= 2 && !(tok.kind == Tok::Word && IsKeyword(tok.text))) {
      w.Replace(tok, Quote(tok.text));   // a table constraint's columns
    }
  }
  return w.Done();
}

std::string CreateIndex(const std::string& s, const std::vector<Token>& t, size_t index_at, NameSource& tables,
                        jet::ColumnSource& columns) {
  Writer w(s);
  bool if_not_exists = false;
  size_t k = SkipIfNotExists(t, index_at + 1, &if_not_exists);
  if (k < t.size() && IsName(t[k]) && !IsWord(t[k], "on")) w.Replace(t[k], Quote(t[k].text)), ++k;
  if (k + 1 >= t.size() || !IsWord(t[k], "on") || !IsName(t[k + 1])) return w.Done();
  const std::string* table = tables.TableNamed(t[k + 1].text, true);
  const std::string table_name = table ? *table : t[k + 1].text;
  w.Replace(t[k + 1], Quote(table_name));
  for (k += 2; k < t.size(); ++k) {
    if (IsName(t[k]) && !(t[k].kind == Tok::Word && IsKeyword(t[k].text)))
      w.Replace(t[k], Quote(ColumnName(columns, table_name, t[k].text)));
  }
  return w.Done();
}

std::string DataStatement(const std::string& s, const std::vector<Token>& t, NameSource& tables,
                          jet::ColumnSource& columns) {
  // The tables first: a name after FROM, INTO, UPDATE, JOIN or a comma of
  // the from list.
  std::vector<const std::string*> named(t.size(), nullptr);
  std::vector<std::string> statement_tables;
  // Which tokens are keywords, looked up once.
  std::vector<char> keyword(t.size());
  for (size_t k = 0; k < t.size(); ++k) keyword[k] = t[k].kind == Tok::Word && IsKeyword(t[k].text);
  bool in_from = false;
  for (size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    if (keyword[k]) {
      in_from = IsWord(tok, "from") || IsWord(tok, "join");
      if (!IsWord(tok, "into") && !IsWord(tok, "update") && !in_from) continue;
      if (k + 1 < t.size() && IsName(t[k + 1]) && !keyword[k + 1]) {
        named[k + 1] = tables.TableNamed(t[k + 1].text, true);
        if (named[k + 1]) statement_tables.push_back(*named[k + 1]);
      }
    } else if (in_from && IsPunct(tok, ',') && k + 1 < t.size() && IsName(t[k + 1])) {
      named[k + 1] = tables.TableNamed(t[k + 1].text, true);
      if (named[k + 1]) statement_tables.push_back(*named[k + 1]);
    } else if (!IsName(tok)) {
      in_from = in_from && !IsPunct(tok, '(');
    }
  }
  Writer w(s);
  for (size_t k = 0; k < t.size(); ++k) {
    const Token& tok = t[k];
    if (!IsName(tok) || keyword[k]) continue;
    if (named[k]) {
      w.Replace(tok, Quote(*named[k]));
      continue;
    }
    std::string found;
    for (const std::string& table : statement_tables) {
      if (const auto* cols = columns.ColumnsOf(table))
        if (const jet::Column* c = jet::FindColumn(*cols, tok.text)) {
          found = c->name;
          break;
        }
    }
    if (found.empty()) {
      if (const std::string* table = tables.TableNamed(tok.text, false)) found = *table;
    }
    if (!found.empty()) w.Replace(tok, Quote(found));
    else if (tok.kind == Tok::Bracket) w.Replace(tok, Quote(tok.text));
  }
  return w.Done();
}

}  // namespace

namespace {

std::string Folded(const std::string& name) {
  std::string f = name;
  for (char& c : f) c = jet::FoldCase(c);
  return f;
}

}  // namespace

const std::string* Catalog::FindTable(const std::string& name) const {
  auto exact = tables_.find(name);
  if (exact != tables_.end()) return &*exact;
  auto loose = folded_.find(Folded(name));
  return loose != folded_.end() && loose->second.size() == 1 ? loose->second.front() : nullptr;
}

void Catalog::AddTable(const std::string& catalog_name) {
  auto [it, added] = tables_.insert(catalog_name);
  if (added) folded_[Folded(catalog_name)].push_back(&*it);
}

void Catalog::SetTablesLike(const std::string& name, const std::vector<std::string>& found) {
  const std::string key = Folded(name);
  auto known = folded_.find(key);
  if (known != folded_.end()) {
    std::vector<const std::string*> kept;
    for (const std::string* n : known->second) {
      if (std::find(found.begin(), found.end(), *n) != found.end()) kept.push_back(n);
      else dropped_.push_back(tables_.extract(*n));
    }
    known->second = std::move(kept);
  }
  for (const std::string& n : found)
    if (Folded(n) == key) AddTable(n);
}

std::string Quote(const std::string& name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string Placeholder(int n) { return "$" + std::to_string(n); }

std::string TypeFor(const std::string& declared) {
  static const std::unordered_map<std::string, std::string> kMap = {
      {"DATETIME", "timestamp"},  {"DOUBLE", "double precision"}, {"SINGLE", "real"},
      {"LONG", "integer"},        {"BYTE", "smallint"},           {"TINYINT", "smallint"},
      {"BIT", "boolean"},         {"YESNO", "boolean"},           {"CURRENCY", "numeric(19,4)"},
      {"MEMO", "text"},           {"LONGTEXT", "text"},           {"BLOB", "bytea"},
      {"LONGBINARY", "bytea"},    {"IMAGE", "bytea"},             {"BINARY", "bytea"},
      {"VARBINARY", "bytea"},     {"OLEOBJECT", "bytea"}};
  auto it = kMap.find(Upper(declared));
  return it == kMap.end() ? std::string() : it->second;
}

std::string LimitedToOneRow(const std::string& select) {
  // Whatever the first tokens tell, a statement that does not tokenize
  // throws (CheckRest).
  jet::TokenReader reader(select);
  Token tok{};
  bool as_is = !reader.Next(&tok) || !IsWord(tok, "select");
  while (!as_is && reader.Next(&tok)) {
    if (IsPunct(tok, ';')) as_is = true;
    for (const char* word : {"limit", "offset", "fetch", "for", "union", "intersect", "except"})
      if (IsWord(tok, word)) as_is = true;
  }
  reader.CheckRest();
  if (as_is) return select;
  return select + " LIMIT 1";
}

std::string IndexCreatedIfMissing(const std::string& statement) {
  // The first seven tokens are all that is looked at; a statement that
  // does not tokenize throws all the same (CheckRest).
  constexpr size_t kLooked = 7;
  jet::TokenReader reader(statement);
  std::vector<Token> t;
  t.reserve(kLooked);
  Token tok{};
  while (t.size() < kLooked && reader.Next(&tok)) t.push_back(tok);
  reader.CheckRest();
  if (t.size() < 6 || !IsWord(t[0], "create")) return "";
  size_t k = IsWord(t[1], "unique") ? 2 : 1;
  if (!IsWord(t[k], "index")) return "";
  bool if_not_exists = false;
  k = SkipIfNotExists(t, k + 1, &if_not_exists);
  if (!if_not_exists || k >= t.size() || !IsName(t[k]) || IsWord(t[k], "on")) return "";
  return t[k].text;
}

std::string Rewrite(const std::string& statement, jet::Verb verb, NameSource& tables,
                    jet::ColumnSource& columns) {
  const std::vector<Token> t = jet::Tokenize(statement);
  if (verb == jet::Verb::CreateTable) return CreateTable(statement, t, tables);
  if (t.size() > 2 && IsWord(t[0], "create")) {
    size_t k = IsWord(t[1], "unique") ? 2 : 1;
    if (IsWord(t[k], "index")) return CreateIndex(statement, t, k, tables, columns);
    return statement;
  }
  if (t.size() > 2 && IsWord(t[0], "drop")) {
    Writer w(statement);
    bool if_exists = t.size() > 3 && IsWord(t[2], "if") && IsWord(t[3], "exists");
    size_t k = if_exists ? 4 : 2;
    if (k < t.size() && IsName(t[k])) {
      const std::string* table = IsWord(t[1], "table") ? tables.TableNamed(t[k].text, true) : nullptr;
      w.Replace(t[k], Quote(table ? *table : t[k].text));
    }
    return w.Done();
  }
  return DataStatement(statement, t, tables, columns);
}

}  // namespace ado::pg
