// The awards of the last day and the last week (figures.h).
#include <cmath>
#include <string>

#include "figures.h"
#include "figures_rows.h"

namespace web {

using json = nlohmann::json;

namespace {

constexpr int64_t kMinDeathsForRatio = 10;

// The players of the games whose time lies in [?1, ?2].
const char kInWindow[] = "gp.game IN (SELECT id FROM games WHERE time_serial >= ?1 AND time_serial <= ?2)";

json Best(Db& db, const std::string& sql, double from, double to, bool real) {
  Stmt q(db.handle(), sql);
  q.Bind(1, from).Bind(2, to);
  if (!q.Step()) return nullptr;
  json out = Ref(q.Int(0), q.Text(1));
  if (real) out["value"] = std::round(q.Real(2) * 100.0) / 100.0;
  else out["value"] = q.Int(2);
  return out;
}

json Window(Db& db, double now, double days) {
  const double from = now - days;
  const std::string in = kInWindow;
  auto summed = [&](const std::string& value, const std::string& having) {
    return "SELECT gp.player, ifnull(p.name, ''), " + value + " AS v FROM game_players gp LEFT JOIN players p ON "
           "p.id = gp.player WHERE " + in + " GROUP BY gp.player HAVING " + having + " ORDER BY v DESC, gp.player LIMIT 1";
  };
  json out;
  out["most_frags"] = Best(db, summed("sum(gp.frags)", "v > 0"), from, now, false);
  out["best_frags_per_death"] =
      Best(db, summed("CAST(sum(gp.frags) AS REAL) / sum(gp.deaths)", "sum(gp.deaths) >= " + std::to_string(kMinDeathsForRatio)),
           from, now, true);
  out["longest_streak"] = Best(db, summed("max(gp.best_streak)", "v > 0"), from, now, false);
  out["most_team_kills"] = Best(db, summed("sum(gp.team_kills)", "v > 0"), from, now, false);
  json weapons = json::array();
  Stmt q(db.handle(),
         "SELECT x.weapon, ifnull(w.name, ''), x.player, ifnull(p.name, ''), x.frags FROM (SELECT gp.weapon, gp.player, "
         "sum(gp.frags) AS frags, row_number() OVER (PARTITION BY gp.weapon ORDER BY sum(gp.frags) DESC, gp.player) AS n "
         "FROM game_player_weapons gp WHERE " + in + " GROUP BY gp.weapon, gp.player HAVING sum(gp.frags) > 0) x "
         "LEFT JOIN weapons w ON w.id = x.weapon LEFT JOIN players p ON p.id = x.player WHERE x.n = 1 "
         "ORDER BY ifnull(w.name, ''), x.weapon");
  q.Bind(1, from).Bind(2, now);
  while (q.Step())
    weapons.push_back(json{{"weapon", Ref(q.Int(0), q.Text(1))}, {"player", Ref(q.Int(2), q.Text(3))}, {"frags", q.Int(4)}});
  out["top_per_weapon"] = weapons;
  return out;
}

}  // namespace

json AwardsJson(Db& db) {
  const double now = LocalNow();
  return json{{"day", Window(db, now, 1.0)}, {"week", Window(db, now, 7.0)}};
}

}  // namespace web
