#include "datetime.h"
#include "refresher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <map>
#include <set>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "ado.h"
#include "aliases.h"
#include "derived_schema.h"
#include "game_time.h"
#include "rating_store.h"
#include "score_table.h"
#include "sqlite_db.h"

namespace web {
namespace {

// Score rows gathered before a commit.
constexpr size_t kBatchRows = 200000;

using Row = std::vector<ado::Value>;

// Values of another type than the column's are read as 0 (or as their text):
// one odd value must not stop every later pass.
int64_t Int(const ado::Value& v) {
  if (v.IsNull()) return 0;
  try {
    return v.AsInteger();
  } catch (const ado::Error&) {
  }
  try {
    const double d = v.AsDouble();
    return std::isfinite(d) && std::fabs(d) < 9e18 ? static_cast<int64_t>(std::llround(d)) : 0;
  } catch (const ado::Error&) {
    return 0;
  }
}

double Real(const ado::Value& v) {
  try {
    return v.IsNull() ? 0.0 : v.AsDouble();
  } catch (const ado::Error&) {
    return 0.0;
  }
}

// The day serial of a date-time; false for null and for what is no date.
bool Serial(const ado::Value& v, double* serial) {
  if (v.IsNull()) return false;
  try {
    *serial = v.AsDateTime();
    return true;
  } catch (const ado::Error&) {
    return false;
  }
}

std::string Text(const ado::Value& v) {
  try {
    return v.IsNull() ? std::string() : v.AsText();   // UTF-8 as stored (Texts=UTF-8)
  } catch (const ado::Error&) {
    return std::string();
  }
}

// A date-time as the database holds it, in the general date format; empty
// for the zero date (nothing recorded).
std::string Date(const ado::Value& v) {
  double serial = 0;
  if (!Serial(v, &serial)) return v.IsNull() ? std::string() : Text(v);
  return serial == 0 ? std::string() : Text(v);
}

std::vector<Row> Select(ado::Connection& c, const std::string& statement, const std::vector<std::string>& names) {
  std::vector<Row> rows;
  auto rs = c.Execute(statement);
  for (; !rs->Eof(); rs->MoveNext()) {
    Row row;
    row.reserve(names.size());
    for (const std::string& n : names) row.push_back(rs->Field(n));
    rows.push_back(std::move(row));
  }
  rs->Close();
  return rows;
}

struct ScoreRow {
  int64_t rec, killer, victim, type, weapon, score;
  double offset;
};

struct GameRead {
  int64_t game;
  bool make_final;
  std::vector<ScoreRow> rows;
};

}  // namespace

std::string SourceKey(const std::string& cs) {
  return ado::ConnectionSetting(cs, "Provider") + "|" + ado::ConnectionSetting(cs, "Data Source") + "|" +
         ado::ConnectionSetting(cs, "Location");
}

std::string ReadOnlyConnectionString(const std::string& cs) { return "Mode=Read;Texts=UTF-8;" + cs; }

struct Refresher::Impl {
  std::unique_ptr<Db> db;
  ino_t ino = 0;
  dev_t dev = 0;
  std::set<std::string> tables;    // the database's tables, read when a score table fails
  bool tables_read = false;
  // The derived file had content when the last pass ended (a file just
  // made in WAL mode may stay empty until its log is checkpointed).
  bool had_content = false;
  AliasLines aliases;
};

Refresher::Refresher(std::string connection_string, std::string derived_path)
    : connection_string_(std::move(connection_string)),
      derived_path_(std::move(derived_path)),
      impl_(std::make_unique<Impl>()) {}

Refresher::~Refresher() = default;

namespace {

int64_t Cursor(Db& db, const std::string& table) {
  Stmt q(db.handle(), "SELECT last FROM cursors WHERE tbl = ?");
  q.Bind(1, table);
  return q.Step() ? q.Int(0) : 0;
}

void SetCursor(Db& db, const std::string& table, int64_t last) {
  Stmt q(db.handle(), "INSERT INTO cursors (tbl, last) VALUES (?, ?) ON CONFLICT (tbl) DO UPDATE SET last = excluded.last");
  q.Bind(1, table).Bind(2, last).Run();
}

// Reads a dictionary's new rows: (Record, name column, Date_Time).
void ReadDictionary(ado::Connection& c, Db& db, const std::string& source, const std::string& column,
                    const std::string& target) {
  const int64_t last = Cursor(db, source);
  auto rows = Select(c, "Select Record, " + column + ", Date_Time From " + source + " Where Record > " +
                            std::to_string(last) + " Order By Record",
                     {"Record", column, "Date_Time"});
  if (rows.empty()) return;
  Stmt ins(db.handle(), "INSERT INTO " + target + " (id, name, first_seen) VALUES (?, ?, ?) "
                        "ON CONFLICT (id) DO UPDATE SET name = excluded.name, first_seen = excluded.first_seen");
  // Player names are also kept in a trigram index for the name search.
  std::unique_ptr<Stmt> words;
  if (target == "players") words = std::make_unique<Stmt>(db.handle(), "INSERT OR REPLACE INTO player_names (rowid, name) VALUES (?, ?)");
  int64_t max = last;
  for (const Row& r : rows) {
    const int64_t id = Int(r[0]);
    ins.Bind(1, id).Bind(2, Text(r[1])).Bind(3, Date(r[2])).Run();
    if (words) words->Bind(1, id).Bind(2, Text(r[1])).Run();
    if (id > max) max = id;
  }
  SetCursor(db, source, max);
}

// Reads a link table's new rows into a mirror with the same columns.
void ReadLinks(ado::Connection& c, Db& db, const std::string& source, const std::vector<std::string>& columns,
               const std::string& target, const std::vector<std::string>& target_columns) {
  const int64_t last = Cursor(db, source);
  std::string list = "Record", marks = "?", names = "rec";
  for (size_t i = 0; i < columns.size(); ++i) {
    list += ", " + columns[i];
    marks += ", ?";
    names += ", " + target_columns[i];
  }
  std::vector<std::string> all = {"Record"};
  all.insert(all.end(), columns.begin(), columns.end());
  auto rows = Select(c, "Select " + list + " From " + source + " Where Record > " + std::to_string(last) +
                            " Order By Record",
                     all);
  if (rows.empty()) return;
  Stmt ins(db.handle(), "INSERT OR REPLACE INTO " + target + " (" + names + ") VALUES (" + marks + ")");
  int64_t max = last;
  for (const Row& r : rows) {
    for (size_t i = 0; i < r.size(); ++i) ins.Bind(static_cast<int>(i) + 1, Int(r[i]));
    ins.Run();
    max = std::max(max, Int(r[0]));
  }
  SetCursor(db, source, max);
}

void StoreGame(Db& db, const Row& r) {
  Stmt q(db.handle(),
         "INSERT INTO games (id, stdlog, patch, start, start_serial, end_time, flags, open) VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
         "ON CONFLICT (id) DO UPDATE SET stdlog = excluded.stdlog, patch = excluded.patch, start = excluded.start, "
         "start_serial = excluded.start_serial, end_time = excluded.end_time, flags = excluded.flags, open = excluded.open");
  double end = 0, start = 0;
  const bool open = !Serial(r[4], &end) || end == 0;
  q.Bind(1, Int(r[0])).Bind(2, Text(r[1])).Bind(3, Text(r[2])).Bind(4, Date(r[3]));
  if (Serial(r[3], &start)) q.Bind(5, start);
  else q.BindNull(5);
  q.Bind(6, Date(r[4])).Bind(7, Int(r[5])).Bind(8, static_cast<int64_t>(open ? 1 : 0)).Run();
}

const std::vector<std::string> kGameColumns = {"Record", "StdLog_Ver", "Patch_Name", "Game_Start_Date_Time",
                                               "Game_End_Date_Time", "Game_Flags"};

const char kGameSelect[] =
    "Select Record, StdLog_Ver, Patch_Name, Game_Start_Date_Time, Game_End_Date_Time, Game_Flags From Games";

std::string ScoreTableName(int64_t game) { return scoretable::TableNameOf(game); }

// True when the highest game read for the last time is in the database as
// it was read (or there is none yet).
bool LastClosedGameAsRead(ado::Connection& c, Db& db) {
  Stmt q(db.handle(), "SELECT id, ifnull(stdlog, ''), ifnull(patch, ''), ifnull(start, ''), ifnull(end_time, ''), flags "
                      "FROM games WHERE final = 1 ORDER BY id DESC LIMIT 1");
  if (!q.Step()) return true;
  const int64_t id = q.Int(0);
  auto rows = Select(c, std::string(kGameSelect) + " Where Record = " + std::to_string(id), kGameColumns);
  if (rows.size() != 1) return false;
  const Row& r = rows[0];
  return Text(r[1]) == q.Text(1) && Text(r[2]) == q.Text(2) && Date(r[3]) == q.Text(3) && Date(r[4]) == q.Text(4) &&
         Int(r[5]) == q.Int(5);
}

// The database's first archived datagram (number, sender, time of
// receipt), which no program changes: empty while there is none.
std::string FirstLog(ado::Connection& c) {
  auto first = Select(c, "Select Min(Record) As Lowest From Logs", {"Lowest"});
  if (first.empty() || first[0][0].IsNull()) return "";
  auto rows = Select(c, "Select Record, Log_IP, Log_Port, Log_Date From Logs Where Record = " +
                            std::to_string(Int(first[0][0])),
                     {"Record", "Log_IP", "Log_Port", "Log_Date"});
  if (rows.empty()) return "";
  return std::to_string(Int(rows[0][0])) + " " + Text(rows[0][1]) + ":" + std::to_string(Int(rows[0][2])) + " " +
         Date(rows[0][3]);
}

// A score row's values as one text, to tell the row read last from
// another one put in its place.
std::string RowPrint(const ScoreRow& r) {
  char offset[32];
  std::snprintf(offset, sizeof offset, "%.17g", r.offset);
  return std::to_string(r.rec) + "|" + std::to_string(r.killer) + "|" + std::to_string(r.victim) + "|" +
         std::to_string(r.type) + "|" + std::to_string(r.weapon) + "|" + std::to_string(r.score) + "|" + offset;
}

ScoreRow ReadScoreRow(ado::Recordset& rs) {
  return {Int(rs.Field("Record")), Int(rs.Field("Killer")), Int(rs.Field("Victim")), Int(rs.Field("Type")),
          Int(rs.Field("Weapon")), Int(rs.Field("Score")), Real(rs.Field("Offset"))};
}

// A source table mirrored row for row, by its Record.
struct Mirror {
  const char* source;
  std::vector<std::string> columns;   // beside Record
  const char* target;
  const char* key;                    // the target's column for Record
  std::vector<std::string> target_columns;
  bool numbers;                       // the columns hold Records, else texts
};

const std::vector<Mirror>& Mirrors() {
  static const std::vector<Mirror> mirrors = {
      {"Players", {"Player"}, "players", "id", {"name"}, false},
      {"Weapons", {"Weapon"}, "weapons", "id", {"name"}, false},
      {"Types", {"Type"}, "types", "id", {"name"}, false},
      {"Teams", {"Team"}, "teams", "id", {"name"}, false},
      {"Maps", {"Map"}, "maps", "id", {"name"}, false},
      {"Cvars", {"Cvar", "Val"}, "cvars", "id", {"name", "value"}, false},
      {"Servers_Games", {"Server", "Game"}, "server_games", "rec", {"server", "game"}, true},
      {"Games_Maps", {"Game", "Map"}, "game_maps", "rec", {"game", "map"}, true},
      {"Games_Players_Teams", {"Game", "Player", "Team"}, "game_teams", "rec", {"game", "player", "team"}, true},
      {"Games_Players_Cvars", {"Game", "Player", "Cvar"}, "game_player_cvars", "rec", {"game", "player", "cvar"}, true},
      {"Games_Cvars", {"Game", "Cvar"}, "game_cvars", "rec", {"game", "cvar"}, true}};
  return mirrors;
}

// True when the rows read last are in the database as they were read: the
// last row of each mirrored table and of each game's table not yet read for
// the last time. Rows are only ever added, so a row read that has gone or
// changed means a database put back from a backup or replaced by a copy.
bool LastRowsAsRead(ado::Connection& c, Db& db) {
  for (const Mirror& m : Mirrors()) {
    const int64_t last = Cursor(db, m.source);
    if (last <= 0) continue;
    std::string cols;
    for (const std::string& t : m.target_columns) cols += (cols.empty() ? "" : ", ") + t;
    Stmt q(db.handle(), "SELECT " + cols + " FROM " + m.target + " WHERE " + m.key + " = ?");
    q.Bind(1, last);
    if (!q.Step()) continue;   // nothing kept of it to compare with
    std::string list;
    for (const std::string& col : m.columns) list += (list.empty() ? "" : ", ") + col;
    auto rows = Select(c, "Select " + list + " From " + m.source + " Where Record = " + std::to_string(last), m.columns);
    if (rows.size() != 1) return false;
    for (size_t i = 0; i < m.columns.size(); ++i) {
      const bool same = m.numbers ? Int(rows[0][i]) == q.Int(static_cast<int>(i))
                                  : Text(rows[0][i]) == q.Text(static_cast<int>(i));
      if (!same) return false;
    }
  }
  Stmt q(db.handle(), "SELECT id, last_record, last_row FROM games WHERE final = 0 AND last_record > 0 ORDER BY id");
  while (q.Step()) {
    std::unique_ptr<ScoreRow> row;
    try {
      auto rs = c.Execute("Select " + scoretable::SelectList() + " From " + ScoreTableName(q.Int(0)) +
                          " Where Record = " + std::to_string(q.Int(1)));
      if (!rs->Eof()) row = std::make_unique<ScoreRow>(ReadScoreRow(*rs));
      rs->Close();
    } catch (const ado::Error& e) {
      if (e.Unavailable()) throw;   // no table: not as read
    }
    if (!row || RowPrint(*row) != q.Text(2)) return false;
  }
  return true;
}

// Reads the archived datagrams' new rows: who sent them and when (never
// their bytes), and the links of datagrams to games. A server's senders are
// the addresses of the datagrams linked to its games; its newest datagram
// is the newest from one of them (the engine links only the datagram that
// makes a game current, not every one; see ServerRow in figures_detail.cpp).
void ReadLogs(ado::Connection& c, Db& db) {
  struct Seen {
    std::string ip;
    int64_t port;
    double serial;
    std::string date;
  };
  const int64_t last_link = Cursor(db, "Logs_Games");
  auto links = Select(c, "Select Record, Log, Game From Logs_Games Where Record > " + std::to_string(last_link) +
                             " Order By Record",
                      {"Record", "Log", "Game"});
  std::map<int64_t, Seen> wanted;
  for (const Row& r : links) wanted[Int(r[1])];
  const int64_t last_log = Cursor(db, "Logs");
  int64_t max_log = last_log;
  std::map<std::pair<std::string, int64_t>, Seen> newest;
  std::map<std::pair<std::string, int64_t>, int64_t> newest_log;
  {
    auto rs = c.Execute("Select Record, Log_IP, Log_Port, Log_Date From Logs Where Record > " + std::to_string(last_log) +
                        " Order By Record");
    for (; !rs->Eof(); rs->MoveNext()) {
      const int64_t id = Int(rs->Field("Record"));
      Seen s{Text(rs->Field("Log_IP")), Int(rs->Field("Log_Port")), 0, ""};
      const ado::Value when = rs->Field("Log_Date");
      if (!Serial(when, &s.serial)) s.serial = 0;
      s.date = Date(when);
      max_log = std::max(max_log, id);
      auto it = wanted.find(id);
      if (it != wanted.end()) it->second = s;
      const auto key = std::make_pair(s.ip, s.port);
      newest_log[key] = id;
      newest[key] = std::move(s);
    }
    rs->Close();
  }
  SetCursor(db, "Logs", max_log);
  Stmt sender(db.handle(),
              "INSERT INTO senders (ip, port, last_log, serial, date) VALUES (?, ?, ?, ?, ?) ON CONFLICT DO UPDATE SET "
              "last_log = excluded.last_log, serial = excluded.serial, date = excluded.date WHERE excluded.last_log > last_log");
  for (const auto& [key, s] : newest)
    sender.Bind(1, key.first).Bind(2, key.second).Bind(3, newest_log[key]).Bind(4, s.serial).Bind(5, s.date).Run();
  if (links.empty()) return;
  Stmt link(db.handle(), "INSERT OR REPLACE INTO log_games (rec, log, game, serial, date, ip, port) VALUES (?, ?, ?, ?, ?, ?, ?)");
  int64_t max_link = last_link;
  for (const Row& r : links) {
    const int64_t log = Int(r[1]), game = Int(r[2]);
    Seen& s = wanted[log];
    if (s.ip.empty() && s.date.empty()) {
      // Read in an earlier pass, before its link was written.
      auto rows = Select(c, "Select Log_IP, Log_Port, Log_Date From Logs Where Record = " + std::to_string(log),
                         {"Log_IP", "Log_Port", "Log_Date"});
      if (!rows.empty()) {
        s = Seen{Text(rows[0][0]), Int(rows[0][1]), 0, Date(rows[0][2])};
        if (!Serial(rows[0][2], &s.serial)) s.serial = 0;
      }
    }
    link.Bind(1, Int(r[0])).Bind(2, log).Bind(3, game);
    if (s.serial != 0) link.Bind(4, s.serial).Bind(5, s.date);
    else link.BindNull(4).BindNull(5);
    link.Bind(6, s.ip).Bind(7, s.port).Run();
    max_link = std::max(max_link, Int(r[0]));
  }
  SetCursor(db, "Logs_Games", max_link);
}

// Whether the file at `path` starts as an SQLite database does.
bool LooksLikeDatabase(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  char head[16] = {};
  const size_t n = std::fread(head, 1, sizeof head, f);
  std::fclose(f);
  return n == sizeof head && std::memcmp(head, "SQLite format 3", 16) == 0;
}

// The types and teams by which the summing tells events and team kills.
struct Kinds {
  std::set<int64_t> events;         // types whose name is a player-event keyword
  std::set<int64_t> team_records;   // "PlayerConnect", "Player", "PlayerTeamChange"
  int64_t team_change = -1;
  int64_t rename = -1;
  std::set<int64_t> nobody;         // players whose name is empty (a score without a victim)
  std::set<int64_t> no_team;        // teams whose name is empty (no team at all)
  std::map<int64_t, int64_t> alias;                 // player -> the player merged into (aliases.h)
  std::map<int64_t, std::vector<int64_t>> members;  // merged player -> all its records

