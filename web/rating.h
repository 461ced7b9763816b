// rating: the skill rating of players, the Bayesian approximation of Weng
// and Lin ("A Bayesian Approximation Method for Online Ranking", JMLR 12,
// 2011, Algorithm 4) under the Plackett-Luce model. Pure arithmetic, no
// database: the refresher feeds it one game at a time.
//
// A player's skill is a normal belief (mu, sigma), starting at (25, 25/3);
// the rating shown is mu - 3 sigma. A game is a list of teams (a player
// alone is a team of one) with ranks, lower is better, equal ranks tie.
#pragma once

#include <cstdint>
#include <vector>

namespace web::rating {

constexpr double kMu = 25.0;
constexpr double kSigma = 25.0 / 3.0;
constexpr double kBeta = 25.0 / 6.0;
constexpr double kKappa = 0.0001;
constexpr double kTau = 25.0 / 300.0;

struct Skill {
  double mu = kMu;
  double sigma = kSigma;
};

inline double Shown(const Skill& s) { return s.mu - 3.0 * s.sigma; }

// The widening of a belief before each game: sigma^2 + tau^2.
void AddDynamics(Skill& s);

// Updates the members' skills after one game. teams[i] holds team i's
// members, ranks[i] its rank. Does not widen the beliefs (AddDynamics).
void Update(std::vector<std::vector<Skill>>& teams, const std::vector<int>& ranks);

// Ranks of scores, higher first: the number of scores above each (equal
// scores share a rank).
std::vector<int> RanksOf(const std::vector<int64_t>& scores);

}  // namespace web::rating
