// Pearson's goodness of fit for the statistical tests: counts against
// probabilities, and its p-value.
#pragma once

#include <boost/math/distributions/chi_squared.hpp>
#include <cstdint>
#include <vector>

namespace twolocus::testing {

// Takes a statistic and its degrees of freedom; returns the upper tail of
// the chi-square distribution (1 for no degrees of freedom).
inline double chi_square_p(double statistic, int degrees) {
  if (degrees < 1) return 1.0;
  return boost::math::cdf(boost::math::complement(boost::math::chi_squared(degrees), statistic));
}

// Takes counts and the probabilities of their cells; returns the p-value of
// Pearson's goodness of fit. Cells expecting fewer than 5 are pooled into
// one; counts where none can be give 0.
inline double goodness_of_fit(const std::vector<int64_t>& observed, const std::vector<double>& probability) {
  double total = 0, statistic = 0, pooled_observed = 0, pooled_expected = 0;
  for (const int64_t o : observed) total += static_cast<double>(o);
  int cells = 0;
  for (size_t i = 0; i < observed.size(); ++i) {
    const double expected = total * probability[i];
    const auto o = static_cast<double>(observed[i]);
    if (expected < 5) {
      pooled_observed += o;
      pooled_expected += expected;
      continue;
    }
    statistic += (o - expected) * (o - expected) / expected;
    ++cells;
  }
  if (pooled_expected > 0) {
    statistic += (pooled_observed - pooled_expected) * (pooled_observed - pooled_expected) / pooled_expected;
    ++cells;
  } else if (pooled_observed > 0) {
    return 0;
  }
  return chi_square_p(statistic, cells - 1);
}

}  // namespace twolocus::testing
