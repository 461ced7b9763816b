// The players' skill ratings over generated games, against a separate
// working of the rating rules: stored at once, arriving one game at a time
// (out of order) while tallyweb runs, and rebuilt from nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>

#include "web_fixture.h"

namespace {

using json = nlohmann::json;

struct Game {
  int minute = -1;   // start 04/01/2026 01:00 + minute; -1: no start in the log
  std::vector<std::string> records;
  std::map<std::string, int64_t> score;       // participants and their scores
  std::map<std::string, std::string> team;    // last team, when they have one
};

const std::vector<std::string> kPool = {"P0", "P1", "P2", "P3", "P4", "P5", "P6", "O'Hara", "<b>P8</b>", "P9"};

// kind 0, 1: free-for-all; 2: teams; 3: teams, but one participant has none.
Game Generate(std::mt19937& rng, int minute) {
  auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
  Game g;
  g.minute = minute;
  if (minute >= 0) {
    char time[16];
    std::snprintf(time, sizeof time, "%02d:%02d:00", 1 + minute / 60, minute % 60);
    g.records = {"\t\tLogDate\t04/01/2026\t\t0", std::string("\t\tLogTime\t") + time + "\t\t0"};
  }
  g.records.push_back("\t\tMap\tq2dm1\t\t0");
  const int kind = pick(4);
  const int n = pick(15) == 0 ? 1 : 2 + pick(4);
  std::vector<std::string> names = kPool;
  std::shuffle(names.begin(), names.end(), rng);
  names.resize(n);
  double offset = 1;
  auto at = [&] { return "\t" + std::to_string(offset++); };
  if (kind >= 2) {
    const std::vector<std::string> colours = {"Red", "Blue", "Green"};
    const int m = 2 + pick(2);
    for (int i = 0; i < n; ++i) {
      if (kind == 3 && i == n - 1) break;
      const std::string& last = colours[i % m];
      if (pick(3) == 0) {   // joins another team first, then changes
        g.records.push_back("\t\tPlayerConnect\t" + names[i] + "\t" + colours[(i + 1) % m] + at());
        g.records.push_back("\t\tPlayerTeamChange\t" + names[i] + "\t" + last + at());
      } else {
        g.records.push_back("\t\tPlayerConnect\t" + names[i] + "\t" + last + at());
      }
      g.team[names[i]] = last;
    }
    if (pick(2) == 0) g.records.push_back("\t\tPlayerConnect\tSpec\tRed" + at());   // never fights
  } else {
    for (int i = 0; i < n; ++i)
      if (pick(2) == 0) g.records.push_back("\t\tPlayerConnect\t" + names[i] + "\t" + at());
  }
  auto kill = [&](int k, int v) {
    const bool self = k == v;
    const int64_t score = self ? -1 : pick(3);
    g.records.push_back(names[k] + "\t" + names[v] + (self ? "\tSuicide\tRocket\t" : "\tKill\tRocket\t") +
                        std::to_string(score) + at());
    g.score[names[k]] += score;
    g.score[names[v]] += 0;
  };
  for (int i = 0; i < n; ++i) kill(i, (i + 1) % n);
  for (int extra = pick(8); extra > 0; --extra) kill(pick(n), pick(n));
  if (pick(6) == 0) g.records.push_back("\t\tPlayerLeft\t" + names[0] + "\t" + at());
  g.records.push_back("\t\tGameEnd\t\t\t600");
  // The team changes above never go back to a team, so the last one named
  // is the last one linked.
  return g;
}

struct Belief {
  double mu = 25.0, sigma = 25.0 / 3.0;
};

// The rules worked out once more, apart from the site's code.
void RateOne(std::map<std::string, Belief>& beliefs, const Game& g) {
  if (g.score.size() < 2) return;
  std::set<std::string> colours;
  bool all = true;
  for (const auto& [name, s] : g.score) {
    auto t = g.team.find(name);
    if (t == g.team.end()) all = false;
    else colours.insert(t->second);
  }
  std::vector<std::vector<std::string>> units;
  if (all && colours.size() >= 2) {
    for (const std::string& c : colours) {
      units.emplace_back();
      for (const auto& [name, s] : g.score)
        if (g.team.at(name) == c) units.back().push_back(name);
    }
  } else {
    for (const auto& [name, s] : g.score) units.push_back({name});
  }
  const double beta = 25.0 / 6.0, tau = 25.0 / 300.0;
  for (const auto& [name, s] : g.score) {
    Belief& b = beliefs[name];
    b.sigma = std::sqrt(b.sigma * b.sigma + tau * tau);
  }
  const size_t k = units.size();
  std::vector<double> m(k), v(k), total(k);
  double csq = 0;
  for (size_t i = 0; i < k; ++i) {
    for (const std::string& p : units[i]) {
      m[i] += beliefs[p].mu;
      v[i] += beliefs[p].sigma * beliefs[p].sigma;
      total[i] += static_cast<double>(g.score.at(p));
    }
    csq += v[i] + beta * beta;
  }
  const double c = std::sqrt(csq);
  auto rank = [&](size_t i) { return std::count_if(total.begin(), total.end(), [&](double t) { return t > total[i]; }); };
  std::vector<Belief> after;
  std::vector<std::pair<double, double>> od(k);
  for (size_t i = 0; i < k; ++i) {
    double omega = 0, delta = 0;
    for (size_t q = 0; q < k; ++q) {
      if (rank(q) > rank(i)) continue;
      double s = 0;
      int a = 0;
      for (size_t j = 0; j < k; ++j) {
        if (rank(j) >= rank(q)) s += std::exp(m[j] / c);
        if (rank(j) == rank(q)) ++a;
      }
      const double p = std::exp(m[i] / c) / s;
      omega += ((q == i) - p) / a;
      delta += p * (1 - p) / a;
    }
    od[i] = {omega * v[i] / c, delta * (std::sqrt(v[i]) / c) * v[i] / (c * c)};
  }
  for (size_t i = 0; i < k; ++i)
    for (const std::string& p : units[i]) {
      Belief& b = beliefs[p];
      const double share = b.sigma * b.sigma / v[i];
      b.mu += share * od[i].first;
      b.sigma *= std::sqrt(std::max(1 - share * od[i].second, 0.0001));
    }
}

// Games rated by start, then by the order they were stored; games with no
// start in the log begin when they arrive, after every dated one here.
std::map<std::string, Belief> Expected(const std::vector<Game>& games) {
  std::vector<size_t> order(games.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const int ka = games[a].minute < 0 ? 1 << 20 : games[a].minute, kb = games[b].minute < 0 ? 1 << 20 : games[b].minute;
    return ka < kb;
  });
  std::map<std::string, Belief> beliefs;
  for (size_t i : order) RateOne(beliefs, games[i]);
  return beliefs;
}

