#include "figures_rows.h"

#include <cmath>

#include "env.h"

namespace web {

using json = nlohmann::json;

double PerDeath(int64_t frags, int64_t deaths) {
  return std::round(static_cast<double>(frags) / static_cast<double>(deaths > 0 ? deaths : 1) * 100.0) / 100.0;
}

json Ref(int64_t record, const std::string& name) { return json{{"record", record}, {"name", name}}; }

std::pair<int64_t, std::string> MapOf(Db& db, int64_t game) {
  Stmt q(db,
         "SELECT gm.map, ifnull(m.name, '') FROM game_maps gm LEFT JOIN maps m ON m.id = gm.map WHERE gm.game = ? "
         "ORDER BY gm.rec DESC LIMIT 1");
  q.Bind(1, game);
  if (!q.Step()) return {0, std::string()};
  return {q.Int(0), q.Text(1)};
}

const char kGameColumns[] =
    "g.id, ifnull(g.start, ''), ifnull(g.end_time, ''), g.open, g.players, g.rows, "
    "(SELECT sg.server FROM server_games sg WHERE sg.game = g.id ORDER BY sg.rec LIMIT 1) AS sid, "
    "(SELECT ifnull(s.name, '') FROM server_games sg JOIN servers s ON s.id = sg.server WHERE sg.game = g.id "
    "ORDER BY sg.rec LIMIT 1), ifnull(g.time, '')";

json GameRow(Db& db, Stmt& q) {
  // columns: id, start, end_time, open, players, rows, server id, server name, time
  const auto map = MapOf(db, q.Int(0));
  json g{{"record", q.Int(0)},
         {"start", q.Text(1)},
         {"time", q.Text(8)},
         {"end", q.Int(3) ? std::string("running") : q.Text(2)},
         {"map", map.second},
         {"map_record", map.first},
         {"players", q.Int(4)},
         {"score_rows", q.Int(5)}};
  g["server"] = q.IsNull(6) ? json(nullptr) : Ref(q.Int(6), q.Text(7));
  return g;
}

double LocalNow() { return env::Current().LocalNow(); }

}  // namespace web