  int64_t Canon(int64_t player) const {
    auto it = alias.find(player);
    return it == alias.end() ? player : it->second;
  }
};

// The figures were summed with merged players as `aliases` holds them; a
// change makes the next pass sum everything again ("stale"), unless nothing
// was summed yet.
constexpr char kStaleAliases[] = "stale";

void NoteAliases(Db& db, const std::map<int64_t, int64_t>& alias) {
  std::string print;
  for (const auto& [player, kept] : alias) print += std::to_string(player) + ">" + std::to_string(kept) + " ";
  const std::string known = Meta(db, "aliases");
  if (print == known || known == kStaleAliases) return;
  Stmt any(db.handle(), "SELECT 1 FROM game_players LIMIT 1");
  SetMeta(db, "aliases", any.Step() ? std::string(kStaleAliases) : print);
  db.Exec("DELETE FROM aliases");
  Stmt ins(db.handle(), "INSERT INTO aliases (player, kept) VALUES (?, ?)");
  for (const auto& [player, kept] : alias) ins.Bind(1, player).Bind(2, kept).Run();
}

// Recomputes the totals of players over their games (and the games with
// their first and last time).
void SumPlayers(Db& db, const std::set<int64_t>& players) {
  Stmt p_new(db.handle(), "INSERT OR IGNORE INTO players (id) VALUES (?)");
  Stmt p_upd(db.handle(),
             "UPDATE players SET (frags, deaths, suicides, score, team_kills, best_streak, games) = "
             "(SELECT ifnull(sum(frags), 0), ifnull(sum(deaths), 0), ifnull(sum(suicides), 0), ifnull(sum(score), 0), "
             "ifnull(sum(team_kills), 0), ifnull(max(best_streak), 0), count(*) "
             "FROM game_players WHERE player = players.id), "
             // The first and last games seen are those of the earliest and
             // latest time (game_time.h; games without one only when there is
             // no other), not the lowest and highest number: servers' games
             // interleave.
             "(last_game, last_serial) = (SELECT ifnull(x.game, 0), x.time_serial FROM (SELECT 1) LEFT JOIN "
             "(SELECT gp.game AS game, g.time_serial AS time_serial FROM game_players gp "
             "JOIN games g ON g.id = gp.game WHERE gp.player = players.id "
             "ORDER BY g.time_serial IS NULL, g.time_serial DESC, gp.game DESC LIMIT 1) x ON 1), "
             "first_game = ifnull((SELECT gp.game FROM game_players gp JOIN games g ON g.id = gp.game "
             "WHERE gp.player = players.id ORDER BY g.time_serial IS NULL, g.time_serial, gp.game LIMIT 1), 0) "
             "WHERE id = ?");
  for (int64_t p : players) {
    p_new.Bind(1, p).Run();
    p_upd.Bind(1, p).Run();
  }
}

// Sums a batch of score rows into the figures and commits.
//
// Team kills: a player's team at a moment is worked out from their team
// records in the game's score table (which do not name the team) and their
// team links (one per distinct team, in the order first joined), as
// figures.h describes. Each row is judged with the records and links read
// so far; a running game's rows already summed are not judged again.
class Summer {
 public:
  Summer(Db& db, const Kinds& kinds) : db_(db), kinds_(kinds) {}

