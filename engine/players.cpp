// Players and teams: team records, leaves, renames, and the player variable
// groups of the player variable section.
#include <string>

#include "scoring.h"

namespace tallycore {
namespace {

std::string Num(int64_t n) { return std::to_string(n); }

// Links the player to the current game for `team` (team 0: any team counts).
void LinkPlayerToGame(int32_t player, int32_t team, bool any_team) {
  const std::string game = Num(State().Game->GameRecord), who = Num(player);
  std::string query =
      "Select Record From Games_Players_Teams where Game=" + game + " and Player=" + who;
  if (!any_team) query += " and Team=" + Num(team);
  if (FindRecord(query)) return;
  if (InsertNewRow("Games_Players_Teams", [&](int32_t n) {
        return "Insert into Games_Players_Teams values ( " + Num(n) + ", " + game + ", " + who +
               ", " + Num(team) + ")";
      }) == 0)
    RememberRecord(query, State().NextRecord);
}

void ReportSkipped(int32_t line) { State().LastPass.skipped_lines.push_back(line); }

// One variable of the group's player in the game (GameRecord as it stands).
void StorePlayerVariable(const std::string& name, const std::string& value) {
  EngineState& s = State();
  LookupCvar(name, value);
  const std::string game = Num(s.Game->GameRecord), player = Num(s.PlayerRecord),
                    cvar = Num(s.CvarRecord);
  const std::string query = "Select Record From Games_Players_Cvars where Game=" + game +
                            " and Player=" + player + " and Cvar=" + cvar;
  if (FindRecord(query)) return;
  if (InsertNewRow("Games_Players_Cvars", [&](int32_t n) {
        return "Insert into Games_Players_Cvars values ( " + Num(n) + ", " + game + ", " + player +
               ", " + cvar + ")";
      }) == 0)
    RememberRecord(query, s.NextRecord);
}

}  // namespace

void HandleTeamRecord() {
  EngineState& s = State();
  EnsureCurrentGame();
  LookupTeam(s.RecordFields[5]);
  LookupPlayer(s.RecordFields[4]);
  LookupType(s.RecordFields[3]);
  LinkPlayerToGame(s.PlayerRecord, s.TeamRecord, false);
  AppendScoreRow(Num(s.PlayerRecord), "0", Num(s.TypeRecord), "0", "0", s.RecordFields[6]);
}

void HandlePlayerLeft() {
  EngineState& s = State();
  EnsureCurrentGame();
  LookupPlayer(s.RecordFields[4]);
  LookupType(s.RecordFields[3]);
  LinkPlayerToGame(s.PlayerRecord, 0, true);
  AppendScoreRow(Num(s.PlayerRecord), "0", Num(s.TypeRecord), "0", "0", s.RecordFields[6]);
}

void HandlePlayerRename() {
  EngineState& s = State();
  EnsureCurrentGame();
  LookupPlayer(s.RecordFields[5]);
  const int32_t second = s.PlayerRecord;
  LookupPlayer(s.RecordFields[4]);
  LookupType(s.RecordFields[3]);
  LinkPlayerToGame(s.PlayerRecord, 0, true);
  AppendScoreRow(Num(s.PlayerRecord), Num(second), Num(s.TypeRecord), "0", "0",
                 s.RecordFields[6]);
}

void WalkPlayerVariables(WalkCursor& cursor) {
  const std::string& text = *cursor.text;
  bool in_groups = false;
  for (;;) {
    if (cursor.pos >= text.size()) return;
    size_t lf = text.find('\n', cursor.pos);
    if (lf == std::string::npos) return;
    size_t start = cursor.pos;
    while (start < lf && text[start] == '\0') ++start;
    cursor.current_line = cursor.line;
    cursor.pos = lf + 1;
    ++cursor.line;
    if (start == lf) continue;   // an empty line, or NULs only
    std::string name, value;
    if (!SplitVariableLine(text.substr(start, lf - start), &name, &value)) {
      ReportSkipped(cursor.current_line);
      continue;
    }
    if (name == "netname") {
      // Each "netname" line starts the group of its player.
      in_groups = true;
      LookupPlayer(value);
    } else if (in_groups) {
      StorePlayerVariable(name, value);
    }
    // Lines before the first "netname" line are ignored.
  }
}

}  // namespace tallycore
