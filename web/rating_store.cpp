#include "rating_store.h"

#include <map>
#include <vector>

#include "rating.h"
#include "sqlite_db.h"

namespace web {
namespace {

struct Key {
  bool has_serial;
  double serial;
  int64_t id;
  bool operator<(const Key& o) const {
    if (has_serial != o.has_serial) return !has_serial;   // no start sorts first
    if (has_serial && serial != o.serial) return serial < o.serial;
    return id < o.id;
  }
};

const char kOrder[] = " ORDER BY time_serial IS NOT NULL, time_serial, id";

void RateGame(Db& db, int64_t game) {
  struct Member {
    int64_t player, score, team;
    rating::Skill skill;
  };
  std::vector<Member> members;
  {
    Stmt q(db.handle(),
           "SELECT gp.player, gp.score, ifnull((SELECT t.team FROM game_teams t WHERE t.game = gp.game AND "
           "t.player = gp.player AND t.team != 0 ORDER BY t.rec DESC LIMIT 1), 0), p.mu, p.sigma "
           "FROM game_players gp JOIN players p ON p.id = gp.player "
           "WHERE gp.game = ? AND gp.frags + gp.deaths + gp.suicides + gp.team_kills + gp.team_deaths > 0 ORDER BY gp.player");
    q.Bind(1, game);
    while (q.Step()) members.push_back({q.Int(0), q.Int(1), q.Int(2), {q.Real(3), q.Real(4)}});
  }
  if (members.size() < 2) return;
  bool teamed = true;
  std::map<int64_t, std::vector<size_t>> by_team;
  for (size_t i = 0; i < members.size(); ++i) {
    if (members[i].team == 0) teamed = false;
    by_team[members[i].team].push_back(i);
  }
  if (!teamed || by_team.size() < 2) {
    by_team.clear();
    for (size_t i = 0; i < members.size(); ++i) by_team[static_cast<int64_t>(i)] = {i};
  }
  std::vector<std::vector<rating::Skill>> teams;
  std::vector<int64_t> scores;
  for (const auto& [team, list] : by_team) {
    std::vector<rating::Skill> skills;
    int64_t score = 0;
    for (size_t i : list) {
      rating::AddDynamics(members[i].skill);
      skills.push_back(members[i].skill);
      score += members[i].score;
    }
    teams.push_back(std::move(skills));
    scores.push_back(score);
  }
  rating::Update(teams, rating::RanksOf(scores));
  Stmt upd(db.handle(), "UPDATE players SET mu = ?, sigma = ? WHERE id = ?");
  Stmt history(db.handle(), "INSERT OR REPLACE INTO rating_history (player, game, mu, sigma) VALUES (?, ?, ?, ?)");
  size_t t = 0;
  for (const auto& [team, list] : by_team) {
    for (size_t j = 0; j < list.size(); ++j) {
      const int64_t player = members[list[j]].player;
      upd.Bind(1, teams[t][j].mu).Bind(2, teams[t][j].sigma).Bind(3, player).Run();
      history.Bind(1, player).Bind(2, game).Bind(3, teams[t][j].mu).Bind(4, teams[t][j].sigma).Run();
    }
    ++t;
  }
}

}  // namespace

int64_t RateClosedGames(Db& db) {
  std::vector<Key> todo;
  {
    Stmt q(db.handle(), std::string("SELECT id, time_serial FROM games WHERE final = 1 AND rated = 0") + kOrder);
    while (q.Step()) todo.push_back({!q.IsNull(1), q.IsNull(1) ? 0.0 : q.Real(1), q.Int(0)});
  }
  if (todo.empty()) return 0;
  {
    Stmt q(db.handle(), std::string("SELECT id, time_serial FROM games WHERE rated = 1") +
                            " ORDER BY time_serial IS NOT NULL DESC, time_serial DESC, id DESC LIMIT 1");
    if (q.Step()) {
      const Key last{!q.IsNull(1), q.IsNull(1) ? 0.0 : q.Real(1), q.Int(0)};
      if (todo.front() < last) {
        // A game that began before the last one rated: everything again.
        Stmt reset(db.handle(), "UPDATE players SET mu = ?, sigma = ?");
        reset.Bind(1, rating::kMu).Bind(2, rating::kSigma).Run();
        db.Exec("UPDATE games SET rated = 0 WHERE rated = 1");
        db.Exec("DELETE FROM rating_history");
        todo.clear();
        Stmt all(db.handle(), std::string("SELECT id, time_serial FROM games WHERE final = 1") + kOrder);
        while (all.Step()) todo.push_back({!all.IsNull(1), all.IsNull(1) ? 0.0 : all.Real(1), all.Int(0)});
      }
    }
  }
  Stmt done(db.handle(), "UPDATE games SET rated = 1 WHERE id = ?");
  for (const Key& k : todo) {
    RateGame(db, k.id);
    done.Bind(1, k.id).Run();
  }
  return static_cast<int64_t>(todo.size());
}

}  // namespace web