  void Add(const GameRead& g) {
    auto& gp = game_players_;
    if (!g.rows.empty()) last_row_[g.game] = RowPrint(g.rows.back());
    std::map<int64_t, int64_t> team_rows_here;
    for (const ScoreRow& r : g.rows)
      if (r.weapon == 0 && r.killer > 0 && kinds_.team_records.count(r.type)) ++team_rows_here[kinds_.Canon(r.killer)];
    for (ScoreRow r : g.rows) {
      if (kinds_.nobody.count(r.victim)) r.victim = 0;
      const int64_t named_killer = r.killer, named_victim = r.victim;   // before aliases merge them
      r.killer = kinds_.Canon(r.killer);
      r.victim = kinds_.Canon(r.victim);
      ++rows_[g.game];
      last_[g.game] = std::max(last_[g.game], r.rec);
      if (r.killer > 0) Named(g.game, r.killer);
      if (r.victim > 0 && r.victim != r.killer) Named(g.game, r.victim);
      if (r.weapon == 0 && kinds_.events.count(r.type)) {
        if (r.type == kinds_.rename && named_killer > 0 && named_victim > 0 && named_victim != named_killer) {
          renames_.push_back({g.game, r.rec, named_killer, named_victim, r.offset});
          if (r.victim != r.killer) {
            Live& to = State(g.game, r.victim);
            if (to.team_rows == 0) to.team = State(g.game, r.killer).team;   // the same person, on the same team
          }
        } else if (r.killer > 0 && kinds_.team_records.count(r.type)) {
          TeamRecord(g.game, r.killer, r.type == kinds_.team_change, team_rows_here[r.killer]);
        }
        continue;
      }
      auto& wt = weapon_totals_[r.weapon];
      ++wt[2];
      wt[3] += r.score;
      auto& tt = type_totals_[r.type];
      ++tt[0];
      tt[1] += r.score;
      if (r.killer <= 0) continue;
      auto& k = gp[{g.game, r.killer}];
      if (r.victim > 0 && r.victim != r.killer) {
        Live& killer = State(g.game, r.killer);
        Live& victim = State(g.game, r.victim);
        victim.streak = 0;
        if (killer.team != 0 && killer.team == victim.team) {
          ++k.team_kills;
          ++gp[{g.game, r.victim}].team_deaths;
        } else {
          ++k.frags;
          killer.best = std::max(killer.best, ++killer.streak);
          ++gp[{g.game, r.victim}].deaths;
          ++versus_[{r.killer, r.victim}];
          ++weapons_[{g.game, r.killer, r.weapon}][0];
          ++weapons_[{g.game, r.victim, r.weapon}][1];
          ++wt[0];
        }
      } else if (r.victim == r.killer) {
        ++k.suicides;
        State(g.game, r.killer).streak = 0;
        ++weapons_[{g.game, r.killer, r.weapon}][2];
        ++wt[1];
      }
      k.score += r.score;
      auto& t = types_[{g.game, r.killer, r.type}];
      ++t[0];
      t[1] += r.score;
      if (r.score != 0) points_.push_back({g.game, r.rec, r.killer, r.offset, RunningScore(g.game, r.killer) + k.score});
    }
    if (g.make_final) finals_.push_back(g.game);
    else touched_.insert(g.game);
  }

