#include "jet_sql.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <charconv>
#include <iterator>

#include "codepage.h"
#include "datetime.h"
#include "numbers.h"

namespace ado::jet {
namespace {

const char kMismatch[] = "Data type mismatch in criteria expression.";
const char kTooLong[] =
    "The field is too small to accept the amount of data you attempted to add.  "
    "Try inserting or pasting less data.";

// Day serials of 0100-01-01 and of the day after 9999-12-31.
constexpr double kFirstSerial = -657434.0;
constexpr double kEndSerial = 2958466.0;

// The classes of the bytes a statement is read by, one table look-up a byte.
enum ByteClass : unsigned char { kOther, kBlank, kQuote, kOpen, kDigit, kDot, kIdent };
constexpr std::array<ByteClass, 256> kClassOf = [] {
  std::array<ByteClass, 256> t{};
  for (unsigned char c : {' ', '\t', '\r', '\n'}) t[c] = kBlank;
  t['\''] = t['"'] = kQuote;
  t['#'] = t['['] = kOpen;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit;
  t['.'] = kDot;
  for (int c = 'a'; c <= 'z'; ++c) t[c] = t[c - 'a' + 'A'] = kIdent;
  t['_'] = kIdent;
  for (int c = 0x80; c < 0x100; ++c) t[c] = kIdent;
  return t;
}();
ByteClass ClassOf(char c) { return kClassOf[static_cast<unsigned char>(c)]; }

bool IsBlank(char c) { return ClassOf(c) == kBlank; }
bool IsDigit(char c) { return ClassOf(c) == kDigit; }
bool IsIdentChar(char c) {
  const ByteClass k = ClassOf(c);
  return k == kIdent || k == kDigit;
}

// A number starts with a digit, or with "." before a digit.
bool StartsNumber(const std::string& s, size_t i) {
  return i < s.size() && (IsDigit(s[i]) || (s[i] == '.' && i + 1 < s.size() && IsDigit(s[i + 1])));
}

// The end of the number that starts at i (i < s.size()): digits, a decimal
// part, and an exponent only when digits follow the "e". The runs stop at
// the string's terminating NUL (s[s.size()]) as at any other byte that is
// no digit, so they need no test of the size.
size_t NumberEnd(const std::string& s, size_t i) {
  while (IsDigit(s[i])) ++i;
  if (s[i] == '.') {
    ++i;
    while (IsDigit(s[i])) ++i;
  }
  if (s[i] == 'e' || s[i] == 'E') {
    size_t k = i + 1;
    if (s[k] == '+' || s[k] == '-') ++k;
    if (IsDigit(s[k])) {
      i = k;
      while (IsDigit(s[i])) ++i;
    }
  }
  return i;
}

// The end of the quoted text that starts at i (with ' or "), its value (a
// doubled quote standing for one) appended to *value unless that is null;
// npos when it is not closed.
size_t QuotedEnd(const std::string& s, size_t i, std::string* value) {
  const char c = s[i];
  const size_t n = s.size();
  for (++i; i < n;) {
    const size_t q = s.find(c, i);
    if (q == std::string::npos) break;
    if (value) value->append(s, i, q - i);
    if (q + 1 < n && s[q + 1] == c) {
      if (value) *value += c;
      i = q + 2;
    } else {
      return q + 1;
    }
  }
  return std::string::npos;
}

// The error of a text, date or bracketed name opened at b and never closed.
[[noreturn]] void ThrowUnclosed(const std::string& s, size_t b) {
  const char c = s[b];
  if (c == '#') throw Error(kErrCommand, "Syntax error in date in query expression '" + s.substr(b) + "'.");
  if (c == '[') throw Error(kErrCommand, "Invalid bracketing of name '" + s.substr(b) + "'.");
  throw Error(kErrCommand, "Syntax error in string in query expression '" + s.substr(b) + "'.");
}

}  // namespace

bool TokenReader::Next(Token* t) {
  // The runs of blanks, digits and name characters below stop at the
  // string's terminating NUL (s[s.size()]) as at any other byte outside
  // their class, so they need no test of the size.
  const std::string& s = s_;
  size_t i = i_;
  while (IsBlank(s[i])) ++i;
  if (i >= s.size()) {
    i_ = i;
    return false;
  }
  const char c = s[i];
  const size_t b = i;
  std::string& text = t->text;
  text.clear();
  switch (ClassOf(c)) {
    case kQuote:
      i = QuotedEnd(s, i, &text);
      if (i == std::string::npos) ThrowUnclosed(s, b);
      t->kind = Tok::String;
      break;
    case kOpen: {
      const char close = c == '#' ? '#' : ']';
      const size_t e = s.find(close, i + 1);
      if (e == std::string::npos) ThrowUnclosed(s, b);
      t->kind = c == '#' ? Tok::Date : Tok::Bracket;
      text.append(s, i + 1, e - i - 1);
      i = e + 1;
      break;
    }
    case kDot:
      if (!IsDigit(s[i + 1])) {
        t->kind = Tok::Punct;
        text += c;
        ++i;
        break;
      }
      [[fallthrough]];
    case kDigit:
      i = NumberEnd(s, i);
      t->kind = Tok::Number;
      if (IsIdentChar(s[i])) {   // a name that starts with digits
        while (IsIdentChar(s[++i])) {
        }
        t->kind = Tok::Word;
      }
      text.append(s, b, i - b);
      break;
    case kIdent:
      while (IsIdentChar(s[++i])) {
      }
      t->kind = Tok::Word;
      text.append(s, b, i - b);
      break;
    default: {   // an operator or a punctuation character (blanks are skipped above)
      // "<=", ">=", "<>", "!=" and "==" are operators of two characters.
      const char d = s[i + 1];
      const bool two = (c == '<' && (d == '=' || d == '>')) || ((c == '>' || c == '!' || c == '=') && d == '=');
      const size_t len = two ? 2 : 1;
      t->kind = two || c == '=' || c == '<' || c == '>' ? Tok::Op : Tok::Punct;
      text.append(s, b, len);
      i += len;
      break;
    }
  }
  t->begin = b;
  t->end = i;
  i_ = i;
  return true;
}

void TokenReader::CheckRest() {
  // Only a text, a date or a bracketed name can be left open, and a byte
  // that opens one is part of no other token: outside those three, each one
  // found opens one. The next of each kind is looked for again only once
  // the reading has passed it.
  const std::string& s = s_;
  constexpr char kOpeners[] = {'\'', '"', '#', '['};
  size_t next[std::size(kOpeners)];
  for (size_t k = 0; k < std::size(kOpeners); ++k) next[k] = s.find(kOpeners[k], i_);
  for (;;) {
    const size_t b = *std::min_element(std::begin(next), std::end(next));
    if (b == std::string::npos) break;
    const char c = s[b];
    size_t end;
    if (c == '\'' || c == '"') {
      end = QuotedEnd(s, b, nullptr);
      if (end == std::string::npos) ThrowUnclosed(s, b);
    } else {
      const size_t e = s.find(c == '#' ? '#' : ']', b + 1);
      if (e == std::string::npos) ThrowUnclosed(s, b);
      end = e + 1;
    }
    for (size_t k = 0; k < std::size(kOpeners); ++k)
      if (next[k] < end) next[k] = s.find(kOpeners[k], end);
  }
  i_ = s.size();
}

std::vector<Token> Tokenize(const std::string& s) {
  std::vector<Token> out;
  // Statements commonly hold more than a token in four bytes (numbers,
  // commas, operators); more room than that saves moving them all.
  out.reserve(s.size() / 2 + 4);
  TokenReader reader(s);
  for (;;) {
    Token& t = out.emplace_back();
    if (!reader.Next(&t)) break;
  }
  out.pop_back();
  return out;
}

namespace {

bool IsWord(const Token& t, const char* word) { return t.kind == Tok::Word && EqualsNoCase(t.text, word); }
bool IsName(const Token& t) { return t.kind == Tok::Word || t.kind == Tok::Bracket; }
bool IsPunct(const Token& t, char c) { return t.kind == Tok::Punct && t.text[0] == c; }

Verb VerbOf(const std::vector<Token>& t) {
  if (t.empty() || t[0].kind != Tok::Word) return Verb::Other;
  if (EqualsNoCase(t[0].text, "select")) return Verb::Select;
  if (EqualsNoCase(t[0].text, "insert")) return Verb::Insert;
  if (EqualsNoCase(t[0].text, "update")) return Verb::Update;
  if (EqualsNoCase(t[0].text, "delete")) return Verb::Delete;
  if (EqualsNoCase(t[0].text, "create") && t.size() > 1 && IsWord(t[1], "table")) return Verb::CreateTable;
  return Verb::Other;
}

// The table a data statement works on, when it names exactly one.
std::string TargetTable(const std::vector<Token>& t, Verb verb) {
  size_t k = 0;
  if (verb == Verb::Insert) {
    k = 2;
    if (t.size() < 3 || !IsWord(t[1], "into")) return "";
  } else if (verb == Verb::Update) {
    k = 1;
  } else {   // Select, Delete: the first "from" outside parentheses
    int depth = 0;
    for (k = 0; k < t.size(); ++k) {
      if (IsPunct(t[k], '(')) ++depth;
      if (IsPunct(t[k], ')')) --depth;
      if (depth == 0 && IsWord(t[k], "from")) break;
    }
    ++k;
  }
  if (k >= t.size() || !IsName(t[k])) return "";
  if (verb == Verb::Select || verb == Verb::Delete) {
    if (k + 1 < t.size()) {
      const Token& next = t[k + 1];
      static const char* const kEnders[] = {"where", "order", "group", "having", "limit"};
      bool ok = IsPunct(next, ';');
      for (const char* w : kEnders) ok = ok || IsWord(next, w);
      if (!ok) return "";
    }
  }
  return t[k].text;
}

Value LiteralValue(const Token& tok, bool negative) {
  if (tok.kind == Tok::String) return Value::Text(tok.text);
  if (tok.kind == Tok::Date) {
    double serial;
    if (!datetime::Parse(tok.text, &serial))
      throw Error(kErrCommand, "Syntax error in date in query expression '#" + tok.text + "#'.");
    return Value::DateTime(serial);
  }
  if (tok.text.find_first_of(".eE") == std::string::npos) {
    // Digits only: an integer when it fits in 64 bits with its sign.
    unsigned long long magnitude = 0;
    const char* first = tok.text.data();
    const char* last = first + tok.text.size();
    auto [end, ec] = std::from_chars(first, last, magnitude);
    const unsigned long long limit = negative ? 9223372036854775808ULL : 9223372036854775807ULL;
    if (ec == std::errc() && end == last && magnitude <= limit) {
      return Value::Integer(negative ? static_cast<long long>(0ULL - magnitude)
                                     : static_cast<long long>(magnitude));
    }
  }
  const double magnitude = numbers::Leading(tok.text);
  return Value::Double(negative ? -magnitude : magnitude);
}

Value ToDateTime(const Value& v) {
  double serial = 0;
  switch (v.type()) {
    case Value::Type::Null:
      return v;
    case Value::Type::Text:
      if (!datetime::Parse(v.AsText(), &serial)) throw Error(kErrConversion, kMismatch);
      break;
    case Value::Type::Integer:
    case Value::Type::Double:
    case Value::Type::DateTime:
      serial = v.AsDouble();
      break;
    default:
      throw Error(kErrConversion, kMismatch);
  }
  if (!(serial >= kFirstSerial && serial < kEndSerial)) throw Error(kErrConversion, kMismatch);
  return Value::DateTime(serial);
}

Value Coerce(const Column& column, const Value& value, bool store) {
  switch (column.kind) {
    case ColumnKind::DateTime:
      return ToDateTime(value);
    case ColumnKind::Text:
      if (value.type() == Value::Type::DateTime) return Value::Text(value.AsText());
      if (store && column.size > 0 && value.type() == Value::Type::Text &&
          value.AsText().size() > static_cast<size_t>(column.size))
        throw Error(kErrDataOverflow, kTooLong);
      return value;
    case ColumnKind::Integer:
    case ColumnKind::Double:
      if (value.type() == Value::Type::DateTime) return Value::Double(value.AsDouble());
      return value;
    default:
      return value;
  }
}

// A literal of a data statement: tokens [first, last] become one placeholder.
struct Literal {
  size_t first, last;
  Value value;
  std::string column;   // the column it is stored into or compared with
  int position = -1;    // or the column's position, for an insert without a column list
  bool store = false;
};

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

const Column* FindColumn(const std::vector<Column>& columns, const std::string& name) {
  for (const Column& c : columns)
    if (EqualsNoCase(c.name, name)) return &c;
  return nullptr;
}

int DeclaredSize(const std::string& type_name) {
  size_t p = type_name.find('(');
  if (p == std::string::npos) return 0;
  ++p;
  while (p < type_name.size() && IsBlank(type_name[p])) ++p;
  long v = 0;
  while (p < type_name.size() && IsDigit(type_name[p]) && v < 1000000000) v = v * 10 + (type_name[p++] - '0');
  return static_cast<int>(v);
}

Value CoerceForStore(const Column& column, const Value& value) { return Coerce(column, value, true); }
Value CoerceForCompare(const Column& column, const Value& value) { return Coerce(column, value, false); }

bool IsSelectAllFrom(const std::string& statement, std::string* table) {
  std::vector<Token> t;
  try {
    t = Tokenize(statement);
  } catch (const Error&) {
    return false;
  }
  if (t.size() < 4 || !IsWord(t[0], "select") || !IsPunct(t[1], '*') || !IsWord(t[2], "from") ||
      !IsName(t[3]))
    return false;
  if (t.size() > 5 || (t.size() == 5 && !IsPunct(t[4], ';'))) return false;
  *table = t[3].text;
  return true;
}

namespace {

// Reads the engine's commonest statement, "Insert into <name> values (
// <literal>, ... )" without a column list, each item one text, date or
// (signed) number literal, without tokens. Gives exactly what the general
// reading in Translate gives, and returns false, having changed nothing,
// for anything else (which Translate then reads the general way).
bool TranslatePlainInsert(const std::string& st, ColumnSource& columns, std::string (*placeholder)(int),
                          Translation* out) {
  const size_t n = st.size();
  size_t i = 0;
  auto blanks = [&] {
    while (i < n && IsBlank(st[i])) ++i;
  };
  auto keyword = [&](std::string_view word) {
    if (n - i < word.size() || !EqualsNoCase(std::string_view(st).substr(i, word.size()), word)) return false;
    if (i + word.size() < n && IsIdentChar(st[i + word.size()])) return false;
    i += word.size();
    return true;
  };
  blanks();
  if (!keyword("insert")) return false;
  blanks();
  if (!keyword("into")) return false;
  blanks();
  const size_t name_begin = i;
  if (i >= n || IsDigit(st[i]) || !IsIdentChar(st[i])) return false;
  while (i < n && IsIdentChar(st[i])) ++i;
  const size_t name_end = i;
  blanks();
  if (!keyword("values")) return false;
  blanks();
  if (i >= n || st[i] != '(') return false;
  ++i;

  // The items' tokens first, so that a malformed statement is left to the
  // general reading whole; then their values and conversions, in the
  // general reading's order.
  struct Item {
    size_t begin, end;
    bool negative;
    Token tok;
  };
  std::vector<Item> items;
  items.reserve(16);
  for (;;) {
    blanks();
    Item item{i, i, i < n && st[i] == '-', {Tok::Number, 0, 0, {}}};
    if (item.negative) ++i;
    Token& tok = item.tok;
    if (StartsNumber(st, i)) {
      const size_t b = i;
      i = NumberEnd(st, i);
      tok.text.assign(st, b, i - b);
    } else if (item.negative) {
      return false;
    } else if (i < n && (st[i] == '\'' || st[i] == '"')) {
      tok.kind = Tok::String;
      i = QuotedEnd(st, i, &tok.text);
      if (i == std::string::npos) return false;
    } else if (i < n && st[i] == '#') {
      const size_t close = st.find('#', i + 1);
      if (close == std::string::npos) return false;
      tok.kind = Tok::Date;
      tok.text.assign(st, i + 1, close - i - 1);
      i = close + 1;
    } else {
      return false;
    }
    item.end = i;
    items.push_back(std::move(item));
    blanks();
    if (i < n && st[i] == ',') {
      ++i;
    } else if (i < n && st[i] == ')') {
      ++i;
      break;
    } else {
      return false;
    }
  }
  blanks();
  if (i != n) return false;

  Translation tr;
  tr.verb = Verb::Insert;
  tr.table.assign(st, name_begin, name_end - name_begin);
  tr.params.reserve(items.size());
  for (const Item& item : items) tr.params.push_back(LiteralValue(item.tok, item.negative));
  const std::vector<Column>* table_columns = columns.ColumnsOf(tr.table);
  tr.text.reserve(n);
  size_t pos = 0;
  for (size_t k = 0; k < items.size(); ++k) {
    if (table_columns && k < table_columns->size())
      tr.params[k] = CoerceForStore((*table_columns)[k], tr.params[k]);
    tr.text.append(st, pos, items[k].begin - pos);
    tr.text += placeholder(static_cast<int>(k) + 1);
    pos = items[k].end;
  }
  tr.text.append(st, pos);
  *out = std::move(tr);
  return true;
}

}  // namespace

Translation Translate(const std::string& st, ColumnSource& columns, std::string (*placeholder)(int)) {
  Translation tr;
  if (TranslatePlainInsert(st, columns, placeholder, &tr)) return tr;
  const std::vector<Token> toks = Tokenize(st);
  tr.verb = VerbOf(toks);
  const bool data = tr.verb == Verb::Select || tr.verb == Verb::Insert || tr.verb == Verb::Update ||
                    tr.verb == Verb::Delete;
  if (!data) {
    if (tr.verb == Verb::CreateTable && toks.size() > 2 && IsName(toks[2])) tr.table = toks[2].text;
    size_t pos = 0;
    for (const Token& tok : toks) {
      if (tok.kind != Tok::Date) continue;
      tr.text.append(st, pos, tok.begin - pos);
      tr.text += '\'';
      tr.text += datetime::FormatFull(LiteralValue(tok, false).AsDateTime());
      tr.text += '\'';
      pos = tok.end;
    }
    tr.text += st.substr(pos);
    return tr;
  }
  tr.table = TargetTable(toks, tr.verb);

  // The insert's column list, and where its values list starts.
  std::vector<std::string> insert_columns;
  size_t values_open = toks.size();
  if (tr.verb == Verb::Insert && !tr.table.empty()) {
    size_t k = 3;
    if (k < toks.size() && IsPunct(toks[k], '(')) {
      for (++k; k < toks.size() && !IsPunct(toks[k], ')'); ++k)
        if (IsName(toks[k])) insert_columns.push_back(toks[k].text);
      ++k;
    }
    if (k + 1 < toks.size() && IsWord(toks[k], "values") && IsPunct(toks[k + 1], '(')) values_open = k + 1;
  }

  std::vector<Literal> literals;
  literals.reserve(16);
  tr.text.reserve(st.size());
  int depth = 0, item = 0;
  bool in_where = false;
  for (size_t k = 0; k < toks.size(); ++k) {
    const Token& tok = toks[k];
    if (tok.kind == Tok::Punct) {
      const char c = tok.text[0];
      if (c == '?' || c == '@' || c == '$' || c == ':')
        throw Error(kErrCommand, "No value given for one or more required parameters.");
      if (c == '(') ++depth;
      if (c == ')') --depth;
      if (c == ',' && depth == 1 && k > values_open) ++item;
    }
    if (depth == 0 && IsWord(tok, "where")) in_where = true;

    size_t first = k, last = k;
    bool negative = false;
    const Token* prev = k > 0 ? &toks[k - 1] : nullptr;
    const bool value_position =
        prev && (prev->kind == Tok::Op || (k > values_open && depth == 1 && (IsPunct(*prev, '(') || IsPunct(*prev, ','))));
    if (tok.kind == Tok::String || tok.kind == Tok::Date) {
    } else if (tok.kind == Tok::Number && value_position) {
    } else if (IsPunct(tok, '-') && value_position && k + 1 < toks.size() && toks[k + 1].kind == Tok::Number) {
      negative = true;
      last = k + 1;
    } else {
      continue;
    }
    Literal lit{first, last, LiteralValue(toks[last], negative), "", -1, false};
    // Its column: a whole item of the insert's values list, or the other
    // side of a comparison.
    const Token* next = last + 1 < toks.size() ? &toks[last + 1] : nullptr;
    if (k > values_open && depth == 1 && (IsPunct(*prev, '(') || IsPunct(*prev, ',')) && next &&
        (IsPunct(*next, ',') || IsPunct(*next, ')'))) {
      lit.store = true;
      if (insert_columns.empty())
        lit.position = item;
      else if (static_cast<size_t>(item) < insert_columns.size())
        lit.column = insert_columns[item];
    } else if (prev && prev->kind == Tok::Op && first >= 2 && IsName(toks[first - 2])) {
      bool qualified = first >= 4 && IsPunct(toks[first - 3], '.');
      if (!qualified || EqualsNoCase(toks[first - 4].text, tr.table)) lit.column = toks[first - 2].text;
      lit.store = tr.verb == Verb::Update && !in_where && depth == 0 && prev->text == "=";
    } else if (next && next->kind == Tok::Op && last + 2 < toks.size() && IsName(toks[last + 2]) &&
               !(last + 3 < toks.size() && IsPunct(toks[last + 3], '.'))) {
      lit.column = toks[last + 2].text;
    }
    literals.push_back(std::move(lit));
    k = last;
  }

  const std::vector<Column>* table_columns = nullptr;
  bool looked_up = false;
  size_t pos = 0;
  int n = 0;
  for (Literal& lit : literals) {
    if ((!lit.column.empty() || lit.position >= 0) && !tr.table.empty()) {
      if (!looked_up) table_columns = columns.ColumnsOf(tr.table), looked_up = true;
      const Column* col = nullptr;
      if (table_columns && lit.position >= 0) {
        if (static_cast<size_t>(lit.position) < table_columns->size()) col = &(*table_columns)[lit.position];
      } else if (table_columns) {
        col = FindColumn(*table_columns, lit.column);
      }
      if (col) lit.value = lit.store ? CoerceForStore(*col, lit.value) : CoerceForCompare(*col, lit.value);
    }
    tr.text.append(st, pos, toks[lit.first].begin - pos);
    tr.text += placeholder(++n);
    pos = toks[lit.last].end;
    tr.params.push_back(std::move(lit.value));
  }
  tr.text.append(st, pos);
  return tr;
}

Translation InsertStatement(const std::string& table, const std::vector<Column>& table_columns,
                            const std::vector<std::string>& columns, const std::vector<Value>& values,
                            std::string (*quote)(const std::string&), std::string (*placeholder)(int)) {
  Translation tr;
  tr.verb = Verb::Insert;
  tr.table = table;
  std::string names, marks;
  for (size_t i = 0; i < columns.size(); ++i) {
    const Column* c = FindColumn(table_columns, columns[i]);
    if (!c)
      throw Error(kErrNoField, "Item cannot be found in the collection corresponding to the requested name or ordinal.");
    tr.params.push_back(CoerceForStore(*c, values.at(i)));
    if (i > 0) {
      names += ',';
      marks += ',';
    }
    names += quote(c->name);
    marks += placeholder(static_cast<int>(i) + 1);
  }
  tr.text = "INSERT INTO " + quote(table);
  tr.text += columns.empty() ? " DEFAULT VALUES" : " (" + names + ") VALUES (" + marks + ")";
  return tr;
}

std::string NarrowToBackend(const std::string& narrow) { return codepage::NarrowToUtf8(narrow); }

std::string BackendToNarrow(const std::string& utf8) { return codepage::Utf8ToNarrow(utf8); }

}  // namespace ado::jet
