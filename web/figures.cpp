#include "figures.h"

#include <cmath>
#include <map>

#include "codepage.h"
#include "game_time.h"
#include "figures_rows.h"
#include "rating.h"

namespace web {
namespace {

using json = nlohmann::json;

const char* const kPlayerSorts[] = {"name",  "frags",     "deaths", "suicides", "team_kills", "score",
                                    "fpd",   "games",     "last_seen", "rating", nullptr};
const char* const kWeaponSorts[] = {"name", "frags", "suicides", "score_rows", "score", nullptr};
const char* const kTypeSorts[] = {"name", "score_rows", "score", nullptr};
const char* const kMapSorts[] = {"name", "games", "score_rows", nullptr};

bool Allowed(const char* const* list, const std::string& v) {
  for (; *list; ++list)
    if (v == *list) return true;
  return false;
}

std::string Order(const std::string& order) {
  if (order == "asc") return "ASC";
  if (order == "desc") return "DESC";
  throw BadRequest("order must be asc or desc");
}

int64_t Pages(int64_t total) { return total == 0 ? 1 : (total + kPageSize - 1) / kPageSize; }

void CheckPage(int64_t page, int64_t pages) {
  if (page < 1) throw BadRequest("page must be a number from 1");
  if (page > pages) throw NotFound("no such page");
}

}  // namespace

const char* const* PlayerSortColumns() { return kPlayerSorts; }
const char* const* WeaponSortColumns() { return kWeaponSorts; }
const char* const* TypeSortColumns() { return kTypeSorts; }
const char* const* MapSortColumns() { return kMapSorts; }

json ServersJson(Db& db) {
  json list = json::array();
  Stmt q(db, "SELECT id FROM servers ORDER BY id");
  while (q.Step()) {
    json s = ServerRow(db, q.Int(0));
    s["current_game"] = CurrentGame(db, q.Int(0), false);
    list.push_back(std::move(s));
  }
  return json{{"servers", list}};
}

json GamesJson(Db& db, int64_t server, int64_t page) {
  json out;
  std::string where = "g.id > 0";
  if (server != 0) {
    Stmt s(db, "SELECT ifnull(name, '') FROM servers WHERE id = ?");
    s.Bind(1, server);
    if (!s.Step()) throw NotFound("no such server");
    out["server"] = Ref(server, s.Text(0));
    where += " AND g.id IN (SELECT game FROM server_games WHERE server = ?1)";
  } else {
    out["server"] = nullptr;
  }
  Stmt count(db, "SELECT count(*) FROM games g WHERE " + where);
  if (server != 0) count.Bind(1, server);
  count.Step();
  const int64_t total = count.Int(0), pages = Pages(total);
  CheckPage(page, pages);
  Stmt q(db, std::string("SELECT ") + kGameColumns + " FROM games g WHERE " + where + " ORDER BY " +
                          NewestFirst() + " LIMIT ?2 OFFSET ?3");
  if (server != 0) q.Bind(1, server);
  q.Bind(2, kPageSize).Bind(3, (page - 1) * kPageSize);
  json games = json::array();
  while (q.Step()) games.push_back(GameRow(db, q));
  out["page"] = page;
  out["pages"] = pages;
  out["total"] = total;
  out["games"] = games;
  return out;
}

json GameJson(Db& db, int64_t game) {
  Stmt q(db, std::string("SELECT ") + kGameColumns +
                          ", ifnull(g.stdlog, ''), ifnull(g.patch, ''), g.flags FROM games g WHERE g.id = ?1");
  // columns 9, 10, 11 after the game row's
  q.Bind(1, game);
  if (game <= 0 || !q.Step()) throw NotFound("no such game");
  json out = GameRow(db, q);
  out["running"] = q.Int(3) != 0;
  out["stdlog_ver"] = q.Text(9);
  out["patch_name"] = q.Text(10);
  out["flags"] = q.Int(11);
  json maps = json::array();
  {
    Stmt m(db, "SELECT gm.map, ifnull(m.name, '') FROM game_maps gm LEFT JOIN maps m ON m.id = gm.map "
                        "WHERE gm.game = ? ORDER BY gm.rec");
    m.Bind(1, game);
    while (m.Step()) maps.push_back(Ref(m.Int(0), m.Text(1)));
  }
  out["maps"] = maps;

  json board = json::array();
  {
    Stmt p(db,
           "SELECT gp.player, ifnull(p.name, ''), gp.frags, gp.deaths, gp.suicides, gp.score, gp.team_kills, "
           "gp.best_streak FROM game_players gp "
           "LEFT JOIN players p ON p.id = gp.player WHERE gp.game = ? ORDER BY gp.score DESC, gp.frags DESC, gp.player");
    Stmt teams(db, "SELECT ifnull(t.name, '') FROM game_teams gt LEFT JOIN teams t ON t.id = gt.team "
                            "WHERE gt.game = ? AND gt.player = ? AND gt.team <> 0 ORDER BY gt.rec");
    Stmt types(db, "SELECT ifnull(t.name, ''), gt.n FROM game_player_types gt LEFT JOIN types t ON t.id = gt.type "
                            "WHERE gt.game = ? AND gt.player = ? ORDER BY t.name");
    p.Bind(1, game);
    while (p.Step()) {
      json row{{"record", p.Int(0)}, {"name", p.Text(1)},      {"frags", p.Int(2)},      {"team_kills", p.Int(6)},
               {"deaths", p.Int(3)}, {"suicides", p.Int(4)}, {"score", p.Int(5)}, {"best_streak", p.Int(7)}};
      json t = json::array();
      teams.Bind(1, game).Bind(2, p.Int(0));
      while (teams.Step()) t.push_back(teams.Text(0));
      teams.Reset();
      json c = json::object();
      types.Bind(1, game).Bind(2, p.Int(0));
      while (types.Step()) c[types.Text(0)] = types.Int(1);
      types.Reset();
      row["teams"] = t;
      row["types"] = c;
      board.push_back(std::move(row));
    }
  }
  out["scoreboard"] = board;

  json weapons = json::array();
  {
    Stmt w(db,
           "SELECT w.weapon, ifnull(n.name, ''), sum(w.frags), sum(w.suicides) FROM game_player_weapons w "
           "LEFT JOIN weapons n ON n.id = w.weapon WHERE w.game = ? GROUP BY w.weapon ORDER BY sum(w.frags) DESC, w.weapon");
    w.Bind(1, game);
    while (w.Step()) weapons.push_back(json{{"record", w.Int(0)}, {"name", w.Text(1)}, {"frags", w.Int(2)}, {"suicides", w.Int(3)}});
  }
  out["weapons"] = weapons;

  json chart = json::array();
  {
    Stmt c(db, "SELECT sp.player, ifnull(p.name, ''), sp.offset, sp.total FROM score_points sp "
                        "LEFT JOIN players p ON p.id = sp.player WHERE sp.game = ? ORDER BY sp.player, sp.rec");
    c.Bind(1, game);
    int64_t current = -1;
    while (c.Step()) {
      if (c.Int(0) != current) {
        current = c.Int(0);
        chart.push_back(json{{"record", current}, {"name", c.Text(1)}, {"points", json::array()}});
      }
      chart.back()["points"].push_back(json::array({c.Real(2), c.Int(3)}));
    }
  }
  out["chart"] = chart;

  json vars = json::array();
  {
    Stmt v(db, "SELECT ifnull(c.name, ''), ifnull(c.value, '') FROM game_cvars gc LEFT JOIN cvars c ON c.id = gc.cvar "
                        "WHERE gc.game = ? ORDER BY gc.rec");
    v.Bind(1, game);
    while (v.Step()) vars.push_back(json{{"name", v.Text(0)}, {"value", v.Text(1)}});
  }
  out["variables"] = vars;
  json pvars = json::array();
  {
    Stmt v(db,
           "SELECT gc.player, ifnull(p.name, ''), ifnull(c.name, ''), ifnull(c.value, '') FROM game_player_cvars gc "
           "LEFT JOIN cvars c ON c.id = gc.cvar LEFT JOIN players p ON p.id = gc.player WHERE gc.game = ? "
           "ORDER BY gc.player, gc.rec");
    v.Bind(1, game);
    int64_t current = -1;
    while (v.Step()) {
      if (v.Int(0) != current) {
        current = v.Int(0);
        pvars.push_back(json{{"record", current}, {"name", v.Text(1)}, {"variables", json::array()}});
      }
      pvars.back()["variables"].push_back(json{{"name", v.Text(2)}, {"value", v.Text(3)}});
    }
  }
  out["player_variables"] = pvars;
  return out;
}

json PlayersJson(Db& db, const PlayerQuery& query) {
  if (!Allowed(kPlayerSorts, query.sort)) throw BadRequest("unknown sort column");
  const std::string order = Order(query.order);
  // Names are counted in characters: the trigram index needs three of
  // them, whatever their bytes.
  const size_t characters = codepage::Utf8Length(query.q);
  if (characters > 50) throw BadRequest("q is longer than a name can be");
  std::string from = "players", where = "players.games > 0";
  std::string pattern;
  if (characters >= 3) {
    // Three characters or more: the trigram index finds them anywhere in the
    // name. Joined rather than asked as a list, which SQLite would build
    // into a temporary table on every run.
    pattern = "\"";
    for (char ch : query.q) pattern += ch == '"' ? std::string("\"\"") : std::string(1, ch);
    pattern += "\"";
    from += " JOIN player_names ON player_names.rowid = players.id";
    where += " AND player_names MATCH ?1";
  } else if (!query.q.empty()) {
    for (char ch : query.q) {
      if (ch == '%' || ch == '_' || ch == '\\') pattern += '\\';
      pattern += ch;
    }
    pattern = "%" + pattern + "%";
    where += " AND players.name LIKE ?1 ESCAPE '\\'";
  }
  Stmt count(db, "SELECT count(*) FROM " + from + " WHERE " + where);
  if (!pattern.empty()) count.Bind(1, pattern);
  count.Step();
  const int64_t total = count.Int(0), pages = Pages(total);
  CheckPage(query.page, pages);
  const std::string column = query.sort == "last_seen" ? "last_serial" : query.sort;
  Stmt q(db,
         "SELECT players.id, ifnull(players.name, ''), frags, deaths, suicides, score, players.games, "
         "ifnull((SELECT time FROM games WHERE games.id = players.last_game), ''), mu, sigma, team_kills FROM " + from +
             " WHERE " + where + " ORDER BY players." + column + " " + order + ", players.id " + order +
             " LIMIT ?2 OFFSET ?3");
  if (!pattern.empty()) q.Bind(1, pattern);
  q.Bind(2, kPageSize).Bind(3, (query.page - 1) * kPageSize);
  json players = json::array();
  while (q.Step())
    players.push_back(json{{"record", q.Int(0)}, {"name", q.Text(1)}, {"frags", q.Int(2)}, {"team_kills", q.Int(10)}, {"deaths", q.Int(3)},
                           {"suicides", q.Int(4)}, {"score", q.Int(5)}, {"frags_per_death", PerDeath(q.Int(2), q.Int(3))},
                           {"games", q.Int(6)}, {"last_seen", q.Text(7)}, {"mu", q.Real(8)}, {"sigma", q.Real(9)},
                           {"rating", rating::Shown({q.Real(8), q.Real(9)})}});
  return json{{"sort", query.sort}, {"order", query.order}, {"q", query.q}, {"page", query.page},
              {"pages", pages},     {"total", total},       {"players", players}};
}

json PlayerJson(Db& db, int64_t player) {
  Stmt q(db,
         "SELECT id, ifnull(name, ''), ifnull((SELECT time FROM games WHERE games.id = players.first_game), ''), frags, "
         "deaths, suicides, score, games, ifnull((SELECT time FROM games WHERE games.id = players.last_game), ''), mu, "
         "sigma, team_kills, best_streak FROM players WHERE id = ?");
  q.Bind(1, player);
  if (!q.Step() || q.IsNull(1)) throw NotFound("no such player");
  json out{{"record", q.Int(0)},   {"name", q.Text(1)},     {"first_seen", q.Text(2)},
           {"frags", q.Int(3)},    {"deaths", q.Int(4)},    {"suicides", q.Int(5)},
           {"score", q.Int(6)},    {"frags_per_death", PerDeath(q.Int(3), q.Int(4))},
           {"games", q.Int(7)},    {"last_seen", q.Text(8)},
           {"mu", q.Real(9)},      {"sigma", q.Real(10)},   {"rating", rating::Shown({q.Real(9), q.Real(10)})},
           {"team_kills", q.Int(11)}, {"best_streak", q.Int(12)}};

  json weapons = json::array();
  {
    Stmt w(db, "SELECT w.weapon, ifnull(n.name, ''), sum(w.frags), sum(w.deaths), sum(w.suicides) "
                        "FROM game_player_weapons w LEFT JOIN weapons n ON n.id = w.weapon WHERE w.player = ? "
                        "GROUP BY w.weapon ORDER BY sum(w.frags) DESC, w.weapon");
    w.Bind(1, player);
    while (w.Step())
      weapons.push_back(json{{"record", w.Int(0)}, {"name", w.Text(1)}, {"frags", w.Int(2)}, {"deaths", w.Int(3)}, {"suicides", w.Int(4)}});
  }
  out["weapons"] = weapons;
  json types = json::array();
  {
    Stmt t(db, "SELECT t.type, ifnull(n.name, ''), sum(t.n), sum(t.score) FROM game_player_types t "
                        "LEFT JOIN types n ON n.id = t.type WHERE t.player = ? GROUP BY t.type ORDER BY sum(t.n) DESC, t.type");
    t.Bind(1, player);
    while (t.Step()) types.push_back(json{{"record", t.Int(0)}, {"name", t.Text(1)}, {"score_rows", t.Int(2)}, {"score", t.Int(3)}});
  }
  out["types"] = types;
  auto versus = [&](const char* sql) {
    json list = json::array();
    Stmt v(db, sql);
    v.Bind(1, player);
    while (v.Step()) list.push_back(json{{"record", v.Int(0)}, {"name", v.Text(1)}, {"frags", v.Int(2)}});
    return list;
  };
  out["beaten_most"] = versus(
      "SELECT v.victim, ifnull(p.name, ''), v.n FROM versus v LEFT JOIN players p ON p.id = v.victim "
      "WHERE v.killer = ? ORDER BY v.n DESC, v.victim LIMIT 10");
  out["beaten_by_most"] = versus(
      "SELECT v.killer, ifnull(p.name, ''), v.n FROM versus v LEFT JOIN players p ON p.id = v.killer "
      "WHERE v.victim = ? ORDER BY v.n DESC, v.killer LIMIT 10");

  json games = json::array();
  {
    Stmt g(db, "SELECT gp.game, ifnull(g.start, ''), g.open, ifnull(g.end_time, ''), gp.frags, gp.deaths, "
                        "gp.suicides, gp.score, gp.team_kills, gp.best_streak, ifnull(g.time, '') "
                        "FROM game_players gp JOIN games g ON g.id = gp.game "
                        "WHERE gp.player = ? ORDER BY " + std::string(NewestFirst()) + " LIMIT 100");
    g.Bind(1, player);
    while (g.Step())
      games.push_back(json{{"record", g.Int(0)}, {"start", g.Text(1)}, {"time", g.Text(10)},
                           {"end", g.Int(2) ? std::string("running") : g.Text(3)}, {"map", MapOf(db, g.Int(0)).second}, {"map_record", MapOf(db, g.Int(0)).first},
                           {"frags", g.Int(4)}, {"team_kills", g.Int(8)}, {"deaths", g.Int(5)},
                           {"suicides", g.Int(6)}, {"score", g.Int(7)}, {"best_streak", g.Int(9)}});
  }
  out["games_played"] = games;   // the newest 100

  // The records merged into this player by aliases (aliases.h), itself included.
  const std::string mine = "(SELECT player FROM aliases WHERE kept = ?1 UNION SELECT ?1)";
  json names{{"renamed_to", json::array()}, {"renamed_from", json::array()}, {"netnames", json::array()},
             {"used", json::array()}};
  {
    Stmt u(db, "SELECT p.id, ifnull(p.name, '') FROM players p WHERE p.id IN " + mine + " ORDER BY p.id");
    u.Bind(1, player);
    while (u.Step()) names["used"].push_back(Ref(u.Int(0), u.Text(1)));
    Stmt a(db, "SELECT a.kept, ifnull(p.name, '') FROM aliases a LEFT JOIN players p ON p.id = a.kept "
                        "WHERE a.player = ? AND a.kept <> a.player");
    a.Bind(1, player);
    out["alias_of"] = a.Step() ? Ref(a.Int(0), a.Text(1)) : json(nullptr);
    Stmt r(db, "SELECT r.to_player, ifnull(p.name, ''), r.game, r.offset FROM renames r "
                        "LEFT JOIN players p ON p.id = r.to_player WHERE r.from_player IN " + mine + " ORDER BY r.game, r.rec");
    r.Bind(1, player);
    while (r.Step())
      names["renamed_to"].push_back(json{{"record", r.Int(0)}, {"name", r.Text(1)}, {"game", r.Int(2)}, {"offset", r.Real(3)}});
    Stmt f(db, "SELECT r.from_player, ifnull(p.name, ''), r.game, r.offset FROM renames r "
                        "LEFT JOIN players p ON p.id = r.from_player WHERE r.to_player IN " + mine + " ORDER BY r.game, r.rec");
    f.Bind(1, player);
    while (f.Step())
      names["renamed_from"].push_back(json{{"record", f.Int(0)}, {"name", f.Text(1)}, {"game", f.Int(2)}, {"offset", f.Real(3)}});
    // Names sent among the player variables (a "name" variable of the mod).
    Stmt n(db, "SELECT DISTINCT c.value FROM game_player_cvars gc JOIN cvars c ON c.id = gc.cvar "
                        "WHERE gc.player IN " + mine + " AND c.name IN ('name', 'netname') ORDER BY c.value");
    n.Bind(1, player);
    while (n.Step()) names["netnames"].push_back(n.Text(0));
  }
  out["names"] = names;

  json days = json::array();
  {
    Stmt d(db, "SELECT CAST(floor(g.time_serial) AS INTEGER) AS day, min(g.time), sum(gp.frags) "
                        "FROM game_players gp JOIN games g ON g.id = gp.game "
                        "WHERE gp.player = ? AND g.time_serial IS NOT NULL GROUP BY day ORDER BY day");
    d.Bind(1, player);
    while (d.Step()) {
      std::string date = d.Text(1);
      date = date.substr(0, date.find(' '));
      days.push_back(json{{"day", date}, {"frags", d.Int(2)}});
    }
  }
  out["frags_per_day"] = days;

  json history = json::array();
  {
    Stmt h(db, "SELECT h.game, ifnull(g.time, ''), h.mu, h.sigma FROM rating_history h "
                        "JOIN games g ON g.id = h.game WHERE h.player = ? "
                        "ORDER BY g.time_serial IS NOT NULL, g.time_serial, g.id");
    h.Bind(1, player);
    while (h.Step())
      history.push_back(json{{"game", h.Int(0)}, {"start", h.Text(1)}, {"mu", h.Real(2)}, {"sigma", h.Real(3)},
                             {"rating", rating::Shown({h.Real(2), h.Real(3)})}});
  }
  out["rating_history"] = history;   // in the order the games were rated
  return out;
}

namespace {

json TotalsList(Db& db, const ListQuery& query, const char* const* sorts, const std::string& sql,
                const char* key, const std::vector<std::string>& fields) {
  if (!Allowed(sorts, query.sort)) throw BadRequest("unknown sort column");
  const std::string order = Order(query.order);
  Stmt q(db, sql + " ORDER BY " + query.sort + " " + order + ", record " + order);
  json list = json::array();
  while (q.Step()) {
    json row{{"record", q.Int(0)}, {"name", q.Text(1)}};
    for (size_t i = 0; i < fields.size(); ++i) row[fields[i]] = q.Int(static_cast<int>(i) + 2);
    list.push_back(std::move(row));
  }
  return json{{"sort", query.sort}, {"order", query.order}, {key, list}};
}

}  // namespace

json WeaponsJson(Db& db, const ListQuery& query) {
  return TotalsList(db, query, kWeaponSorts,
                    "SELECT w.id AS record, ifnull(w.name, '') AS name, ifnull(t.frags, 0) AS frags, "
                    "ifnull(t.suicides, 0) AS suicides, ifnull(t.rows, 0) AS score_rows, ifnull(t.score, 0) AS score "
                    "FROM weapons w LEFT JOIN weapon_totals t ON t.weapon = w.id",
                    "weapons", {"frags", "suicides", "score_rows", "score"});
}

json TypesJson(Db& db, const ListQuery& query) {
  return TotalsList(db, query, kTypeSorts,
                    "SELECT y.id AS record, ifnull(y.name, '') AS name, ifnull(t.rows, 0) AS score_rows, "
                    "ifnull(t.score, 0) AS score FROM types y LEFT JOIN type_totals t ON t.type = y.id",
                    "types", {"score_rows", "score"});
}

json MapsJson(Db& db, const ListQuery& query) {
  return TotalsList(db, query, kMapSorts,
                    "SELECT m.id AS record, ifnull(m.name, '') AS name, "
                    "(SELECT count(DISTINCT gm.game) FROM game_maps gm WHERE gm.map = m.id) AS games, "
                    "(SELECT ifnull(sum(g.rows), 0) FROM games g WHERE g.id IN (SELECT game FROM game_maps gm WHERE gm.map = m.id)) "
                    "AS score_rows FROM maps m",
                    "maps", {"games", "score_rows"});
}

}  // namespace web
