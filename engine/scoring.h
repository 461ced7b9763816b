// Scoring: everything that turns the datagram text into statistics.
//
// Server identification reads the header and the server variable block,
// finds or creates the Servers row and links the variables to it; the record
// walk cuts the record section into lines and fields and dispatches each
// record to its handler (games, players and teams, score records); the
// player variable walk stores the "netname" groups. Every name goes through
// the dictionary lookups, every insert, update and create through RunCommand
// (ExecuteDbCommand with the lock-retry policy), every select through
// RunQuery.
//
// All working values live in the thread's EngineState (State()); the
// current game of the datagram's server is State().Game, set by
// IdentifyServer. A stop (result 3) unwinds with PassStop from RunCommand.
//
// Lines that cannot be read (a record line with fewer than two TABs, a player
// variable line without a usable double quote, a number or date-time field
// that is no number or date-time its column can hold) are skipped and the walk goes on; their
// line numbers go to State().LastPass.skipped_lines. Lines are numbered from
// 1 at the first line after the NUL that ends the server variable block,
// counting every LF-ended line (empty lines and the record section's closing
// NUL-led line included) up to the end of the datagram.
//
// Thread safety: as EngineState, one pass at a time per thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "score_module.h"

namespace tallycore {

// Error number of a malformed datagram ("Invalid procedure call or
// argument"), reported with PassFailure.
constexpr int32_t kErrMalformedDatagram = -2146828283;   // 0x800A0005
// A table whose largest Record leaves no 32-bit number ("Overflow").
constexpr int32_t kErrOverflow = -2146828282;            // 0x800A0006
// Consecutive duplicate keys after which a new row gives up (the pass fails).
constexpr int kMaxDuplicateRetries = 1000;

// Ranges of the Integer and Single column slots.
constexpr double kIntegerMin = -2147483648.0, kIntegerMax = 2147483647.0;
constexpr double kSingleMax = 3.4028234663852886e38;

// ---- Literals and new-row numbering (literals.cpp) ----

// The Text slot's prefix, the value with every prefix (and suffix)
// occurrence doubled, the Text slot's suffix.
std::string TextLiteral(const std::string& value);
// The DateTime slot's prefix, the value in general date format, the suffix.
std::string DateTimeLiteral(double serial);
// A text between the DateTime slot's prefix and suffix, unconverted.
std::string DateTimeTextLiteral(const std::string& text);
// A date-time in general date format between the Text slot's characters.
std::string DateTimeAsTextLiteral(double serial);
// "Scores_" + "000000" + game number.
std::string ScoreTableNameOf(int32_t game_record);
// Sets NextRecord to the table's largest Record plus one (1 when empty).
int32_t NewRowNumber(const std::string& table);
// Makes the pass the only one numbering rows of `table` until it ends (see
// ado::Connection::NumberingLock). True when this call took the lock, so that
// another program may have added rows since the pass last read the table.
bool LockNumbering(const std::string& table);
// New-row numbering, then the insert built for NextRecord, repeated with the
// next number while it meets a duplicate key. Returns the last result (0 or
// 2; a stop unwinds). A table with no 32-bit number left, or a key still
// duplicate after kMaxDuplicateRetries numbers, fails the pass (PassFailure).
int32_t InsertNewRow(const std::string& table,
                     const std::function<std::string(int32_t)>& statement);
// True when the text is a plain decimal number (sign, fraction and exponent
// allowed, blanks or CRs around it) within [min, max]: the only thing written
// into a statement unquoted.
bool IsPlainNumber(const std::string& text, double min = -kSingleMax, double max = kSingleMax);
// The leading numeric part of a text (numbers::Leading), 0 when none.
double LeadingNumber(const std::string& text);

// ---- Dictionary lookups (lookups.cpp) ----
void LookupType(const std::string& name);     // sets TypeRecord
void LookupPlayer(const std::string& name);   // sets PlayerRecord
void LookupWeapon(const std::string& name);   // sets WeaponRecord
void LookupTeam(const std::string& name);     // sets TeamRecord
void LookupCvar(const std::string& name, const std::string& value);   // sets CvarRecord

// ---- Server identification (server_ident.cpp) ----

// Header bytes 5 to 8 with weights 4096, 256, 16, 1. `text` holds at least
// 8 characters.
int32_t DecodePacketNumber(const std::string& text);
// Splits `name "value"` at the first double quote: the name without its
// last character, the value without the line's last character. False when
// there is no double quote, it is the first character or the last.
bool SplitVariableLine(const std::string& line, std::string* name, std::string* value);
// Reads the server variable block from position 20 (0-based) up to the
// first NUL into names/values (index 0 unused); *nul is that NUL's
// position. Throws PassFailure for a short datagram, a missing NUL or a line
// without a usable double quote.
void ReadVariableBlock(const std::string& text, std::vector<std::string>* names,
                       std::vector<std::string>* values, size_t* nul);
// Non-unique indexes that keep the lookups fast; created once per
// connection string and thread, failures ignored.
const std::vector<std::string>& ScoringIndexStatements();
void EnsureScoringIndexes();

// ---- Record walk (record_walk.cpp) ----

// A line the walk skips (see above); thrown by handlers before they write
// anything for the part of the line that cannot be read.
struct LineRejected {
  std::string reason;
};

// Position of the walk: `pos` is the first character of the next line,
// `line` its number; `current_line` the number of the line being handled.
struct WalkCursor {
  const std::string* text = nullptr;
  size_t pos = 0;
  int32_t line = 1;
  int32_t current_line = 0;
};

// Cuts a record line into RecordFields-style fields 1 to 6 ([0] unused).
// False when the line has fewer than two TABs.
bool CutRecordFields(const std::string& line, std::array<std::string, 7>* fields);
// Picks the handler of State().RecordFields; "LogDate" may move the cursor.
void DispatchRecord(WalkCursor& cursor);

// ---- Games (games.cpp) ----
// Forgets the remembered current game of the datagram's server unless the
// database still links it to that server.
void ConfirmCurrentGame();
void FindCurrentGame();
void StartNewGame();
// Runs FindCurrentGame when no game of this server is current.
void EnsureCurrentGame();
int32_t AppendScoreRow(const std::string& killer, const std::string& victim,
                       const std::string& type, const std::string& weapon,
                       const std::string& score, const std::string& offset);
void HandleStdLog();
void HandlePatchName();
void HandleLogDate(WalkCursor& cursor);
void HandleLogTime();
void HandleLogDeathFlags();
void HandleGameStart();
void HandleMap();
void HandleGameEnd();
// The start value "LogDate" writes, from its date text and the time text of
// the following keyword line (`has_time_line` false: midnight).
std::string LogDateStartValue(const std::string& field4, bool has_time_line,
                              const std::string& time_text, std::string* log_date_text,
                              std::string* log_time_text);
// The game end: `start` plus the offset field read as seconds (halves to
// even), whole days carried into the date. False when the end falls outside
// the years 100 to 9999.
bool GameEndValue(double start, const std::string& offset_field, double* end);
// The game start after "LogTime": the date part of `start` (none on the
// zero date) with `time_text`. False when that is no valid date-time.
bool LogTimeValue(double start, const std::string& time_text, double* result);

// ---- Players and teams (players.cpp) ----
void HandleTeamRecord();   // "PlayerConnect", "Player", "PlayerTeamChange"
void HandlePlayerLeft();
void HandlePlayerRename();
// The player variable section from the cursor (at its NUL-led line) on.
void WalkPlayerVariables(WalkCursor& cursor);

// ---- Score records (scores.cpp) ----
void HandleScoreRecord();

}  // namespace tallycore
