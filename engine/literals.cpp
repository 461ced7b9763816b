// Text and date-time literals, plain-number checks and new-row numbering.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "datetime.h"
#include "lock_retry.h"
#include "numbers.h"
#include "score_table.h"
#include "scoring.h"

namespace tallycore {
namespace {

// Doubles the first character of every occurrence of `lit`, searching on two
// characters after each occurrence's start.
void DoubleOccurrences(std::string* s, const std::string& lit) {
  if (lit.empty()) return;
  size_t pos = s->find(lit);
  while (pos != std::string::npos) {
    s->insert(pos, 1, lit[0]);
    pos = s->find(lit, pos + 2);
  }
}

const ProviderTypeRow& Row(Slot slot) { return State().ProviderTypeTable[slot]; }

}  // namespace

std::string TextLiteral(const std::string& value) {
  const ProviderTypeRow& text = Row(kSlotText);
  std::string escaped = value;
  DoubleOccurrences(&escaped, text.LiteralPrefix);
  if (text.LiteralSuffix != text.LiteralPrefix) DoubleOccurrences(&escaped, text.LiteralSuffix);
  return text.LiteralPrefix + escaped + text.LiteralSuffix;
}

std::string DateTimeLiteral(double serial) {
  return DateTimeTextLiteral(datetime::FormatGeneral(serial));
}

std::string DateTimeTextLiteral(const std::string& text) {
  const ProviderTypeRow& dt = Row(kSlotDateTime);
  return dt.LiteralPrefix + text + dt.LiteralSuffix;
}

std::string DateTimeAsTextLiteral(double serial) {
  const ProviderTypeRow& text = Row(kSlotText);
  return text.LiteralPrefix + datetime::FormatGeneral(serial) + text.LiteralSuffix;
}

std::string ScoreTableNameOf(int32_t game_record) { return scoretable::TableNameOf(game_record); }

// Several programs numbering rows of one table take turns: the first
// numbering of a table in a pass waits until no other pass numbers it, and
// holds it to the pass's end, so two passes never take one number.
bool LockNumbering(const std::string& table) {
  EngineState& s = State();
  if (!s.NumberingLocked.insert(table).second) return false;
  lockretry::LockRetryPolicy policy;
  while (true) {
    try {
      // Another program may have numbered rows of the table after this
      // pass began and before its turn came: the largest is read again
      // within the turn.
      if (!s.EngineConnection->NumberingLock(table)) return false;
      ForgetLargestRecord(table);
      return true;
    } catch (const ado::Error& e) {
      s.NumberingLocked.erase(table);
      if (e.Unavailable() || lockretry::ClassifyFailure(e) != lockretry::FailureClass::Lock)
        throw;
      switch (policy.OnFailure(e)) {
        case lockretry::Decision::Retry:
          s.NumberingLocked.insert(table);
          continue;
        case lockretry::Decision::Stop:
          throw PassStop{};
        default:
          throw PassDeferred{e.Number(), e.Description()};
      }
    }
  }
}

// Logs gets a row in every pass: where the database keeps a counter for it,
// passes of several programs number their datagrams side by side instead
// of each waiting for the one before to commit.
static bool NumberedByCounter(const std::string& table) { return table == "Logs"; }

int32_t NewRowNumber(const std::string& table) {
  EngineState& s = State();
  int32_t known = 0;
  int64_t largest = 0;
  int64_t counted = 0;
  if (NumberedByCounter(table) && s.EngineConnection->NumberFromCounter(table, &counted)) {
    largest = counted - 1;
  } else {
    LockNumbering(table);
    if (KnownLargestRecord(table, &known)) {
      largest = known;
    } else {
      auto& rs = RunFirstRowQuery("Select Record From " + table + " Order By Record DESC");
      if (!rs->Eof()) {
        rs->MoveFirst();
        largest = rs->Field("Record").AsInteger();
      }
      rs->Close();
      if (largest < INT32_MAX && largest >= 0) RememberLargestRecord(table, static_cast<int32_t>(largest));
    }
  }
  if (largest >= INT32_MAX || largest < INT32_MIN) {
    throw PassFailure(kErrOverflow, "Overflow: table " + table +
                                        " has no record number left after " +
                                        std::to_string(largest) + ".");
  }
  s.NextRecord = static_cast<int32_t>(largest) + 1;
  return s.NextRecord;
}

int32_t InsertNewRow(const std::string& table,
                     const std::function<std::string(int32_t)>& statement) {
  EngineState& s = State();
  NewRowNumber(table);
  for (int attempt = 1;; ++attempt) {
    int32_t result = RunCommand(statement(s.NextRecord));
    if (result == 0) RememberStoredRecord(table, s.NextRecord);
    if (result != 1) return result;
    ForgetLargestRecord(table);   // someone else numbers rows here too
    // Other writers take a number now and then; a key that stays duplicate
    // whatever the number (a unique column besides Record) would never end.
    if (attempt == kMaxDuplicateRetries || s.NextRecord == INT32_MAX) {
      throw PassFailure(lockretry::kErrUnspecified,
                        "A new row of " + table + " met a duplicate key " +
                            std::to_string(attempt) + " times in a row: " + s.CommandText);
    }
    ++s.NextRecord;
  }
}

bool IsPlainNumber(const std::string& text, double min, double max) {
  // A CR stays inside a field that a TAB follows; in a statement it is a blank.
  std::optional<double> value = numbers::Whole(text, " \r");
  return value && *value >= min && *value <= max;
}

double LeadingNumber(const std::string& text) { return numbers::Leading(text); }

}  // namespace tallycore