// Empty when every listed player's mu and sigma are as expected.
std::string Differences(const json& list, const std::map<std::string, Belief>& expected) {
  std::string out;
  std::set<std::string> seen;
  for (const json& p : list["players"]) {
    const std::string name = p["name"];
    seen.insert(name);
    const auto it = expected.find(name);
    const Belief e = it == expected.end() ? Belief{} : it->second;
    if (!p.contains("mu") || !p.contains("sigma") || !p.contains("rating")) return name + " has no rating\n";
    const double mu = p["mu"], sigma = p["sigma"], r = p["rating"];
    if (std::fabs(mu - e.mu) > 1e-9 || std::fabs(sigma - e.sigma) > 1e-9 || std::fabs(r - (mu - 3 * sigma)) > 1e-9)
      out += name + ": " + std::to_string(mu) + "/" + std::to_string(sigma) + " expected " + std::to_string(e.mu) +
             "/" + std::to_string(e.sigma) + "\n";
  }
  for (const auto& [name, b] : expected)
    if (!seen.count(name)) out += name + " is not listed\n";
  return out;
}

// Waits (60 s at most) until the ratings are as expected; the differences
// left otherwise.
std::string WaitForRatings(webtest::Web& web, const std::map<std::string, Belief>& expected) {
  std::string diff = "no answer";
  testkit::Eventually([&] {
    std::string body;
    if (web.Request("/api/players?sort=name&order=asc", &body) == 200) diff = Differences(json::parse(body), expected);
    return diff.empty();
  });
  return diff;
}

webtest::Feed FeedOf(const std::vector<Game>& games, size_t from, size_t to, unsigned first_packet) {
  webtest::Feed f{"Rated", "10.0.0.9", "27920", {}, {}, first_packet};
  for (size_t i = from; i < to; ++i) f.records.insert(f.records.end(), games[i].records.begin(), games[i].records.end());
  return f;
}

// Most games stored at once, starts out of the order of storing (two games
// to each minute); the last ones one at a time while tallyweb runs, each
// begun before many stored already or without a start; then rebuilt.
TEST(WebRating, GamesMatchTheRulesAtOnceOneAtATimeOutOfOrderAndAfterARebuild) {
  testkit::TempDir dir;
  std::mt19937 rng(20111);
  std::vector<Game> games;
  const size_t at_once = 190;
  for (int i = 0; i < 200; ++i) games.push_back(Generate(rng, i > 190 && i % 4 == 1 ? -1 : (i * 37) % 200 / 2));
  int rated = 0;
  for (const Game& g : games) rated += g.score.size() >= 2;
  ASSERT_GT(rated, 150);
  const std::string db = dir.File("stats.db");
  testkit::Touch(db);
  ASSERT_NO_FATAL_FAILURE(webtest::Store(db, FeedOf(games, 0, at_once, 1), dir.path(), 8000));
  auto web = std::make_unique<webtest::Web>(webtest::Sqlite(db), dir.File("summaries.db"));
  for (size_t n = at_once; n <= games.size(); ++n) {
    if (n > at_once) {
      ASSERT_NO_FATAL_FAILURE(webtest::Store(db, FeedOf(games, n - 1, n, static_cast<unsigned>(10 * n)), dir.path(), 8000));
    }
    const std::vector<Game> so_far(games.begin(), games.begin() + static_cast<long>(n));
    ASSERT_EQ(WaitForRatings(*web, Expected(so_far)), "") << "after game " << n;
  }
  // The history: one entry per rated game of each player (computed again
  // whenever a game that began earlier arrived), the last one the rating now.
  std::map<std::string, size_t> rated_games;
  for (const Game& g : games)
    if (g.score.size() >= 2)
      for (const auto& [name, s] : g.score) ++rated_games[name];
  const json players = web->Json("/api/players?sort=name&order=asc")["players"];
  ASSERT_GE(players.size(), 5u);
  for (const json& p : players) {
    const json one = web->Json("/api/players/" + std::to_string(p["record"].get<int64_t>()));
    const json& history = one["rating_history"];
    EXPECT_EQ(history.size(), rated_games[p["name"].get<std::string>()]) << p["name"];
    if (history.empty()) continue;
    EXPECT_EQ(history.back()["mu"], one["mu"]) << p["name"];
    EXPECT_EQ(history.back()["sigma"], one["sigma"]) << p["name"];
  }
  web.reset();
  std::filesystem::remove(dir.File("summaries.db"));
  webtest::Web again(webtest::Sqlite(db), dir.File("summaries.db"));
  EXPECT_EQ(WaitForRatings(again, Expected(games)), "");
}

}  // namespace
