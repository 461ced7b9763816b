#include "schema.h"

#include <cstdlib>

#include "lock_retry.h"
#include "score_table.h"

namespace schema {

const std::array<const char*, kTableCount + 1> kTableNames = {
    "",         "Cvars",   "Games",   "Games_Cvars",   "Games_Maps",    "Games_Players_Cvars",
    "Games_Players_Teams", "Logs",    "Logs_Games",    "Maps",          "Players",
    "Scores",   "Servers", "Servers_Cvars", "Servers_Games", "Teams",   "Types",
    "Weapons"};

namespace {

std::function<void()> g_cancel_handler;

// One further column: the name, its slot and, for text, its size.
struct Column {
  const char* name;
  char slot;   // I nteger, S ingle, D ateTime, T ext, L ongBinary
  int size;
};

const std::vector<Column> kColumns[kTableCount + 1] = {
    {},
    {{"Cvar", 'T', 50}, {"Val", 'T', 250}, {"Date_Time", 'D', 0}},
    {{"StdLog_Ver", 'T', 50}, {"Patch_Name", 'T', 50}, {"Game_Start_Date_Time", 'D', 0},
     {"Game_End_Date_Time", 'D', 0}, {"Game_Flags", 'I', 0}},
    {{"Game", 'I', 0}, {"Cvar", 'I', 0}},
    {{"Game", 'I', 0}, {"Map", 'I', 0}},
    {{"Game", 'I', 0}, {"Player", 'I', 0}, {"Cvar", 'I', 0}},
    {{"Game", 'I', 0}, {"Player", 'I', 0}, {"Team", 'I', 0}},
    {{"Log_IP", 'T', 50}, {"Log_Port", 'I', 0}, {"Log_Data", 'L', 0}, {"Log_Date", 'D', 0}},
    {{"Log", 'I', 0}, {"Game", 'I', 0}},
    {{"Map", 'T', 128}, {"Date_Time", 'D', 0}},
    {{"Player", 'T', 50}, {"Date_Time", 'D', 0}},
    {},   // Scores: the score tables' own columns (score_table.h)
    {{"Server_Name", 'T', 128}, {"Server_IP", 'T', 16}, {"Server_Port", 'T', 6},
     {"Packet_Number", 'I', 0}, {"Date_Time", 'D', 0}},
    {{"Server", 'I', 0}, {"Cvar", 'I', 0}},
    {{"Server", 'I', 0}, {"Game", 'I', 0}},
    {{"Team", 'T', 50}, {"Date_Time", 'D', 0}},
    {{"Type", 'T', 50}, {"Date_Time", 'D', 0}},
    {{"Weapon", 'T', 50}, {"Date_Time", 'D', 0}},
};

const std::string& TypeOf(const ColumnTypes& t, char slot) {
  switch (slot) {
    case 'I': return t.Integer;
    case 'S': return t.Single;
    case 'D': return t.DateTime;
    case 'T': return t.Text;
    default: return t.LongBinary;
  }
}

}  // namespace

ColumnTypes ChooseProviderTypes(ado::Connection& connection) {
  const struct { int32_t type; bool best, is_long; } wanted[6] = {
      {3, true, false}, {4, true, false}, {7, true, false},
      {135, true, false}, {129, true, false}, {128, false, true}};
  std::string chosen[6];
  auto rs = connection.OpenSchema(ado::kSchemaProviderTypes);
  if (!rs->Eof()) rs->MoveFirst();
  while (!rs->Eof()) {
    ado::Value type = rs->Field("DATA_TYPE"), best = rs->Field("BEST_MATCH"),
               is_long = rs->Field("IS_LONG");
    for (int i = 0; i < 6; ++i) {
      if (type.IsNull() || best.IsNull() || is_long.IsNull()) break;
      if (type.AsInteger() == wanted[i].type && best.AsBool() == wanted[i].best &&
          is_long.AsBool() == wanted[i].is_long)
        chosen[i] = rs->Field("TYPE_NAME").AsText();
    }
    rs->MoveNext();
  }
  rs->Close();
  ColumnTypes t;
  t.Integer = chosen[0];
  t.Single = chosen[1];
  t.DateTime = !chosen[2].empty() ? chosen[2] : chosen[3];
  t.Text = chosen[4];
  t.LongBinary = chosen[5];
  return t;
}

std::array<std::string, kTableCount + 1> TableCreationList(const ColumnTypes& types) {
  std::array<std::string, kTableCount + 1> list;
  for (int n = 1; n <= kTableCount; ++n) {
    std::string s = std::string("Create Table ") + kTableNames[n] + " (Record " + types.Integer +
                    " Constraint CU" + std::to_string(n) + " Unique";
    for (const Column& c : kColumns[n]) {
      s += std::string(", ") + c.name + " " + TypeOf(types, c.slot);
      if (c.slot == 'T') s += " (" + std::to_string(c.size) + ")";
    }
    if (kTableNames[n] == std::string(scoretable::kSharedTable))
      s += scoretable::ColumnDefinitions(types.Integer, types.Single);
    list[n] = s + ")";
  }
  return list;
}

std::shared_ptr<ado::Connection>& ScratchConnection() {
  static std::shared_ptr<ado::Connection> scratch;
  return scratch;
}

void SetCancelHandler(std::function<void()> handler) { g_cancel_handler = std::move(handler); }

int ExecuteDbCommand(ado::Connection& scratch, const std::string& statement) {
  int result = lockretry::ExecuteInOwnTransaction(scratch, statement);
  if (result != 3) return result;
  // Cancel ends the listener.
  if (scratch.InTransaction()) scratch.RollbackTrans();
  if (g_cancel_handler) g_cancel_handler();
  else std::exit(1);
  return 2;   // a handler that returns (in tests) counts as ignored
}

void CreateDatabaseTables(const std::string& connection_string) {
  auto& scratch = ScratchConnection();
  scratch = std::make_shared<ado::Connection>();
  scratch->Open(connection_string, "", "", ado::kOptionUnspecified);
  ColumnTypes types = ChooseProviderTypes(*scratch);
  // Listeners starting together on one database take turns here, so the
  // later ones find the tables the first one made. A lock that cannot be
  // had leaves the creation to the lock-retry policy as before.
  for (lockretry::LockRetryPolicy policy;;) {
    try {
      scratch->SchemaLock();
      break;
    } catch (const ado::Error& e) {
      if (e.Unavailable() || lockretry::ClassifyFailure(e) != lockretry::FailureClass::Lock ||
          policy.OnFailure(e) != lockretry::Decision::Retry)
        break;
    }
  }

  bool exists[kTableCount + 1] = {};
  auto rs = scratch->OpenSchema(ado::kSchemaTables);
  if (!rs->Eof()) rs->MoveFirst();
  while (!rs->Eof()) {
    if (rs->Field("TABLE_TYPE").AsText() == "TABLE") {
      std::string name = rs->Field("TABLE_NAME").AsText();
      for (int n = 1; n <= kTableCount; ++n)
        if (name == kTableNames[n]) exists[n] = true;
    }
    rs->MoveNext();
  }
  rs->Close();

  auto list = TableCreationList(types);
  for (int n = 1; n <= kTableCount; ++n)
    if (!exists[n]) ExecuteDbCommand(*scratch, list[n]);

  scratch->Close();
  scratch.reset();
}

}  // namespace schema
