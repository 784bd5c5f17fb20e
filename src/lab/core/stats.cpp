#include "core/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lab {

namespace {

constexpr double ln2 = 0.693147180559945309417;

// ln of the series and continued-fraction parts of the incomplete gamma function (as in Numerical
// Recipes' gser and gcf), with the prefactor x^a e^-x / Gamma(a) kept in log form, so that tails
// of 10^-1000 and below come out as their logarithm instead of 0.
long double log_prefactor(long double a, long double x) { return a * std::log(x) - x - std::lgamma(a); }

// ln P(a, x) by its series; converges fast for x < a + 1.
long double log_p_series(long double a, long double x) {
    long double term = 1 / a, sum = term;
    for (long double n = 1; n < 100000; ++n) {
        term *= x / (a + n);
        sum += term;
        if (std::fabs(term) < std::fabs(sum) * 1e-17L) break;
    }
    return log_prefactor(a, x) + std::log(sum);
}

// ln Q(a, x) by its continued fraction (modified Lentz); converges fast for x >= a + 1.
long double log_q_fraction(long double a, long double x) {
    const long double tiny = 1e-300L;
    long double b = x + 1 - a, c = 1 / tiny, d = 1 / b, h = d;
    for (long double i = 1; i < 100000; ++i) {
        const long double an = -i * (i - a);
        b += 2;
        d = an * d + b;
        if (std::fabs(d) < tiny) d = tiny;
        c = b + an / c;
        if (std::fabs(c) < tiny) c = tiny;
        d = 1 / d;
        const long double delta = d * c;
        h *= delta;
        if (std::fabs(delta - 1) < 1e-17L) break;
    }
    return log_prefactor(a, x) + std::log(h);
}

// ln(1 - e^v) for v < 0, without losing digits near either end.
long double log1m_exp(long double v) { return v > -ln2 ? std::log(-std::expm1(v)) : std::log1p(-std::exp(v)); }

// ln I_x(a, b), the regularised incomplete beta function, by its continued fraction (modified
// Lentz, as Numerical Recipes' betacf), which converges fast for x < (a + 1) / (a + b + 2).
long double log_beta_fraction(long double a, long double b, long double x) {
    const long double tiny = 1e-300L;
    long double c = 1, d = 1 - (a + b) * x / (a + 1);
    if (std::fabs(d) < tiny) d = tiny;
    d = 1 / d;
    long double h = d;
    for (long double m = 1; m < 100000; ++m) {
        for (const long double coefficient : {m * (b - m) * x / ((a + 2 * m - 1) * (a + 2 * m)),
                                              -(a + m) * (a + b + m) * x / ((a + 2 * m) * (a + 2 * m + 1))}) {
            d = 1 + coefficient * d;
            if (std::fabs(d) < tiny) d = tiny;
            c = 1 + coefficient / c;
            if (std::fabs(c) < tiny) c = tiny;
            d = 1 / d;
            h *= d * c;
        }
        if (std::fabs(d * c - 1) < 1e-17L) break;
    }
    const long double log_front = a * std::log(x) + b * std::log1p(-x) - std::log(a) - (std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b));
    return log_front + std::log(h);
}

long double log_beta_regularised(long double a, long double b, long double x) {
    if (x <= 0) return -std::numeric_limits<long double>::infinity();
    if (x >= 1) return 0;
    if (x < (a + 1) / (a + b + 2)) return log_beta_fraction(a, b, x);
    return log1m_exp(log_beta_fraction(b, a, 1 - x));
}

}  // namespace

double binomial_lower_log2(double k, double n, double q) {
    if (k >= n) return 0;
    if (k < 0) return -std::numeric_limits<double>::infinity();
    // P(X <= k) = I_{1-q}(n - k, k + 1).
    return std::fmin(0.0, static_cast<double>(log_beta_regularised(n - k, k + 1, 1 - q) / ln2));
}

double gamma_p_log2(double a, double x) {
    if (x <= 0) return -std::numeric_limits<double>::infinity();
    const long double ln = x < a + 1 ? log_p_series(a, x) : log1m_exp(log_q_fraction(a, x));
    return static_cast<double>(ln / ln2);
}

double gamma_q_log2(double a, double x) {
    if (x <= 0) return 0;
    const long double ln = x < a + 1 ? log1m_exp(log_p_series(a, x)) : log_q_fraction(a, x);
    return static_cast<double>(ln / ln2);
}

double fail_threshold_log2(std::size_t results) { return std::log2(0.001 / static_cast<double>(std::max<std::size_t>(results, 1))); }
double warn_threshold_log2(std::size_t results) { return std::log2(0.01 / static_cast<double>(std::max<std::size_t>(results, 1))); }

double poisson_tail_log2(double k, double mean) {
    if (k <= 0) return 0;
    if (mean <= 0) return -std::numeric_limits<double>::infinity();
    // P(X >= k) = P(k, mean): the regularised lower incomplete gamma function.
    return std::fmin(0.0, gamma_p_log2(k, mean));
}

double student_t_quantile(double confidence, double df) {
    // P(|T| > t) = I_{df / (df + t^2)}(df / 2, 1 / 2), falling in t: halve the bracket until it is
    // as narrow as a double allows.
    const long double tail = std::log(static_cast<long double>(1 - confidence));
    double low = 0, high = 1e6;
    for (int i = 0; i < 200 && high - low > 1e-12 * high; ++i) {
        const double t = (low + high) / 2;
        if (log_beta_regularised(df / 2, 0.5L, df / (df + static_cast<long double>(t) * t)) > tail) {
            low = t;
        } else {
            high = t;
        }
    }
    return (low + high) / 2;
}

double chi_square_tail_log2(double x, double df) { return std::fmin(0.0, gamma_q_log2(df / 2, x / 2)); }

double sidak_log2(double log2_p, double looked_at) {
    if (looked_at <= 1) return log2_p;
    // 1 - (1 - p)^N = -expm1(N log1p(-p)); for a tiny p that is N p, which also keeps its log.
    const long double p = std::exp2(static_cast<long double>(log2_p));
    if (p < 1e-12L) return log2_p + std::log2(looked_at);
    return static_cast<double>(std::log2(-std::expm1(looked_at * std::log1p(-p))));
}


double corrected_log2(double log2_p, double looked_at, const std::vector<double>& simulated) {
    if (looked_at <= 1 || simulated.empty()) return sidak_log2(log2_p, looked_at);
    const double runs = static_cast<double>(simulated.size());
    const double as_bad = static_cast<double>(std::upper_bound(simulated.begin(), simulated.end(), log2_p) - simulated.begin());
    const double enough = std::ceil(0.01 * runs);
    if (as_bad >= enough) return std::log2(as_bad / runs);
    return std::fmin(sidak_log2(log2_p, looked_at), std::log2(enough / runs));
}

}  // namespace lab
