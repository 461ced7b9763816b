// Dictionary lookups: a name (or a variable's name and value) to its Record,
// inserting it with the moment of first sight when it is new.
#include <string>

#include "datetime.h"
#include "scoring.h"

namespace tallycore {
namespace {

// Runs the lookup query; on no row, inserts with new-row numbering. Returns
// the record (0 when the user chose to ignore a failed insert).
int32_t LookupOrInsert(const std::string& query, const std::string& table,
                       const std::function<std::string(int32_t)>& insert) {
  EngineState& s = State();
  if (int32_t record = FindRecord(query)) return record;
  // Another program may have added the name while this pass waited its turn
  // to number the table: look again once the turn is ours.
  if (LockNumbering(table))
    if (int32_t record = FindRecord(query)) return record;
  if (InsertNewRow(table, insert) == 2) {
    s.NextRecord = 0;
  } else {
    RememberRecord(query, s.NextRecord);
  }
  return s.NextRecord;
}

// Lookups of the four single-name tables differ only in their names.
int32_t LookupName(const std::string& table, const std::string& column, const std::string& name,
                   bool date_as_text) {
  const std::string literal = TextLiteral(name);
  return LookupOrInsert(
      "Select Record From " + table + " where " + column + "=" + literal, table,
      [&](int32_t n) {
        double now = datetime::Now();
        return "Insert into " + table + " values ( " + std::to_string(n) + ", " + literal + ", " +
               (date_as_text ? DateTimeAsTextLiteral(now) : DateTimeLiteral(now)) + ")";
      });
}

}  // namespace

void LookupType(const std::string& name) {
  State().TypeRecord = LookupName("Types", "Type", name, false);
}

void LookupPlayer(const std::string& name) {
  State().PlayerRecord = LookupName("Players", "Player", name, false);
}

// Weapons take their Date_Time as a text literal, which the database turns
// into the date-time column's value.
void LookupWeapon(const std::string& name) {
  State().WeaponRecord = LookupName("Weapons", "Weapon", name, true);
}

void LookupTeam(const std::string& name) {
  State().TeamRecord = LookupName("Teams", "Team", name, false);
}

void LookupCvar(const std::string& name, const std::string& value) {
  const std::string name_literal = TextLiteral(name);
  const std::string value_literal = TextLiteral(value);
  State().CvarRecord = LookupOrInsert(
      "Select Record From Cvars where Cvar=" + name_literal + " and Val=" + value_literal, "Cvars",
      [&](int32_t n) {
        return "Insert into Cvars values ( " + std::to_string(n) + ", " + name_literal + ", " +
               value_literal + ", " + DateTimeLiteral(datetime::Now()) + ")";
      });
}

}  // namespace tallycore
