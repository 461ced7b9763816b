// The record walk: lines and fields of the record section, the dispatch of
// each record to its handler, and the hand-over to the player variables.
#include <string>

#include "scoring.h"

namespace tallycore {
namespace {

// End of a field from `from`: the next TAB, else (when `fallback`) the next
// CR, else the end of the line.
size_t FieldEnd(const std::string& line, size_t from, bool fallback) {
  size_t tab = line.find('\t', from);
  if (tab != std::string::npos || !fallback) return tab;
  size_t cr = line.find('\r', from);
  return cr != std::string::npos ? cr : line.size();
}

void ReportSkipped(int32_t line) { State().LastPass.skipped_lines.push_back(line); }

}  // namespace

bool CutRecordFields(const std::string& line, std::array<std::string, 7>* fields) {
  size_t cut = 0;
  for (int f = 1; f <= 6; ++f) {
    if (f >= 4 && cut >= line.size()) {
      (*fields)[f].clear();
      continue;
    }
    size_t end = FieldEnd(line, cut, f >= 3);
    if (end == std::string::npos) return false;   // fields 1 and 2 need their TAB
    (*fields)[f].assign(line, cut, end - cut);
    cut = end + 1;
  }
  return true;
}

void DispatchRecord(WalkCursor& cursor) {
  const std::string& keyword = State().RecordFields[3];
  if (!State().RecordFields[1].empty()) {
    HandleScoreRecord();
  } else if (keyword == "PlayerConnect" || keyword == "Player") {
    HandleTeamRecord();
  } else if (keyword == "PlayerLeft") {
    HandlePlayerLeft();
  } else if (keyword == "PlayerTeamChange") {
    HandleTeamRecord();
  } else if (keyword == "PlayerRename") {
    HandlePlayerRename();
  } else if (keyword == "StdLog") {
    HandleStdLog();
  } else if (keyword == "PatchName") {
    HandlePatchName();
  } else if (keyword == "LogDate") {
    HandleLogDate(cursor);
  } else if (keyword == "LogTime") {
    HandleLogTime();
  } else if (keyword == "LogDeathFlags") {
    HandleLogDeathFlags();
  } else if (keyword == "GameStart") {
    HandleGameStart();
  } else if (keyword == "Map") {
    HandleMap();
  } else if (keyword == "GameEnd") {
    HandleGameEnd();
  }
  // Any other keyword: the line is skipped without a row.
}

void WalkRecords(size_t record_start) {
  EngineState& s = State();
  const std::string& text = s.DatagramText;
  WalkCursor cursor;
  cursor.text = &text;
  cursor.pos = record_start;
  cursor.line = 1;
  for (;;) {
    if (cursor.pos >= text.size()) return;
    size_t lf = text.find('\n', cursor.pos);
    if (lf == std::string::npos) return;   // a last line without LF is not handled
    if (lf == cursor.pos) {                  // empty line
      cursor.pos = lf + 1;
      ++cursor.line;
      continue;
    }
    if (text[cursor.pos] == '\0') break;     // the player variable section begins
    std::string line = text.substr(cursor.pos, lf - cursor.pos);
    cursor.current_line = cursor.line;
    cursor.pos = lf + 1;
    ++cursor.line;
    if (!CutRecordFields(line, &s.RecordFields)) {
      ReportSkipped(cursor.current_line);
      continue;
    }
    try {
      DispatchRecord(cursor);
    } catch (const LineRejected&) {
      ReportSkipped(cursor.current_line);
    }
  }
  WalkPlayerVariables(cursor);
}

}  // namespace tallycore
