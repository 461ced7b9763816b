// jet_sql: Jet's meaning of the statement forms the programs write, for any
// backend.
//
// Translate() reads a statement in the Jet dialect (a narrow string) and
// returns the backend's statement text, with literals of a data statement
// (select, insert, update, delete) replaced by numbered placeholders, and the
// values to bind. Replaced are every text and date-time literal, and a number
// (with a "-" in front of it) only where a value stands: after a comparison
// operator, or as an item of an insert's values list; other numbers (a
// select list, a function's arguments) stay in the text. A "?", "@", "$" or
// ":" outside a literal is "No value given for one or more required
// parameters." (kErrCommand). On the way it gives the literals Jet's meaning:
//   - '...' and "..." are texts ('' and "" stand for one quote), #...# is a
//     date-time literal in any form datetime::Parse reads; a number without
//     "." or exponent that fits 64 bits is an integer, any other a double;
//   - a literal's column is known only when it is an item of an insert's
//     values list (by the column list, else by position) or stands across a
//     comparison operator from a column name (unqualified, or qualified by
//     the statement's table); literals whose column is unknown, or whose
//     table is not known to the ColumnSource, are bound as read;
//   - a value stored into or compared with a date-time column may be a
//     date-time literal, a date-time text or a number (a day serial) within
//     the dates datetime reads, and becomes a DateTime value; anything else
//     is "Data type mismatch in criteria expression." (kErrConversion). Null
//     stays Null;
//   - into or against a text column a date-time literal becomes its general
//     text; a text stored (insert values, update's set) into a sized text
//     column must fit (kErrDataOverflow); compared texts are not checked;
//   - into or against a number column a date-time literal becomes its day
//     serial.
// Other statements (create table, ...) keep their text; their date-time
// literals become quoted canonical texts.
//
// The column types come from a ColumnSource that the backend provides.
// Pure functions apart from the ColumnSource calls; thread-safe as far as the
// ColumnSource is.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "ado.h"

namespace ado::jet {

// The column kinds that decide how values are stored and read.
enum class ColumnKind { Integer, Double, DateTime, Text, Bytes, Other };

struct Column {
  std::string name;        // as created (narrow)
  std::string type_name;   // as declared
  ColumnKind kind = ColumnKind::Other;
  int size = 0;            // declared length of a text column; 0 when unsized
};

// Reads "(n)" from a declared type such as "VARCHAR (50)"; 0 when absent.
int DeclaredSize(const std::string& type_name);

class ColumnSource {
 public:
  virtual ~ColumnSource() = default;
  // The columns of a table in creation order; null when the table is unknown.
  virtual const std::vector<Column>* ColumnsOf(const std::string& table) = 0;
};

// The tokens of a statement, for backends that rewrite names: words, [names],
// '...' or "..." texts (text holds the value), #...# dates, numbers,
// comparison operators and single punctuation characters.
enum class Tok { Word, Bracket, String, Date, Number, Op, Punct };
struct Token {
  Tok kind;
  size_t begin, end;   // span in the statement
  std::string text;    // name, text value, date text, number, operator or character
};
// Throws Error(kErrCommand) for an unclosed text, date or bracket.
std::vector<Token> Tokenize(const std::string& statement);

// The same tokens one at a time, for readers that look at a few of them or
// at each once: Next() fills *t (reusing its text's storage) and returns
// false after the last; it throws where Tokenize throws. CheckRest() reads
// the rest only as far as it takes to throw where Tokenize would (Next()
// then returns false). The statement must outlive the reader.
class TokenReader {
 public:
  explicit TokenReader(const std::string& statement) : s_(statement) {}
  bool Next(Token* t);
  void CheckRest();

 private:
  const std::string& s_;
  size_t i_ = 0;
};

enum class Verb { Select, Insert, Update, Delete, CreateTable, Other };

struct Translation {
  Verb verb = Verb::Other;
  std::string table;              // the single table a data statement names, else empty
  std::string text;               // the backend's statement (narrow)
  std::vector<Value> params;      // bound to placeholders 1..n in order
};

// `placeholder(n)` renders placeholder n (1-based), e.g. "?1" or "$1".
// Throws Error(kErrCommand) for a malformed literal and the conversion
// errors described above.
Translation Translate(const std::string& statement, ColumnSource& columns,
                      std::string (*placeholder)(int));

// The statement an added row becomes: "INSERT INTO <table> (<names>)
// VALUES (<placeholders>)", or "INSERT INTO <table> DEFAULT VALUES" without
// columns, naming each column as the table has it and coercing each value
// for storing into it (CoerceForStore). `quote` renders a name. Throws
// Error(kErrNoField) for a column the table does not have.
Translation InsertStatement(const std::string& table, const std::vector<Column>& table_columns,
                            const std::vector<std::string>& columns, const std::vector<Value>& values,
                            std::string (*quote)(const std::string&), std::string (*placeholder)(int));

// Recognises "Select * From <table>" (any letter case and spacing).
bool IsSelectAllFrom(const std::string& statement, std::string* table);

// Jet's conversions of a value written into a column (size checked) and of a
// value compared with a column.
Value CoerceForStore(const Column& column, const Value& value);
Value CoerceForCompare(const Column& column, const Value& value);

// Finds a column by name without regard to letter case; null when absent.
const Column* FindColumn(const std::vector<Column>& columns, const std::string& name);

// Compares names and keywords with ASCII letters folded to one case; other
// bytes compare as they are.
bool EqualsNoCase(std::string_view a, std::string_view b);
inline char FoldCase(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

// The narrow code page and the backends' UTF-8 (codepage.h): a narrow text
// that is valid UTF-8 goes to the backend unchanged, any other is read as
// ISO-8859-1; back from the backend, characters above U+00FF become "?".
// So a narrow text survives the round trip byte for byte unless it is, by
// chance, valid UTF-8 with bytes above 0x7F.
std::string NarrowToBackend(const std::string& narrow);
std::string BackendToNarrow(const std::string& utf8);

}  // namespace ado::jet
