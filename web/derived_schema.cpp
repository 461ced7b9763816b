#include "derived_schema.h"

#include "sqlite_db.h"

namespace web {

const char* DerivedSchemaSql() {
  return R"SQL(
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT);
CREATE TABLE IF NOT EXISTS cursors (tbl TEXT PRIMARY KEY, last INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS players (
  id INTEGER PRIMARY KEY, name TEXT, first_seen TEXT,
  frags INTEGER NOT NULL DEFAULT 0, deaths INTEGER NOT NULL DEFAULT 0,
  suicides INTEGER NOT NULL DEFAULT 0, score INTEGER NOT NULL DEFAULT 0,
  team_kills INTEGER NOT NULL DEFAULT 0, best_streak INTEGER NOT NULL DEFAULT 0,
  games INTEGER NOT NULL DEFAULT 0, last_game INTEGER NOT NULL DEFAULT 0, last_serial REAL,
  first_game INTEGER NOT NULL DEFAULT 0,
  mu REAL NOT NULL DEFAULT 25.0, sigma REAL NOT NULL DEFAULT (25.0 / 3),
  rating REAL GENERATED ALWAYS AS (mu - 3 * sigma) VIRTUAL,
  fpd REAL GENERATED ALWAYS AS (CAST(frags AS REAL) / MAX(deaths, 1)) VIRTUAL);
CREATE INDEX IF NOT EXISTS players_name ON players (name, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_frags ON players (frags, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_deaths ON players (deaths, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_team_kills ON players (team_kills, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_suicides ON players (suicides, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_score ON players (score, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_fpd ON players (fpd, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_games ON players (games, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_rating ON players (rating, id) WHERE games > 0;
CREATE INDEX IF NOT EXISTS players_last ON players (last_serial, id) WHERE games > 0;
-- the players without a name (a score row without a victim names one),
-- looked for in every pass
CREATE INDEX IF NOT EXISTS players_unnamed ON players (id) WHERE name = '';
CREATE VIRTUAL TABLE IF NOT EXISTS player_names USING fts5 (name, tokenize = 'trigram');
CREATE TABLE IF NOT EXISTS weapons (id INTEGER PRIMARY KEY, name TEXT, first_seen TEXT);
CREATE TABLE IF NOT EXISTS types (id INTEGER PRIMARY KEY, name TEXT, first_seen TEXT);
CREATE TABLE IF NOT EXISTS teams (id INTEGER PRIMARY KEY, name TEXT, first_seen TEXT);
CREATE TABLE IF NOT EXISTS maps (id INTEGER PRIMARY KEY, name TEXT, first_seen TEXT);
CREATE TABLE IF NOT EXISTS cvars (id INTEGER PRIMARY KEY, name TEXT, value TEXT);
CREATE TABLE IF NOT EXISTS servers (
  id INTEGER PRIMARY KEY, name TEXT, ip TEXT, port TEXT, packet INTEGER, date_time TEXT);
CREATE TABLE IF NOT EXISTS games (
  id INTEGER PRIMARY KEY, stdlog TEXT, patch TEXT, start TEXT, start_serial REAL,
  end_time TEXT, flags INTEGER, open INTEGER NOT NULL, final INTEGER NOT NULL DEFAULT 0,
  last_record INTEGER NOT NULL DEFAULT 0, last_row TEXT NOT NULL DEFAULT '', rows INTEGER NOT NULL DEFAULT 0,
  players INTEGER NOT NULL DEFAULT 0, time TEXT, time_serial REAL, rated INTEGER NOT NULL DEFAULT 0);
CREATE INDEX IF NOT EXISTS games_pending ON games (final, id);
CREATE INDEX IF NOT EXISTS games_rating ON games (rated, time_serial, id);
CREATE INDEX IF NOT EXISTS games_time ON games (time_serial, id);
CREATE TABLE IF NOT EXISTS server_games (rec INTEGER PRIMARY KEY, server INTEGER, game INTEGER);
CREATE INDEX IF NOT EXISTS server_games_server ON server_games (server, game);
CREATE INDEX IF NOT EXISTS server_games_game ON server_games (game);
CREATE TABLE IF NOT EXISTS game_maps (rec INTEGER PRIMARY KEY, game INTEGER, map INTEGER);
CREATE INDEX IF NOT EXISTS game_maps_game ON game_maps (game, rec);
CREATE INDEX IF NOT EXISTS game_maps_map ON game_maps (map);
CREATE TABLE IF NOT EXISTS game_teams (rec INTEGER PRIMARY KEY, game INTEGER, player INTEGER, team INTEGER);
CREATE INDEX IF NOT EXISTS game_teams_game ON game_teams (game, player, rec);
CREATE TABLE IF NOT EXISTS game_player_cvars (rec INTEGER PRIMARY KEY, game INTEGER, player INTEGER, cvar INTEGER);
CREATE INDEX IF NOT EXISTS game_player_cvars_game ON game_player_cvars (game, player, rec);
CREATE INDEX IF NOT EXISTS game_player_cvars_player ON game_player_cvars (player);
CREATE TABLE IF NOT EXISTS game_cvars (rec INTEGER PRIMARY KEY, game INTEGER, cvar INTEGER);
CREATE INDEX IF NOT EXISTS game_cvars_game ON game_cvars (game, rec);
CREATE TABLE IF NOT EXISTS game_players (
  game INTEGER, player INTEGER, frags INTEGER NOT NULL DEFAULT 0, deaths INTEGER NOT NULL DEFAULT 0,
  suicides INTEGER NOT NULL DEFAULT 0, score INTEGER NOT NULL DEFAULT 0,
  team_kills INTEGER NOT NULL DEFAULT 0, team_deaths INTEGER NOT NULL DEFAULT 0,
  streak INTEGER NOT NULL DEFAULT 0, best_streak INTEGER NOT NULL DEFAULT 0,
  team INTEGER NOT NULL DEFAULT 0, team_rows INTEGER NOT NULL DEFAULT 0, links_used INTEGER NOT NULL DEFAULT 0,
  PRIMARY KEY (game, player)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS game_players_player ON game_players (player, game);
CREATE TABLE IF NOT EXISTS game_player_types (
  game INTEGER, player INTEGER, type INTEGER, n INTEGER NOT NULL, score INTEGER NOT NULL,
  PRIMARY KEY (game, player, type)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS game_player_types_player ON game_player_types (player);
CREATE TABLE IF NOT EXISTS game_player_weapons (
  game INTEGER, player INTEGER, weapon INTEGER, frags INTEGER NOT NULL, deaths INTEGER NOT NULL,
  suicides INTEGER NOT NULL, PRIMARY KEY (game, player, weapon)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS game_player_weapons_player ON game_player_weapons (player);
CREATE TABLE IF NOT EXISTS versus (killer INTEGER, victim INTEGER, n INTEGER NOT NULL,
  PRIMARY KEY (killer, victim)) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS versus_victim ON versus (victim, n);
CREATE TABLE IF NOT EXISTS weapon_totals (weapon INTEGER PRIMARY KEY, frags INTEGER NOT NULL,
  suicides INTEGER NOT NULL, rows INTEGER NOT NULL, score INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS type_totals (type INTEGER PRIMARY KEY, rows INTEGER NOT NULL, score INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS score_points (game INTEGER, rec INTEGER, player INTEGER, offset REAL, total INTEGER);
CREATE INDEX IF NOT EXISTS score_points_game ON score_points (game);
CREATE TABLE IF NOT EXISTS renames (game INTEGER, rec INTEGER, from_player INTEGER, to_player INTEGER, offset REAL);
CREATE INDEX IF NOT EXISTS renames_from ON renames (from_player);
CREATE INDEX IF NOT EXISTS renames_to ON renames (to_player);
CREATE TABLE IF NOT EXISTS log_games (rec INTEGER PRIMARY KEY, log INTEGER, game INTEGER, serial REAL, date TEXT,
  ip TEXT, port INTEGER);
CREATE INDEX IF NOT EXISTS log_games_game ON log_games (game, log);
CREATE TABLE IF NOT EXISTS senders (ip TEXT, port INTEGER, last_log INTEGER NOT NULL, serial REAL, date TEXT,
  PRIMARY KEY (ip, port)) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS aliases (player INTEGER PRIMARY KEY, kept INTEGER NOT NULL);
CREATE INDEX IF NOT EXISTS aliases_kept ON aliases (kept);
CREATE TABLE IF NOT EXISTS rating_history (player INTEGER, game INTEGER, mu REAL NOT NULL, sigma REAL NOT NULL,
  PRIMARY KEY (player, game)) WITHOUT ROWID;
)SQL";
}

bool IsPlayerEventType(const std::string& t) {
  return t == "PlayerConnect" || t == "Player" || t == "PlayerLeft" || t == "PlayerTeamChange" ||
         t == "PlayerRename";
}

std::string Meta(Db& db, const std::string& key) {
  Stmt q(db.handle(), "SELECT value FROM meta WHERE key = ?");
  q.Bind(1, key);
  return q.Step() ? q.Text(0) : std::string();
}

void SetMeta(Db& db, const std::string& key, const std::string& value) {
  Stmt q(db.handle(), "INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)");
  q.Bind(1, key).Bind(2, value).Run();
}

}  // namespace web