  void Commit() {
    Stmt gp_ins(db_.handle(),
                "INSERT INTO game_players (game, player, frags, deaths, suicides, score, team_kills, team_deaths) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?) "
                "ON CONFLICT (game, player) DO UPDATE SET frags = frags + excluded.frags, deaths = deaths + excluded.deaths, "
                "suicides = suicides + excluded.suicides, score = score + excluded.score, "
                "team_kills = team_kills + excluded.team_kills, team_deaths = team_deaths + excluded.team_deaths");
    for (const auto& [key, d] : game_players_)
      gp_ins.Bind(1, key.first).Bind(2, key.second).Bind(3, d.frags).Bind(4, d.deaths).Bind(5, d.suicides).Bind(6, d.score)
          .Bind(7, d.team_kills).Bind(8, d.team_deaths).Run();
    Stmt live(db_.handle(), "UPDATE game_players SET streak = ?, best_streak = ?, team = ?, team_rows = ?, links_used = ? "
                            "WHERE game = ? AND player = ?");
    for (const auto& [key, l] : live_)
      live.Bind(1, l.streak).Bind(2, l.best).Bind(3, l.team).Bind(4, l.team_rows).Bind(5, l.links_used)
          .Bind(6, key.first).Bind(7, key.second).Run();
    Stmt t_ins(db_.handle(),
               "INSERT INTO game_player_types (game, player, type, n, score) VALUES (?, ?, ?, ?, ?) "
               "ON CONFLICT DO UPDATE SET n = n + excluded.n, score = score + excluded.score");
    for (const auto& [key, v] : types_)
      t_ins.Bind(1, std::get<0>(key)).Bind(2, std::get<1>(key)).Bind(3, std::get<2>(key)).Bind(4, v[0]).Bind(5, v[1]).Run();
    Stmt w_ins(db_.handle(),
               "INSERT INTO game_player_weapons (game, player, weapon, frags, deaths, suicides) VALUES (?, ?, ?, ?, ?, ?) "
               "ON CONFLICT DO UPDATE SET frags = frags + excluded.frags, deaths = deaths + excluded.deaths, "
               "suicides = suicides + excluded.suicides");
    for (const auto& [key, v] : weapons_)
      w_ins.Bind(1, std::get<0>(key)).Bind(2, std::get<1>(key)).Bind(3, std::get<2>(key)).Bind(4, v[0]).Bind(5, v[1]).Bind(6, v[2]).Run();
    Stmt v_ins(db_.handle(),
               "INSERT INTO versus (killer, victim, n) VALUES (?, ?, ?) ON CONFLICT DO UPDATE SET n = n + excluded.n");
    for (const auto& [key, n] : versus_) v_ins.Bind(1, key.first).Bind(2, key.second).Bind(3, n).Run();
    Stmt wt_ins(db_.handle(),
                "INSERT INTO weapon_totals (weapon, frags, suicides, rows, score) VALUES (?, ?, ?, ?, ?) "
                "ON CONFLICT DO UPDATE SET frags = frags + excluded.frags, suicides = suicides + excluded.suicides, "
                "rows = rows + excluded.rows, score = score + excluded.score");
    for (const auto& [w, v] : weapon_totals_) wt_ins.Bind(1, w).Bind(2, v[0]).Bind(3, v[1]).Bind(4, v[2]).Bind(5, v[3]).Run();
    Stmt tt_ins(db_.handle(),
                "INSERT INTO type_totals (type, rows, score) VALUES (?, ?, ?) "
                "ON CONFLICT DO UPDATE SET rows = rows + excluded.rows, score = score + excluded.score");
    for (const auto& [t, v] : type_totals_) tt_ins.Bind(1, t).Bind(2, v[0]).Bind(3, v[1]).Run();
    Stmt p_ins(db_.handle(), "INSERT INTO score_points (game, rec, player, offset, total) VALUES (?, ?, ?, ?, ?)");
    for (const Point& p : points_) p_ins.Bind(1, p.game).Bind(2, p.rec).Bind(3, p.player).Bind(4, p.offset).Bind(5, p.total).Run();
    Stmt r_ins(db_.handle(), "INSERT INTO renames (game, rec, from_player, to_player, offset) VALUES (?, ?, ?, ?, ?)");
    for (const Rename& r : renames_) r_ins.Bind(1, r.game).Bind(2, r.rec).Bind(3, r.from).Bind(4, r.to).Bind(5, r.offset).Run();

    Stmt g_upd(db_.handle(),
               "UPDATE games SET rows = rows + ?, last_record = MAX(last_record, ?), "
               "players = (SELECT count(*) FROM game_players WHERE game = games.id) WHERE id = ?");
    std::set<int64_t> games = touched_;
    games.insert(finals_.begin(), finals_.end());
    for (int64_t g : games) g_upd.Bind(1, rows_[g]).Bind(2, last_[g]).Bind(3, g).Run();
    Stmt l_upd(db_.handle(), "UPDATE games SET last_row = ? WHERE id = ?");
    for (const auto& [g, print] : last_row_) l_upd.Bind(1, print).Bind(2, g).Run();
    Stmt f_upd(db_.handle(), "UPDATE games SET final = 1 WHERE id = ?");
    for (int64_t g : finals_) f_upd.Bind(1, g).Run();

    // Player totals are summed again over the games of each player touched.
    SumPlayers(db_, players_);
  }

