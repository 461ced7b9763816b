#include "rating.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace web::rating {

void AddDynamics(Skill& s) { s.sigma = std::sqrt(s.sigma * s.sigma + kTau * kTau); }

void Update(std::vector<std::vector<Skill>>& teams, const std::vector<int>& ranks) {
  const size_t k = teams.size();
  if (ranks.size() != k) throw std::invalid_argument("one rank per team");
  if (k < 2) return;
  std::vector<double> mu(k, 0.0), var(k, 0.0);
  double c2 = 0;
  for (size_t i = 0; i < k; ++i) {
    for (const Skill& s : teams[i]) {
      mu[i] += s.mu;
      var[i] += s.sigma * s.sigma;
    }
    c2 += var[i] + kBeta * kBeta;
  }
  const double c = std::sqrt(c2);
  std::vector<double> e(k), sum(k, 0.0);
  std::vector<int> tied(k, 0);
  for (size_t i = 0; i < k; ++i) e[i] = std::exp(mu[i] / c);
  for (size_t q = 0; q < k; ++q)
    for (size_t i = 0; i < k; ++i) {
      if (ranks[i] >= ranks[q]) sum[q] += e[i];
      if (ranks[i] == ranks[q]) ++tied[q];
    }
  for (size_t i = 0; i < k; ++i) {
    double omega = 0, delta = 0;
    for (size_t q = 0; q < k; ++q) {
      if (ranks[q] > ranks[i]) continue;
      const double p = e[i] / sum[q];
      omega += ((i == q ? 1.0 : 0.0) - p) / tied[q];
      delta += p * (1.0 - p) / tied[q];
    }
    if (var[i] <= 0) continue;
    const double sigma_i = std::sqrt(var[i]);
    omega *= var[i] / c;
    delta *= (sigma_i / c) * var[i] / c2;
    for (Skill& s : teams[i]) {
      const double share = s.sigma * s.sigma / var[i];
      s.mu += share * omega;
      s.sigma *= std::sqrt(std::max(1.0 - share * delta, kKappa));
    }
  }
}

std::vector<int> RanksOf(const std::vector<int64_t>& scores) {
  std::vector<int> ranks(scores.size(), 0);
  for (size_t i = 0; i < scores.size(); ++i)
    for (int64_t other : scores)
      if (other > scores[i]) ++ranks[i];
  return ranks;
}

}  // namespace web::rating
