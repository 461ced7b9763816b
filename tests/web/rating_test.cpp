// The rating arithmetic against values worked by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "rating.h"

namespace {

using web::rating::Skill;

TEST(WebRatingMath, TwoPlayersWinnerGainsWhatTheLoserLoses) {
  std::vector<std::vector<Skill>> teams = {{Skill{}}, {Skill{}}};
  web::rating::Update(teams, {0, 1});
  // c^2 = 2 (sigma^2 + beta^2) = 6250/36; equal mus: the winner's share of
  // S_1 is 1/2, so Omega = +-1/2 sigma^2/c, Delta = 1/4 (sigma/c) sigma^2/c^2.
  const double c = std::sqrt(6250.0) / 6.0, var = 625.0 / 9.0;
  const double omega = 0.5 * var / c, delta = 0.25 * (std::sqrt(var) / c) * var / (c * c);
  EXPECT_NEAR(teams[0][0].mu, 25.0 + omega, 1e-12);
  EXPECT_NEAR(teams[1][0].mu, 25.0 - omega, 1e-12);
  EXPECT_NEAR(teams[0][0].mu, 27.635231383473649, 1e-9);
  EXPECT_NEAR(teams[0][0].sigma, 25.0 / 3.0 * std::sqrt(1.0 - delta), 1e-12);
  EXPECT_NEAR(teams[1][0].sigma, 25.0 / 3.0 * std::sqrt(1.0 - delta), 1e-12);
  EXPECT_NEAR(teams[0][0].sigma, 8.0655063163, 1e-9);
  EXPECT_NEAR(web::rating::Shown(teams[0][0]), teams[0][0].mu - 3 * teams[0][0].sigma, 1e-12);

  // A tie moves nobody's mu when both are alike.
  std::vector<std::vector<Skill>> tie = {{Skill{}}, {Skill{}}};
  web::rating::Update(tie, {0, 0});
  EXPECT_NEAR(tie[0][0].mu, 25.0, 1e-12);
  EXPECT_NEAR(tie[1][0].mu, 25.0, 1e-12);
  EXPECT_LT(tie[0][0].sigma, 25.0 / 3.0);
}

TEST(WebRatingMath, ThreeTeamsWithATieForSecond) {
  // Team sums alike (mu 25), so every exp(mu/c) is the same: team 2 wins
  // alone, teams 1 and 3 tie behind it.
  std::vector<std::vector<Skill>> teams = {{Skill{12.5, 5}, Skill{12.5, 5}}, {Skill{25, 5}}, {Skill{25, 5}}};
  web::rating::Update(teams, {1, 0, 1});
  const double b2 = 625.0 / 36.0, c2 = 100.0 + 3.0 * b2, c = std::sqrt(c2);
  // Winner: q = itself only, share 1/3: Omega = 2/3, Delta = 2/9.
  EXPECT_NEAR(teams[1][0].mu, 25.0 + (2.0 / 3.0) * 25.0 / c, 1e-12);
  EXPECT_NEAR(teams[1][0].sigma, 5.0 * std::sqrt(1.0 - (2.0 / 9.0) * (5.0 / c) * 25.0 / c2), 1e-12);
  // The tied: q = winner (-1/3, 2/9), itself ((1 - 1/2)/2, 1/8), the other ((0 - 1/2)/2, 1/8).
  const double delta3 = (17.0 / 36.0) * (5.0 / c) * 25.0 / c2;
  EXPECT_NEAR(teams[2][0].mu, 25.0 - (1.0 / 3.0) * 25.0 / c, 1e-12);
  EXPECT_NEAR(teams[2][0].sigma, 5.0 * std::sqrt(1.0 - delta3), 1e-12);
  // A member of two carries half the team's variance.
  const double delta1 = (17.0 / 36.0) * (std::sqrt(50.0) / c) * 50.0 / c2;
  for (const Skill& s : teams[0]) {
    EXPECT_NEAR(s.mu, 12.5 - 0.5 * (1.0 / 3.0) * 50.0 / c, 1e-12);
    EXPECT_NEAR(s.sigma, 5.0 * std::sqrt(1.0 - 0.5 * delta1), 1e-12);
  }
}

TEST(WebRatingMath, DynamicsRanksAndTheFloor) {
  Skill s;
  web::rating::AddDynamics(s);
  EXPECT_NEAR(s.sigma, std::sqrt(625.0 / 9.0 + 625.0 / 90000.0), 1e-12);
  EXPECT_EQ(web::rating::RanksOf({10, 30, 10, 5}), (std::vector<int>{1, 0, 1, 3}));
  // The last of ten alike teams, holding nearly all the variance: Delta is
  // about sum over n of (1/n)(1 - 1/n) > 1, so sigma shrinks by sqrt(kappa).
  std::vector<std::vector<Skill>> teams(10, std::vector<Skill>{Skill{25, 1e-3}});
  teams[9][0].sigma = 1e6;
  std::vector<int> ranks;
  for (int i = 0; i < 10; ++i) ranks.push_back(i);
  web::rating::Update(teams, ranks);
  EXPECT_NEAR(teams[9][0].sigma, 1e6 * std::sqrt(0.0001), 1e-6);
  EXPECT_THROW(web::rating::Update(teams, {0}), std::invalid_argument);
}

}  // namespace