 private:
  struct Delta {
    int64_t frags = 0, deaths = 0, suicides = 0, score = 0, team_kills = 0, team_deaths = 0;
  };
  // What the summing of a game carries from row to row for one player.
  struct Live {
    int64_t streak = 0, best = 0;   // the current run of frags and the longest
    int64_t team = 0;               // the team now; 0: none or not known
    int64_t team_rows = 0;          // team records seen
    int64_t links_used = 0;         // team links matched to them
    int64_t rows_before = 0;        // team records seen before this batch
  };
  struct Point {
    int64_t game, rec, player;
    double offset;
    int64_t total;
  };
  struct Rename {
    int64_t game, rec, from, to;
    double offset;
  };

  void Named(int64_t game, int64_t player) {
    players_.insert(player);
    game_players_[{game, player}];
  }

  Live& State(int64_t game, int64_t player) {
    auto key = std::make_pair(game, player);
    auto it = live_.find(key);
    if (it != live_.end()) return it->second;
    Live l;
    Stmt q(db_.handle(), "SELECT streak, best_streak, team, team_rows, links_used FROM game_players WHERE game = ? AND player = ?");
    q.Bind(1, game).Bind(2, player);
    if (q.Step()) l = Live{q.Int(0), q.Int(1), q.Int(2), q.Int(3), q.Int(4), q.Int(3)};
    return live_.emplace(key, l).first->second;
  }

