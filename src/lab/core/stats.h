// Tail probabilities under the ideal hash, in log2 so that results far beyond any double's range
// (a p of 2^-5000) keep their size. Every verdict of the battery rests on these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lab {

// log2 of P(X >= k) for X ~ Poisson(mean): the chance that an ideal hash gives k collisions or
// more where it expects `mean`. 0 (p = 1) for k <= 0.
double poisson_tail_log2(double k, double mean);

// log2 of P(X <= k) for X ~ Binomial(n, q).
double binomial_lower_log2(double k, double n, double q);

// log2 of P(X >= x) for X ~ chi-square with `df` degrees of freedom.
double chi_square_tail_log2(double x, double df);

// t such that P(|T| <= t) = confidence for T ~ Student's t with `df` degrees of freedom: the
// half-width, in standard errors, of an interval from df + 1 samples.
double student_t_quantile(double confidence, double df);

// log2 of the regularised incomplete gamma functions P(a, x) and Q(a, x) = 1 - P(a, x).
double gamma_p_log2(double a, double x);
double gamma_q_log2(double a, double x);

// The lines a hash's results are judged by, T its results: p < 0.001 / T fails it and p < 0.01 / T
// warns, so that a perfect hash fails a whole run in at most 0.1 % of runs.
double fail_threshold_log2(std::size_t results);
double warn_threshold_log2(std::size_t results);

// The p of the worst of `looked_at` independent results, each with p = 2^log2_p: the chance that
// at least one of them does that badly, 1 - (1 - p)^looked_at (Sidak's correction).
double sidak_log2(double log2_p, double looked_at);

// The p of the worst of `looked_at` overlapping results, given the smallest p (log2, sorted) of
// each of many runs of the same test simulated under the ideal hash: the share of simulated runs
// that did as badly or worse, while at least 1 % of them did. Further out, where the simulation
// thins, Sidak's p (capped at that 1 %), which overlap only makes an overestimate.
double corrected_log2(double log2_p, double looked_at, const std::vector<double>& simulated);

}  // namespace lab
