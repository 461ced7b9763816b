// What the engine remembers of a database between statements: the Record
// that a look-up query found or that its insert stored, and each table's
// largest Record. Rows are only ever added (never deleted or renumbered), so
// what is remembered stays true as long as no other program writes to the
// database: a pass holds the write lock, and the connection's change stamp
// tells at the next pass's start whether anyone else wrote in between.
// What a look-up found stays true also while other programs only add rows,
// which the connection's kept-rows stamp tells: several programs storing
// into one database then keep what they found, and read each table's
// largest Record again.
#include "score_module.h"
#include "scoring.h"

namespace tallycore {
namespace {

// Remembered entries beyond this are dropped all at once (values that
// change with every datagram would otherwise grow the memory for ever).
constexpr size_t kMaxRemembered = 200000;

PassCaches& Caches() { return State().Caches; }

void Clear(PassCaches& c) {
  c.records.clear();
  c.largest.clear();
  c.stamp = 0;
  c.kept_stamp = 0;
}

}  // namespace

const std::vector<ado::RowWatch>& RememberedTables() {
  static const std::vector<ado::RowWatch> tables = {
      {"Cvars", {}},
      {"Games", {"StdLog_Ver", "Patch_Name", "Game_Flags", "Game_Start_Date_Time", "Game_End_Date_Time"}},
      {"Games_Cvars", {}},
      {"Games_Maps", {}},
      {"Games_Players_Cvars", {}},
      {"Games_Players_Teams", {}},
      {"Maps", {}},
      {"Players", {}},
      {"Servers", {"Packet_Number"}},
      {"Servers_Cvars", {}},
      {"Servers_Games", {}},
      {"Teams", {}},
      {"Types", {}},
      {"Weapons", {}}};
  return tables;
}

void BeginPassCaches() {
  EngineState& s = State();
  PassCaches& c = Caches();
  uint64_t stamp = 0;
  c.kept_stamp_now = 0;
  try {
    stamp = s.EngineConnection->ChangeStamp();
    c.kept_stamp_now = s.EngineConnection->KeptRowsStamp();
  } catch (const ado::Error&) {
  }
  const bool same_database = c.connection_string == s.ConnectionString;
  c.valid = same_database && stamp != 0 && stamp == c.stamp;
  if (!c.valid && same_database && c.kept_stamp_now != 0 && c.kept_stamp_now == c.kept_stamp) {
    c.largest.clear();   // others added rows
    c.valid = true;
  }
  if (!c.valid) {
    Clear(c);
    c.connection_string = s.ConnectionString;
  }
}

void KeepPassCaches() {
  EngineState& s = State();
  PassCaches& c = Caches();
  c.stamp = 0;
  try {
    if (s.EngineConnection) c.stamp = s.EngineConnection->ChangeStamp();
  } catch (const ado::Error&) {
  }
  // Anything another program changed after this pass began shows in the
  // next pass's stamp; this pass's own additions do not count.
  c.kept_stamp = c.kept_stamp_now;
}

void ForgetPassCaches() { Clear(Caches()); }

bool PassCachesCarriedOver() { return Caches().valid; }

int32_t FindRecord(const std::string& query) {
  PassCaches& c = Caches();
  auto it = c.records.find(query);
  if (it != c.records.end()) return it->second;
  auto& rs = RunFirstRowQuery(query);
  int32_t record = 0;
  if (!rs->Eof()) {
    rs->MoveFirst();
    record = static_cast<int32_t>(rs->Field("Record").AsInteger());
  }
  rs->Close();
  if (record != 0) RememberRecord(query, record);
  return record;
}

void RememberRecord(const std::string& query, int32_t record) {
  PassCaches& c = Caches();
  if (c.records.size() >= kMaxRemembered) c.records.clear();
  c.records[query] = record;
}

bool KnownLargestRecord(const std::string& table, int32_t* largest) {
  PassCaches& c = Caches();
  auto it = c.largest.find(table);
  if (it == c.largest.end()) return false;
  *largest = it->second;
  return true;
}

void RememberStoredRecord(const std::string& table, int32_t record) {
  PassCaches& c = Caches();
  auto it = c.largest.find(table);
  if (it == c.largest.end()) {
    if (c.largest.size() >= kMaxRemembered) c.largest.clear();
    return;   // only a largest Record learned from the table itself is kept up to date
  }
  if (record > it->second) it->second = record;
}

void ForgetLargestRecord(const std::string& table) { Caches().largest.erase(table); }

void RememberLargestRecord(const std::string& table, int32_t largest) {
  PassCaches& c = Caches();
  if (c.largest.size() >= kMaxRemembered) c.largest.clear();
  c.largest[table] = largest;
}

}  // namespace tallycore