  // The player's teams in the game, in the order first joined (teams
  // without a name are none).
  const std::vector<int64_t>& Links(int64_t game, int64_t player) {
    auto key = std::make_pair(game, player);
    auto it = links_.find(key);
    if (it != links_.end()) return it->second;
    std::vector<int64_t> teams;
    std::string ids = std::to_string(player);
    auto merged = kinds_.members.find(player);
    if (merged != kinds_.members.end())
      for (int64_t id : merged->second) ids += "," + std::to_string(id);
    Stmt q(db_.handle(), "SELECT team FROM game_teams WHERE game = ? AND player IN (" + ids + ") ORDER BY rec");
    q.Bind(1, game);
    while (q.Step())
      if (q.Int(0) != 0 && !kinds_.no_team.count(q.Int(0)) &&
          std::find(teams.begin(), teams.end(), q.Int(0)) == teams.end())
        teams.push_back(q.Int(0));
    return links_.emplace(key, std::move(teams)).first->second;
  }

  // A team record of the player (the `here`-th... of `here` in this batch).
  // The engine links a player to a team the first time a record names it,
  // so each record either takes the next link or names a team had before.
  void TeamRecord(int64_t game, int64_t player, bool change, int64_t here) {
    Live& st = State(game, player);
    const std::vector<int64_t>& links = Links(game, player);
    const int64_t k = static_cast<int64_t>(links.size()), i = st.links_used;
    const int64_t records_left = st.rows_before + here - st.team_rows;   // this one included
    // A change away from the only team had so far cannot name a team had before.
    const bool away_from_the_only_one = change && i == 1 && st.team == links[0];
    if (i < k && (i == 0 || records_left <= k - i || away_from_the_only_one)) {
      st.team = links[i];   // the first record, every record left names a new team, or the above
      ++st.links_used;
    } else if (i >= k && k == 1) {
      st.team = links[0];   // one team in the whole game
    } else if (i >= k && k == 2 && change && st.team != 0) {
      st.team = st.team == links[0] ? links[1] : links[0];   // back to the other one
    } else {
      st.team = 0;          // a team had before or a new one: not known
    }
    ++st.team_rows;
  }

  // The player's score in the game before this batch.
  int64_t RunningScore(int64_t game, int64_t player) {
    auto key = std::make_pair(game, player);
    auto it = stored_score_.find(key);
    if (it != stored_score_.end()) return it->second;
    Stmt q(db_.handle(), "SELECT score FROM game_players WHERE game = ? AND player = ?");
    q.Bind(1, game).Bind(2, player);
    int64_t s = q.Step() ? q.Int(0) : 0;
    stored_score_[key] = s;
    return s;
  }

