// Games: the current game of the datagram's server, new games with their
// score tables, score rows, and the records that describe the game itself.
#include <cmath>
#include <string>

#include "datetime.h"
#include "score_table.h"
#include "scoring.h"

namespace tallycore {
namespace {

GameSlots& Game() { return *State().Game; }

std::string Num(int64_t n) { return std::to_string(n); }

double ReadDateTime(const ado::Value& v) { return v.IsNull() ? 0 : v.AsDateTime(); }

// The game's start, the zero date when its row is missing.
double ReadGameStart(int32_t game) {
  auto& rs = RunQuery("Select Game_Start_Date_Time From Games where Record=" + Num(game));
  double start = 0;
  if (!rs->Eof()) {
    rs->MoveFirst();
    start = ReadDateTime(rs->Field("Game_Start_Date_Time"));
  }
  rs->Close();
  return start;
}

// Links this datagram's Logs row to the current game once.
void LinkLogToGame() {
  EngineState& s = State();
  const std::string log = Num(s.LogRecord), game = Num(Game().GameRecord);
  auto& rs = RunQuery("Select Record From Logs_Games where Log=" + log + " and Game=" + game);
  bool found = !rs->Eof();
  rs->Close();
  if (found) return;
  InsertNewRow("Logs_Games", [&](int32_t n) {
    return "Insert into Logs_Games values ( " + Num(n) + ", " + log + ", " + game + ")";
  });
}

// Copies the server's variables (all of them) into the new game, in the order of
// their Cvars records, so that every backend links them alike.
void CopyServerVariables() {
  EngineState& s = State();
  auto& rs = RunQuery("Select Cvar From Servers_Cvars where Server=" + Num(s.ServerRecord) + " Order By Cvar");
  s.GameCvarList.clear();
  if (!rs->Eof()) {
    rs->MoveFirst();
    while (!rs->Eof()) {
      s.GameCvarList.push_back(static_cast<int32_t>(rs->Field("Cvar").AsInteger()));
      rs->MoveNext();
    }
  }
  rs->Close();
  const std::string game = Num(Game().GameRecord);
  for (int32_t c : s.GameCvarList) {
    const std::string cvar = Num(c);
    const std::string query = "Select Record From Games_Cvars where Game=" + game + " and Cvar=" + cvar;
    if (FindRecord(query)) continue;
    if (InsertNewRow("Games_Cvars", [&](int32_t n) {
          return "Insert into Games_Cvars values ( " + Num(n) + ", " + game + ", " + cvar + ")";
        }) == 0)
      RememberRecord(query, s.NextRecord);
  }
}

// Keeps the per-row numbering query of a score table cheap. Only an index;
// a database that refuses it works the same, only slower.
void IndexScoreTable(const std::string& table) {
  ExecuteOptional("Create Index IF NOT EXISTS IX_" + table + "_Record On " + table + " (Record)");
}

}  // namespace

void ConfirmCurrentGame() {
  GameSlots& g = Game();
  if (g.ScoreTableName.empty() || PassCachesCarriedOver()) return;
  // The database may have been replaced or restored since the game was
  // made current: the game must still be this server's.
  auto& rs = RunQuery("Select Record From Servers_Games where Server=" + Num(State().ServerRecord) +
                      " and Game=" + Num(g.GameRecord));
  bool found = !rs->Eof();
  rs->Close();
  if (!found) g = GameSlots{};
}

void EnsureCurrentGame() {
  if (Game().ScoreTableName.empty()) FindCurrentGame();
}

void FindCurrentGame() {
  EngineState& s = State();
  GameSlots& g = Game();
  auto& rs = RunFirstRowQuery("Select Game From Servers_Games where Server=" + Num(s.ServerRecord) +
                              " Order By Game DESC");
  if (rs->Eof()) {
    rs->Close();
    StartNewGame();
  } else {
    rs->MoveFirst();
    g.GameRecord = static_cast<int32_t>(rs->Field("Game").AsInteger());
    rs->Close();
    g.ScoreTableName = ScoreTableNameOf(g.GameRecord);
    auto& end = RunQuery("Select Game_End_Date_Time From Games where Record=" + Num(g.GameRecord));
    // A latest game without its Games row (its insert was ignored) cannot be
    // resumed: it counts as closed.
    bool missing = end->Eof();
    if (!missing) {
      end->MoveFirst();
      g.GameDateTime = ReadDateTime(end->Field("Game_End_Date_Time"));
    }
    end->Close();
    if (missing || g.GameDateTime != 0) StartNewGame();
  }
  LinkLogToGame();
}

void StartNewGame() {
  EngineState& s = State();
  GameSlots& g = Game();
  int32_t result = InsertNewRow("Games", [](int32_t n) {
    return "Insert into Games values ( " + Num(n) + ", '', '', 0, 0, 0)";
  });
  g.GameRecord = result == 2 ? 0 : s.NextRecord;

  const std::string server = Num(s.ServerRecord), game = Num(g.GameRecord);
  result = InsertNewRow("Servers_Games", [&](int32_t n) {
    return "Insert into Servers_Games values ( " + Num(n) + ", " + server + ", " + game + ")";
  });
  if (result == 2) {
    g.ScoreTableName = scoretable::kSharedTable;
  } else {
    g.ScoreTableName = ScoreTableNameOf(g.GameRecord);
    const std::string& ti = s.ProviderTypeTable[kSlotInteger].TypeName;
    const std::string& ts = s.ProviderTypeTable[kSlotSingle].TypeName;
    result = RunCommand("Create Table " + g.ScoreTableName + " (Record " + ti +
                        scoretable::ColumnDefinitions(ti, ts) + ")");
    if (result != 0) {
      g.ScoreTableName = scoretable::kSharedTable;
      g.GameRecord = 0;
    } else {
      IndexScoreTable(g.ScoreTableName);
    }
  }
  CopyServerVariables();
}

int32_t AppendScoreRow(const std::string& killer, const std::string& victim,
                       const std::string& type, const std::string& weapon,
                       const std::string& score, const std::string& offset) {
  // Score and offset stand unquoted in the statement: only numbers may.
  if (!IsPlainNumber(score, kIntegerMin, kIntegerMax)) throw LineRejected{"score is no number"};
  if (!IsPlainNumber(offset)) throw LineRejected{"offset is no number"};
  const std::string& table = Game().ScoreTableName;
  return InsertNewRow(table, [&](int32_t n) {
    return "Insert into " + table + " values ( " + Num(n) + ", " + killer + ", " + victim + ", " +
           type + ", " + weapon + ", " + score + ", " + offset + ")";
  });
}

void HandleStdLog() {
  EnsureCurrentGame();
  RunCommand("Update Games Set StdLog_Ver=" + TextLiteral(State().RecordFields[4]) +
             " where Record=" + Num(Game().GameRecord));
}

void HandlePatchName() {
  EnsureCurrentGame();
  RunCommand("Update Games Set Patch_Name=" + TextLiteral(State().RecordFields[4]) +
             " where Record=" + Num(Game().GameRecord));
}

void HandleLogDeathFlags() {
  EnsureCurrentGame();
  const std::string& flags = State().RecordFields[4];
  if (!IsPlainNumber(flags, kIntegerMin, kIntegerMax)) throw LineRejected{"flags are no number"};
  RunCommand("Update Games Set Game_Flags=" + flags + " where Record=" + Num(Game().GameRecord));
}

void HandleGameStart() { EnsureCurrentGame(); }

void HandleLogDate(WalkCursor& cursor) {
  EngineState& s = State();
  const std::string& text = *cursor.text;
  const std::string date_field = s.RecordFields[4];

  // Look at the next line: only a keyword line carries the start time.
  bool time_line = false;
  std::string time_text;
  size_t next = cursor.pos;
  if (next < text.size()) {
    size_t lf = text.find('\n', next);
    if (lf != std::string::npos) {
      if (lf == next) {   // an empty line: the record changes nothing
        cursor.pos = lf + 1;
        ++cursor.line;
        return;
      }
      std::array<std::string, 7> fields;
      if (text[next] != '\0' && CutRecordFields(text.substr(next, lf - next), &fields) &&
          fields[1].empty()) {
        s.RecordFields = fields;
        time_line = true;
        time_text = fields[4];
        cursor.pos = lf + 1;
        ++cursor.line;
      }
      // A NUL-led line, a score record or a line that cannot be cut stays
      // for the walk; the start takes midnight.
    }
  }
  GameSlots& g = Game();
  std::string start =
      LogDateStartValue(date_field, time_line, time_text, &g.LogDateText, &g.LogTimeText);
  EnsureCurrentGame();
  double parsed;
  if (!datetime::Parse(start, &parsed)) throw LineRejected{"game start is no date-time"};
  RunCommand("Update Games Set Game_Start_Date_Time=" + DateTimeTextLiteral(start) +
             " where Record=" + Num(Game().GameRecord));
}

void HandleLogTime() {
  EnsureCurrentGame();
  GameSlots& g = Game();
  g.LogTimeText = State().RecordFields[4];
  if (g.LogTimeText.empty() || g.LogTimeText == "00:00:00") g.LogTimeText = "12:00:01 AM";
  double start = ReadGameStart(g.GameRecord);
  double value;
  if (!LogTimeValue(start, g.LogTimeText, &value)) throw LineRejected{"time is no time of day"};
  g.GameDateTime = value;
  RunCommand("Update Games Set Game_Start_Date_Time=" + DateTimeLiteral(g.GameDateTime) +
             " where Record=" + Num(g.GameRecord));
}

void HandleMap() {
  EnsureCurrentGame();
  const std::string literal = TextLiteral(State().RecordFields[4]);
  const std::string query = "Select Record From Maps where Map=" + literal;
  auto find = [&] {
    auto& rs = RunQuery(query);
    int32_t found = 0;
    if (!rs->Eof()) {
      rs->MoveFirst();
      found = static_cast<int32_t>(rs->Field("Record").AsInteger());
    }
    rs->Close();
    return found;
  };
  int32_t map = find();
  // A map new to this pass may have been added by another program while
  // the pass waited its turn to number maps.
  if (map == 0 && LockNumbering("Maps")) map = find();
  if (map == 0) {
    // An insert the user chose to ignore leaves no map: 0, not the number
    // that the next new map will take.
    const int32_t result = InsertNewRow("Maps", [&](int32_t n) {
      return "Insert into Maps values ( " + Num(n) + ", " + literal + ", " +
             DateTimeLiteral(datetime::Now()) + ")";
    });
    map = result == 2 ? 0 : State().NextRecord;
  }
  const std::string game = Num(Game().GameRecord);
  InsertNewRow("Games_Maps", [&](int32_t n) {
    return "Insert into Games_Maps values ( " + Num(n) + ", " + game + ", " + Num(map) + ")";
  });
}

void HandleGameEnd() {
  EnsureCurrentGame();
  GameSlots& g = Game();
  g.GameDateTime = ReadGameStart(g.GameRecord);
  double end;
  if (!GameEndValue(g.GameDateTime, State().RecordFields[6], &end))
    throw LineRejected{"game end is no date-time"};
  g.EndOffset = end - g.GameDateTime;
  RunCommand("Update Games Set Game_End_Date_Time=" + DateTimeLiteral(end) +
             " where Record=" + Num(g.GameRecord));
  g.ScoreTableName.clear();
}

}  // namespace tallycore
