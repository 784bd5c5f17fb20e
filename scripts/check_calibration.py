#!/usr/bin/env python3
"""How hashlab check's p-values fall for hashes that should pass: one verdict per hash and run,
then, per test, a histogram of the corrected p-values over every run and the Kolmogorov-Smirnov
distance from the uniform distribution they follow under the ideal hash.

usage: check_calibration.py CHECK.json...   (hashlab check --json, e.g. one file per --seed)

Collision counts are discrete: a full-width test whose ideal expects under 0.01 collisions has
p = 1 whenever there are none, which is nearly always. Those results are counted apart; the others
are compared with the uniform as they are. A count's p = P(X >= k) includes k itself, so its
histogram leans a little towards 1 (the test errs on the side of passing).
"""
import json
import math
import sys


def ks_distance(values):
    values = sorted(values)
    n = len(values)
    return max(max((i + 1) / n - v, v - i / n) for i, v in enumerate(values))


def ks_p(d, n):
    """Kolmogorov's asymptotic tail: P(D >= d) for n values."""
    t = (math.sqrt(n) + 0.12 + 0.11 / math.sqrt(n)) * d
    return max(0.0, min(1.0, 2 * sum((-1) ** (k - 1) * math.exp(-2 * k * k * t * t) for k in range(1, 101))))


def main(paths):
    verdicts, by_test = {}, {}
    for path in paths:
        with open(path) as f:
            doc = json.load(f)
        seed = doc["settings"]["seed"]
        for v in doc["verdicts"]:
            verdicts.setdefault(v["hash"], []).append("%s %s %d/%d" % (seed, v["verdict"], v["passed"], v["total"]))
        for t in doc["tests"]:
            by_test.setdefault((t["hash"], t["test"]), []).append(t)
    for hash_name, runs in verdicts.items():
        print("%-10s %s" % (hash_name, "; ".join(runs)))
    print("\nhash       test                    results  p=1 (none possible)  histogram of p, 10 bins      KS D   P(D)")
    for (hash_name, test), results in sorted(by_test.items()):
        certain = [r for r in results if r["test"] != "windows" and r["expected"] < 0.01 and r["statistic"] == 0]
        p = [2 ** r["log2_p_corrected"] for r in results if r not in certain]
        bins = [0] * 10
        for v in p:
            bins[min(9, int(v * 10))] += 1
        d = ks_distance(p) if p else 0
        print("%-10s %-22s %8d %12d          %-28s %.3f  %.2f" % (hash_name, test, len(results), len(certain),
                                                                    " ".join(map(str, bins)), d, ks_p(d, len(p)) if p else 1))


if __name__ == "__main__":
    main(sys.argv[1:])