  Db& db_;
  const Kinds& kinds_;
  std::map<std::pair<int64_t, int64_t>, Delta> game_players_;
  std::map<std::pair<int64_t, int64_t>, Live> live_;
  std::map<std::pair<int64_t, int64_t>, std::vector<int64_t>> links_;
  std::map<std::pair<int64_t, int64_t>, int64_t> stored_score_;
  std::map<std::tuple<int64_t, int64_t, int64_t>, std::array<int64_t, 2>> types_;
  std::map<std::tuple<int64_t, int64_t, int64_t>, std::array<int64_t, 3>> weapons_;
  std::map<std::pair<int64_t, int64_t>, int64_t> versus_;
  std::map<int64_t, std::array<int64_t, 4>> weapon_totals_;
  std::map<int64_t, std::array<int64_t, 2>> type_totals_;
  std::vector<Point> points_;
  std::vector<Rename> renames_;
  std::map<int64_t, int64_t> rows_, last_;
  std::map<int64_t, std::string> last_row_;
  std::set<int64_t> touched_, players_;
  std::vector<int64_t> finals_;
};

}  // namespace

RefreshStats Refresher::RefreshOnce() {
  // A derived file that is no database any more (emptied, overwritten,
  // damaged) is thrown away and built again.
  auto discard = [&] {
    impl_->db.reset();
    for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((derived_path_ + suffix).c_str());
  };
  struct stat st;
  const bool present = ::stat(derived_path_.c_str(), &st) == 0;
  const bool emptied = present && st.st_size == 0 && impl_->had_content;
  const bool overwritten = present && st.st_size > 0 && !LooksLikeDatabase(derived_path_);
  if (impl_->db && (emptied || overwritten)) discard();
  auto pass = [&] {
    RefreshStats stats = Pass();
    impl_->had_content = ::stat(derived_path_.c_str(), &st) == 0 && st.st_size > 0;
    return stats;
  };
  try {
    return pass();
  } catch (const DbError& e) {
    if (e.code() != SQLITE_CORRUPT && e.code() != SQLITE_NOTADB) throw;
  }
  discard();
  RefreshStats stats = pass();
  stats.rebuilt = true;
  return stats;
}

RefreshStats Refresher::Pass() {
  RefreshStats stats;
  Impl& im = *impl_;
  if (!aliases_path_.empty()) im.aliases = ReadAliases(aliases_path_);
  const std::string source_key = SourceKey(connection_string_);

  // The derived file: (re)opened when it is new, gone or replaced.
  struct stat st;
  const bool present = ::stat(derived_path_.c_str(), &st) == 0;
  if (!im.db || !present || st.st_ino != im.ino || st.st_dev != im.dev) {
    im.db.reset();
    im.db = std::make_unique<Db>(derived_path_, false);
    // Checkpoints are left to Checkpoint(), between passes: copying the log
    // back into the file should not hold up a pass's commit.
    im.db->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0; "
                "PRAGMA journal_size_limit=67108864;");
    if (::stat(derived_path_.c_str(), &st) != 0) throw std::runtime_error("cannot read " + derived_path_);
    im.ino = st.st_ino;
    im.dev = st.st_dev;
  }
  Db& db = *im.db;
  auto start_afresh = [&] {
    std::vector<std::string> names;
    {
      Stmt q(db.handle(), "SELECT name FROM pragma_table_list WHERE schema = 'main' AND type IN ('table', 'virtual') "
                          "AND name NOT LIKE 'sqlite_%'");
      while (q.Step()) names.push_back(q.Text(0));
    }
    db.Exec("BEGIN IMMEDIATE");
    for (const std::string& n : names) db.Exec("DROP TABLE IF EXISTS \"" + n + "\"");
    db.Exec(DerivedSchemaSql());
    SetMeta(db, "version", std::to_string(kDerivedVersion));
    SetMeta(db, "source", source_key);
    SetMeta(db, "building", "1");   // readers wait until a pass has read everything
    db.Exec("COMMIT");
    stats.rebuilt = true;
  };
  bool has_meta;
  {
    Stmt q(db.handle(), "SELECT count(*) FROM sqlite_master WHERE name = 'meta'");
    q.Step();
    has_meta = q.Int(0) != 0;
  }
  if (!has_meta || Meta(db, "version") != std::to_string(kDerivedVersion) || Meta(db, "source") != source_key ||
      Meta(db, "aliases") == kStaleAliases)
    start_afresh();

  ado::Connection c;
  c.Open(ReadOnlyConnectionString(connection_string_));
  im.tables_read = false;

  // A database behind the derived file, or one whose last game read for
  // the last time (a closed game, which the engine no longer changes) or
  // whose last rows read are not as they were read, is another one
  // (replaced, or restored from a backup): start afresh.
  {
    auto rows = Select(c, "Select Max(Record) As Highest From Games", {"Highest"});
    const int64_t last = rows.empty() ? 0 : Int(rows[0][0]);
    const std::string first_log = FirstLog(c);
    const std::string known = Meta(db, "first_log");
    if (last < Cursor(db, "Games") || !LastClosedGameAsRead(c, db) || (!known.empty() && known != first_log) ||
        !LastRowsAsRead(c, db))
      start_afresh();
    if (Meta(db, "first_log") != first_log) {
      db.Exec("BEGIN IMMEDIATE");
      SetMeta(db, "first_log", first_log);
      db.Exec("COMMIT");
    }
  }

  db.Exec("BEGIN IMMEDIATE");
  try {
    // Servers: few rows, changed by every datagram; read whole.
    auto servers = Select(c, "Select Record, Server_Name, Server_IP, Server_Port, Packet_Number, Date_Time From Servers",
                          {"Record", "Server_Name", "Server_IP", "Server_Port", "Packet_Number", "Date_Time"});
    Stmt s_ins(db.handle(), "INSERT OR REPLACE INTO servers (id, name, ip, port, packet, date_time) VALUES (?, ?, ?, ?, ?, ?)");
    for (const Row& r : servers)
      s_ins.Bind(1, Int(r[0])).Bind(2, Text(r[1])).Bind(3, Text(r[2])).Bind(4, Text(r[3])).Bind(5, Int(r[4])).Bind(6, Date(r[5])).Run();

    // Games still open are read again, then the new ones.
    std::vector<int64_t> open;
    {
      Stmt q(db.handle(), "SELECT id FROM games WHERE open = 1");
      while (q.Step()) open.push_back(q.Int(0));
    }
    for (int64_t g : open)
      for (const Row& r : Select(c, std::string(kGameSelect) + " Where Record = " + std::to_string(g), kGameColumns))
        StoreGame(db, r);
    const int64_t last_game = Cursor(db, "Games");
    int64_t max_game = last_game;
    for (const Row& r : Select(c, std::string(kGameSelect) + " Where Record > " + std::to_string(last_game) +
                                      " Order By Record",
                               kGameColumns)) {
      StoreGame(db, r);
      max_game = std::max(max_game, Int(r[0]));
    }
    SetCursor(db, "Games", max_game);

    ReadLinks(c, db, "Servers_Games", {"Server", "Game"}, "server_games", {"server", "game"});
    ReadLinks(c, db, "Games_Maps", {"Game", "Map"}, "game_maps", {"game", "map"});
    ReadLinks(c, db, "Games_Players_Teams", {"Game", "Player", "Team"}, "game_teams", {"game", "player", "team"});
    ReadLinks(c, db, "Games_Players_Cvars", {"Game", "Player", "Cvar"}, "game_player_cvars", {"game", "player", "cvar"});
    ReadLinks(c, db, "Games_Cvars", {"Game", "Cvar"}, "game_cvars", {"game", "cvar"});
    ReadLogs(c, db);
    // A game whose time changed moves its players' first and last seen.
    std::set<int64_t> moved;
    {
      Stmt q(db.handle(), "SELECT player FROM game_players WHERE game = ?");
      for (int64_t g : SetGameTimes(db)) {
        q.Bind(1, g);
        while (q.Step()) moved.insert(q.Int(0));
        q.Reset();
      }
    }
    SumPlayers(db, moved);
    db.Exec("COMMIT");
  } catch (...) {
    db.Exec("ROLLBACK");
    throw;
  }

