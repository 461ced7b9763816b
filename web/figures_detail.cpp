// The pages of one server, one map and one weapon (figures.h).
#include <cmath>
#include <string>

#include "figures.h"
#include "figures_rows.h"
#include "game_time.h"
#include "rating.h"

namespace web {

using json = nlohmann::json;

namespace {

constexpr int64_t kTop = 10;          // players in a "top players" list
constexpr int64_t kListedGames = 50;  // games listed on a page, newest first
constexpr int64_t kOnlineSeconds = 300;

json Games(Db& db, const std::string& where, int64_t record) {
  json games = json::array();
  Stmt q(db, std::string("SELECT ") + kGameColumns + " FROM games g WHERE g.id > 0 AND " + where + " ORDER BY " +
                          NewestFirst() + " LIMIT ?2");
  q.Bind(1, record).Bind(2, kListedGames);
  while (q.Step()) games.push_back(GameRow(db, q));
  return games;
}

// Players ranked by their frags over the game players `from` selects
// (columns: player, frags, deaths, team_kills, games).
json TopByFrags(Db& db, const std::string& from, int64_t record, bool team_kills) {
  json list = json::array();
  Stmt q(db, "SELECT x.player, ifnull(p.name, ''), x.frags, x.deaths, x.team_kills, x.games FROM (" + from +
                          ") x LEFT JOIN players p ON p.id = x.player ORDER BY x.frags DESC, x.deaths, x.player LIMIT ?2");
  q.Bind(1, record).Bind(2, kTop);
  while (q.Step()) {
    json row{{"record", q.Int(0)}, {"name", q.Text(1)}, {"frags", q.Int(2)}, {"deaths", q.Int(3)},
             {"frags_per_death", PerDeath(q.Int(2), q.Int(3))}, {"games", q.Int(5)}};
    if (team_kills) row["team_kills"] = q.Int(4);
    list.push_back(std::move(row));
  }
  return list;
}

}  // namespace

json ServerRow(Db& db, int64_t server) {
  Stmt q(db,
         "SELECT s.id, ifnull(s.name, ''), ifnull(s.ip, ''), ifnull(s.port, ''), s.packet, ifnull(s.date_time, ''), "
         "(SELECT count(*) FROM server_games sg WHERE sg.server = s.id) FROM servers s WHERE s.id = ?");
  q.Bind(1, server);
  if (!q.Step()) throw NotFound("no such server");
  json s{{"record", q.Int(0)},         {"name", q.Text(1)},       {"ip", q.Text(2)},    {"port", q.Text(3)},
         {"packet_number", q.Int(4)}, {"first_seen", q.Text(5)}, {"games", q.Int(6)}};
  // The newest datagram from an address that sent one of its games' datagrams.
  Stmt d(db,
         "SELECT max(se.serial), se.date FROM senders se WHERE (se.ip, se.port) IN (SELECT lg.ip, lg.port FROM log_games lg "
         "JOIN server_games sg ON sg.game = lg.game WHERE sg.server = ?)");
  d.Bind(1, server);
  s["last_datagram"] = nullptr;
  s["online"] = false;
  if (d.Step() && !d.IsNull(0)) {
    s["last_datagram"] = d.Text(1);
    const double ago = (LocalNow() - d.Real(0)) * 86400.0;
    s["online"] = std::llround(ago) <= kOnlineSeconds;
  }
  return s;
}

json CurrentGame(Db& db, int64_t server, bool scores) {
  Stmt q(db, "SELECT g.id, g.open FROM games g WHERE g.id = (SELECT max(sg.game) FROM server_games sg WHERE sg.server = ?)");
  q.Bind(1, server);
  if (!q.Step() || !q.Int(1)) return nullptr;
  const int64_t g = q.Int(0);
  json players = json::array();
  Stmt p(db,
         "SELECT gp.player, ifnull(p.name, ''), gp.frags, gp.team_kills, gp.deaths, gp.suicides, gp.score "
         "FROM game_players gp LEFT JOIN players p ON p.id = gp.player WHERE gp.game = ? ORDER BY gp.score DESC, gp.player");
  p.Bind(1, g);
  while (p.Step()) {
    json row = Ref(p.Int(0), p.Text(1));
    if (scores) {
      row["frags"] = p.Int(2);
      row["team_kills"] = p.Int(3);
      row["deaths"] = p.Int(4);
      row["suicides"] = p.Int(5);
      row["score"] = p.Int(6);
    }
    players.push_back(std::move(row));
  }
  const auto map = MapOf(db, g);
  json out{{"record", g}, {"map", map.second}, {"players", players}};
  if (scores) out["map_record"] = map.first;
  return out;
}

json ServerJson(Db& db, int64_t server) {
  json out = ServerRow(db, server);
  out["current_game"] = CurrentGame(db, server, true);
  out["games_listed"] = Games(db, "g.id IN (SELECT game FROM server_games WHERE server = ?1)", server);
  json top = json::array();
  {
    Stmt q(db,
           "SELECT p.id, ifnull(p.name, ''), p.mu, p.sigma, (SELECT count(*) FROM game_players gp JOIN server_games sg "
           "ON sg.game = gp.game WHERE gp.player = p.id AND sg.server = ?1) AS here FROM players p WHERE p.games > 0 AND "
           "p.id IN (SELECT gp.player FROM game_players gp JOIN server_games sg ON sg.game = gp.game WHERE sg.server = ?1) "
           "ORDER BY p.rating DESC, p.id LIMIT ?2");
    q.Bind(1, server).Bind(2, kTop);
    while (q.Step())
      top.push_back(json{{"record", q.Int(0)}, {"name", q.Text(1)}, {"rating", rating::Shown({q.Real(2), q.Real(3)})},
                         {"games", q.Int(4)}});
  }
  out["top_players"] = top;
  json maps = json::array();
  {
    Stmt q(db, "SELECT gm.map, ifnull(m.name, ''), count(DISTINCT gm.game) FROM game_maps gm "
                        "JOIN server_games sg ON sg.game = gm.game LEFT JOIN maps m ON m.id = gm.map WHERE sg.server = ? "
                        "GROUP BY gm.map ORDER BY count(DISTINCT gm.game) DESC, gm.map");
    q.Bind(1, server);
    while (q.Step()) maps.push_back(json{{"record", q.Int(0)}, {"name", q.Text(1)}, {"games", q.Int(2)}});
  }
  out["maps"] = maps;
  return out;
}

json MapJson(Db& db, int64_t map) {
  Stmt q(db,
         "SELECT m.id, ifnull(m.name, ''), "
         "(SELECT count(*) FROM games g WHERE g.id IN (SELECT game FROM game_maps WHERE map = m.id)), "
         "(SELECT ifnull(sum(g.rows), 0) FROM games g WHERE g.id IN (SELECT game FROM game_maps WHERE map = m.id)) "
         "FROM maps m WHERE m.id = ?");
  q.Bind(1, map);
  if (!q.Step()) throw NotFound("no such map");
  json out{{"record", q.Int(0)}, {"name", q.Text(1)}, {"games", q.Int(2)}, {"score_rows", q.Int(3)}};
  Stmt t(db, "SELECT ifnull(sum(frags), 0), ifnull(sum(suicides), 0), ifnull(sum(team_kills), 0) FROM game_players "
                      "WHERE game IN (SELECT game FROM game_maps WHERE map = ?)");
  t.Bind(1, map);
  t.Step();
  out["frags"] = t.Int(0);
  out["suicides"] = t.Int(1);
  out["team_kills"] = t.Int(2);
  out["top_players"] = TopByFrags(db,
                                  "SELECT gp.player, sum(gp.frags) AS frags, sum(gp.deaths) AS deaths, "
                                  "sum(gp.team_kills) AS team_kills, count(*) AS games FROM game_players gp "
                                  "WHERE gp.game IN (SELECT game FROM game_maps WHERE map = ?1) GROUP BY gp.player",
                                  map, true);
  out["games_listed"] = Games(db, "g.id IN (SELECT game FROM game_maps WHERE map = ?1)", map);
  return out;
}

json WeaponJson(Db& db, int64_t weapon) {
  Stmt q(db,
         "SELECT w.id, ifnull(w.name, ''), ifnull(t.frags, 0), ifnull(t.suicides, 0), ifnull(t.rows, 0), ifnull(t.score, 0), "
         "(SELECT count(DISTINCT game) FROM game_player_weapons gw WHERE gw.weapon = w.id) "
         "FROM weapons w LEFT JOIN weapon_totals t ON t.weapon = w.id WHERE w.id = ?");
  q.Bind(1, weapon);
  if (!q.Step()) throw NotFound("no such weapon");
  json out{{"record", q.Int(0)},   {"name", q.Text(1)},  {"frags", q.Int(2)}, {"suicides", q.Int(3)},
           {"score_rows", q.Int(4)}, {"score", q.Int(5)}, {"games", q.Int(6)}};
  out["top_players"] = TopByFrags(db,
                                  "SELECT gw.player, sum(gw.frags) AS frags, sum(gw.deaths) AS deaths, 0 AS team_kills, "
                                  "count(*) AS games FROM game_player_weapons gw WHERE gw.weapon = ?1 GROUP BY gw.player",
                                  weapon, false);
  out["games_listed"] = Games(db, "g.id IN (SELECT game FROM game_player_weapons WHERE weapon = ?1)", weapon);
  return out;
}

}  // namespace web
