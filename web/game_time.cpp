#include "game_time.h"

#include "sqlite_db.h"

namespace web {

std::vector<int64_t> SetGameTimes(Db& db) {
  // A start on a date: not the zero date, nor a time of day on it.
  Stmt q(db.handle(),
         "SELECT id, time, time_serial, new_time, new_serial FROM (SELECT g.id, g.time, g.time_serial, "
         "CASE WHEN g.start_serial >= 1 OR g.start_serial < 0 THEN g.start ELSE lg.date END AS new_time, "
         "CASE WHEN g.start_serial >= 1 OR g.start_serial < 0 THEN g.start_serial ELSE lg.serial END AS new_serial "
         "FROM games g LEFT JOIN log_games lg ON lg.rec = (SELECT l.rec FROM log_games l WHERE l.game = g.id "
         "ORDER BY l.log LIMIT 1) WHERE g.final = 0) "
         "WHERE time IS NOT new_time OR time_serial IS NOT new_serial");
  struct Change {
    int64_t id;
    bool known;
    std::string time;
    double serial;
  };
  std::vector<Change> changes;
  while (q.Step()) changes.push_back({q.Int(0), !q.IsNull(4), q.Text(3), q.IsNull(4) ? 0.0 : q.Real(4)});
  Stmt upd(db.handle(), "UPDATE games SET time = ?, time_serial = ? WHERE id = ?");
  std::vector<int64_t> ids;
  for (const Change& c : changes) {
    if (c.known) upd.Bind(1, c.time).Bind(2, c.serial);
    else upd.BindNull(1).BindNull(2);
    upd.Bind(3, c.id).Run();
    ids.push_back(c.id);
  }
  return ids;
}

}  // namespace web