  // Score tables of the games not yet read for the last time. Whether a
  // game was closed is known from the reads above, before its rows are read.
  struct Pending {
    int64_t game, last;
    bool closed;
  };
  std::vector<Pending> pending;
  {
    Stmt q(db.handle(), "SELECT id, last_record, open FROM games WHERE final = 0 AND id > 0 ORDER BY id");
    while (q.Step()) pending.push_back({q.Int(0), q.Int(1), q.Int(2) == 0});
  }

  size_t next = 0;
  bool first = true;   // dictionaries are read in every pass
  while (first || next < pending.size()) {
    first = false;
    std::vector<GameRead> batch;
    size_t rows = 0;
    for (; next < pending.size() && rows < kBatchRows; ++next) {
      const Pending& p = pending[next];
      GameRead g{p.game, p.closed, {}};
      try {
        auto rs = c.Execute("Select " + scoretable::SelectList() + " From " + ScoreTableName(p.game) +
                            " Where Record > " + std::to_string(p.last) + " Order By Record");
        for (; !rs->Eof(); rs->MoveNext()) g.rows.push_back(ReadScoreRow(*rs));
        rs->Close();
      } catch (const ado::Error&) {
        // The engine creates a game's table just after its row: an open
        // game may have none yet. A closed game without one has no rows.
        if (!im.tables_read) {
          auto rs = c.OpenSchema(ado::kSchemaTables);
          for (; !rs->Eof(); rs->MoveNext()) im.tables.insert(rs->Field("TABLE_NAME").AsText());
          im.tables_read = true;
        }
        if (im.tables.count(ScoreTableName(p.game))) throw;
        if (!p.closed) continue;
      }
      rows += g.rows.size();
      stats.score_rows += static_cast<int64_t>(g.rows.size());
      ++stats.games_read;
      if (!g.rows.empty() || g.make_final) batch.push_back(std::move(g));
    }

    // Dictionaries after the score rows, so that every name they use is there.
    db.Exec("BEGIN IMMEDIATE");
    try {
      ReadDictionary(c, db, "Players", "Player", "players");
      ReadDictionary(c, db, "Weapons", "Weapon", "weapons");
      ReadDictionary(c, db, "Types", "Type", "types");
      ReadDictionary(c, db, "Teams", "Team", "teams");
      ReadDictionary(c, db, "Maps", "Map", "maps");
      {
        const int64_t last = Cursor(db, "Cvars");
        auto cv = Select(c, "Select Record, Cvar, Val From Cvars Where Record > " + std::to_string(last) + " Order By Record",
                         {"Record", "Cvar", "Val"});
        Stmt ins(db.handle(), "INSERT OR REPLACE INTO cvars (id, name, value) VALUES (?, ?, ?)");
        int64_t max = last;
        for (const Row& r : cv) {
          ins.Bind(1, Int(r[0])).Bind(2, Text(r[1])).Bind(3, Text(r[2])).Run();
          max = std::max(max, Int(r[0]));
        }
        SetCursor(db, "Cvars", max);
      }
      // Team links once more: a team record read above may be newer than
      // the links read before the score tables.
      ReadLinks(c, db, "Games_Players_Teams", {"Game", "Player", "Team"}, "game_teams", {"game", "player", "team"});
      Kinds kinds;
      {
        Stmt q(db.handle(), "SELECT id, name FROM types");
        while (q.Step()) {
          const std::string name = q.Text(1);
          if (!IsPlayerEventType(name)) continue;
          kinds.events.insert(q.Int(0));
          if (name == "PlayerRename") kinds.rename = q.Int(0);
          if (name == "PlayerTeamChange") kinds.team_change = q.Int(0);
          if (name == "PlayerConnect" || name == "Player" || name == "PlayerTeamChange") kinds.team_records.insert(q.Int(0));
        }
      }
      {
        Stmt q(db.handle(), "SELECT id FROM players WHERE name = ''");
        while (q.Step()) kinds.nobody.insert(q.Int(0));
        Stmt t(db.handle(), "SELECT id FROM teams WHERE trim(name) = ''");
        while (t.Step()) kinds.no_team.insert(t.Int(0));
      }
      kinds.alias = AliasMap(db, im.aliases);
      for (const auto& [player, kept] : kinds.alias) kinds.members[kept].push_back(player);
      NoteAliases(db, kinds.alias);
      Summer sum(db, kinds);
      for (const GameRead& g : batch) sum.Add(g);
      sum.Commit();
      RateClosedGames(db);
      db.Exec("COMMIT");
    } catch (...) {
      db.Exec("ROLLBACK");
      throw;
    }
    // A pass of many batches (a build from nothing) keeps its log short.
    if (next < pending.size()) Checkpoint();
  }
  if (Meta(db, "building") == "1" || !Meta(db, "unreadable_since").empty()) {
    db.Exec("BEGIN IMMEDIATE");
    SetMeta(db, "building", "0");
    SetMeta(db, "unreadable_since", "");
    db.Exec("COMMIT");
  }
  c.Close();
  return stats;
}

void Refresher::Checkpoint() {
  if (impl_->db) impl_->db->Exec("PRAGMA wal_checkpoint(PASSIVE)");
}

void Refresher::NoteUnreadable() {
  if (!impl_->db) return;
  try {
    Db& db = *impl_->db;
    if (!Meta(db, "unreadable_since").empty()) return;
    db.Exec("BEGIN IMMEDIATE");
    SetMeta(db, "unreadable_since", datetime::FormatFull(datetime::Now()));
    db.Exec("COMMIT");
  } catch (const std::exception&) {
    try {
      impl_->db->Exec("ROLLBACK");
    } catch (const std::exception&) {
    }
  }
}

}  // namespace web
