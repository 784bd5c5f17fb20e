#!/usr/bin/python3
"""Turns hashbench reports into CSV, JSON and a chart, and hashlab's cost study into a chart.

usage: hashreport.py [--csv FILE] [--json FILE] [--chart FILE.png|FILE.svg]... [REPORT...]
       hashreport.py --lab HASHLAB.json --chart FILE.png|FILE.svg...
       hashreport.py --lab HASHLAB.json --compare OTHER.json
       hashreport.py --lab CHECK.json --chart FILE.png|FILE.svg...   (from hashlab check --json)
       hashreport.py --lab SPEED.json --chart FILE.png|FILE.svg...   (from hashlab speed --json)
       hashreport.py --lab COLLIDE.json --chart FILE.png|FILE.svg... (from hashlab collide --json)

Reads one or more reports ("-" or none: standard input). Several reports are runs of the same
benchmark: each case gets the median, minimum and maximum of its seconds. A report cut short (a
run that ran out of memory) is accepted; the cases it lacks are named on standard error. Anything
else unexpected is an error naming the file and line, and then nothing is written.
"""
import argparse
import csv
import fcntl
import io
import json
import math
import os
import re
import signal
import stat
import statistics
import sys
import tempfile
from fractions import Fraction
from math import comb

KEYS = 5_000_000
VERSION = "@PROJECT_VERSION@"  # written in when CMake installs the tool
# The cost study's time figures, as hashlab names them, and how a chart labels them.
COST_FIGURES = {"insert_ns": "insert", "insert_shuffled_ns": "insert, shuffled", "hit_ns": "lookup, found",
                "miss_ns": "lookup, absent"}

# number, title, hash, container kind, width in bits of the container's key when keyed by the hash
CASES = [
    (1, "std hash func... ", "fnv1a_hash (hasher object)", "hashed, keyed by string", None),
    (2, "std map... ", "none", "ordered, keyed by string", None),
    (3, "fletcher32s hash func... ", "fletcher32s", "hashed, keyed by hash value", 32),
    (4, "X31_hash_string hash func... ", "X31_hash_string", "hashed, keyed by hash value", 32),
    (5, "HashRamakrishna hash func... ", "HashRamakrishna", "hashed, keyed by hash value", 32),
    (6, "X31_hash_string hash func with map... ", "X31_hash_string", "ordered, keyed by hash value", 32),
    (7, "XXH64 hash func... ", "XXH64", "hashed, keyed by hash value", 64),
    (8, "XXH32 hash func... ", "XXH32", "hashed, keyed by hash value", 32),
    (9, "Jenkins' One-at-a-Time hash func... ", "one_at_a_time_hash", "hashed, keyed by hash value", 32),
    (10, "hash func... ", "lookup2_hash (chained seed)", "hashed, keyed by hash value", 32),
    (11, "my hash func... ", "lookup2_hash chained (my_hash hasher object)", "hashed, keyed by string", None),
    (12, "X31_hash_string as func... ", "X31_hash_string (hasher object)", "hashed, keyed by string", None),
]
PRINTS_SIZE = {title: number >= 3 for number, title, *_ in CASES}
NUMBER = {title: number for number, title, *_ in CASES}
TIME = re.compile(r"(\d+\.\d{4})s")
SIZE = re.compile(r"sz=(\d+)")


class ReportError(Exception):
    pass


def ideal_collisions(bits, keys=KEYS):
    """Expected keys minus distinct values for `keys` uniform random values of `bits` bits."""
    m = 2 ** bits
    total = Fraction(0)
    for k in range(2, 12):  # inclusion-exclusion; later terms are far below 1e-12 here
        total += (-1) ** k * Fraction(comb(keys, k), m ** (k - 1))
    return float(total)


def parse_report(name, text):
    """Returns {title: {"seconds": float, "entries": int or None}} in report order."""
    if not text:
        raise ReportError("%s: line 1: empty report" % name)
    lines = text.split("\n")
    cut_short = lines[-1] != ""  # a run that died mid-case leaves its title without a newline
    if not cut_short:
        lines.pop()
    cases = {}
    waiting_for_size = None
    for n, line in enumerate(lines, 1):
        line = line.rstrip("\r")
        where = "%s: line %d: " % (name, n)
        if cut_short and n == len(lines):
            if line in NUMBER:
                break  # the case that was running when the report stopped
            raise ReportError(where + "report ends in the middle of a line: %r" % line)
        if line.startswith("sz="):
            match = SIZE.fullmatch(line)
            if not match:
                raise ReportError(where + "malformed \"sz=\" line %r" % line)
            if waiting_for_size is None:
                raise ReportError(where + "\"sz=\" line without a case before it")
            cases[waiting_for_size]["entries"] = int(match.group(1))
            waiting_for_size = None
            continue
        if waiting_for_size is not None:
            raise ReportError(where + "expected the \"sz=\" line of %r, found %r" % (waiting_for_size, line))
        title, _, rest = line.rpartition(" ")
        title += " "
        if title not in NUMBER:
            raise ReportError(where + "unknown case title in %r" % line)
        match = TIME.fullmatch(rest)
        if not match:
            raise ReportError(where + "malformed time %r after %r" % (rest, title))
        if title in cases:
            raise ReportError(where + "case %r appears twice" % title)
        cases[title] = {"seconds": float(match.group(1)), "entries": None}
        if PRINTS_SIZE[title]:
            waiting_for_size = title
    if waiting_for_size is not None:
        raise ReportError("%s: line %d: report ends before the \"sz=\" line of %r" % (name, len(lines), waiting_for_size))
    return cases


def summarise(reports):
    """One row per case present in any report, with the statistics over the runs that have it."""
    rows = []
    for number, title, hash_name, kind, bits in CASES:
        runs = [(name, cases[title]) for name, cases in reports if title in cases]
        if not runs:
            continue
        seconds = [case["seconds"] for _, case in runs]
        entries = {case["entries"] for _, case in runs}
        if len(entries) > 1:
            raise ReportError("%s: case %r has different entry counts across runs: %s"
                              % (runs[0][0], title, sorted(e for e in entries if e is not None)))
        entry_count = entries.pop()
        row = {
            "case": number, "title": title.strip(), "hash": hash_name, "container": kind,
            "runs": len(runs), "seconds_median": statistics.median(seconds),
            "seconds_min": min(seconds), "seconds_max": max(seconds),
            "entries": entry_count, "collisions": None, "ideal_collisions": None, "collision_ratio": None,
        }
        if entry_count is not None:
            row["collisions"] = KEYS - entry_count
        if bits is not None and entry_count is not None:
            row["ideal_collisions"] = float("%.6g" % ideal_collisions(bits))
            row["collision_ratio"] = round(row["collisions"] / row["ideal_collisions"], 3)
        rows.append(row)
    return rows


def missing_cases(reports):
    return [(name, [t.strip() for _, t, *_ in CASES if t not in cases]) for name, cases in reports
            if len(cases) < len(CASES)]


def to_csv(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=list(rows[0].keys()), lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return out.getvalue()


def to_json(rows, missing):
    return json.dumps({"keys": KEYS, "cases": rows,
                       "missing": [{"report": name, "cases": cases} for name, cases in missing]}, indent=2) + "\n"


PALETTE = ["#4c72b0", "#55a868", "#dd8452", "#c44e52", "#8172b3", "#937860", "#da8bc3", "#8c8c8c"]


def pyplot():
    try:
        import matplotlib
    except ImportError:
        raise ReportError("charts need matplotlib, which %s lacks: Debian's python3-matplotlib "
                          "(scripts/setup.sh chart), run by /usr/bin/python3" % sys.executable)
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    return plt


def save(fig, path):
    fig.tight_layout()
    fig.savefig(path)
    pyplot().close(fig)


def render_chart(rows, path):
    plt = pyplot()
    kinds = ["hashed, keyed by hash value", "ordered, keyed by hash value",
             "hashed, keyed by string", "ordered, keyed by string"]
    colours = dict(zip(kinds, PALETTE))
    ordered = sorted(rows, key=lambda r: (kinds.index(r["container"]), r["case"]))
    several = any(r["runs"] > 1 for r in rows)
    fig, ax = plt.subplots(figsize=(10, 0.45 * len(ordered) + 1.8))
    y = list(range(len(ordered)))[::-1]
    medians = [r["seconds_median"] for r in ordered]
    errors = [[m - r["seconds_min"] for m, r in zip(medians, ordered)],
              [r["seconds_max"] - m for m, r in zip(medians, ordered)]]
    ax.barh(y, medians, color=[colours[r["container"]] for r in ordered],
            xerr=errors if several else None, capsize=3, error_kw={"ecolor": "#333333"})
    ax.set_yticks(y, ["%d. %s" % (r["case"], r["title"]) for r in ordered])
    for yy, r in zip(y, ordered):
        note = "%.3f s" % r["seconds_median"]
        if r["collisions"]:
            note += "   %s collisions (ideal hash: %s)" % (format(r["collisions"], ","),
                                                           format(round(r["ideal_collisions"]), ","))
        ax.text(r["seconds_max"], yy, "  " + note, va="center", fontsize=8)
    runs = max(r["runs"] for r in rows)
    ax.set_title("hashbench: filling a container with 5,000,000 keys, per hash function"
                 + ("\nmedian of %d runs, bars show min to max" % runs if several else ""))
    ax.set_xlabel("seconds (lower is better)")
    ax.set_ylabel("case")
    ax.set_xlim(0, max(r["seconds_max"] for r in rows) * 1.6)
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[k]) for k in kinds if any(r["container"] == k for r in rows)]
    ax.legend(handles, [k for k in kinds if any(r["container"] == k for r in rows)], title="container",
              loc="lower right", fontsize=8)
    ax.grid(axis="x", alpha=0.3)
    save(fig, path)


def render_lab_chart(lab, path):
    """Per key set: cost against quality, one point per hash and table; and the tables side by side."""
    plt = pyplot()
    costs = lab.get("table_results") or []
    if not costs:
        raise ReportError("%s: no table_results: run hashlab tables" % lab.get("_name", "input"))
    quality = {(r["hash"], r["keys"]): r for r in lab["results"]}
    key_sets = list(dict.fromkeys(c["keys"] for c in costs))
    tables = list(dict.fromkeys(c["table"] for c in costs))
    colours = dict(zip(tables, PALETTE))
    fig, axes = plt.subplots(len(key_sets), 2, figsize=(15, 6.5 * len(key_sets)), squeeze=False)
    for (scatter, bars), keys in zip(axes, key_sets):
        rows = [c for c in costs if c["keys"] == keys]
        for c in rows:
            q = quality.get((c["hash"], keys))
            if q is None:  # std::map: no hash
                continue
            excess = 100 * (q["pow2_empty"] - q["pow2_ideal_empty"])
            slow = c["too_slow"]
            ns = c["cut_ns"] if slow else estimate(c, "insert_ns")
            scatter.scatter(excess, ns, color=colours[c["table"]], marker="x" if slow else "o", s=28)
            scatter.annotate(c["hash"] + (" (too slow)" if slow else ""), (excess, ns), fontsize=6,
                             xytext=(3, 2), textcoords="offset points")
        scatter.set_xscale("symlog", linthresh=0.1)
        scatter.set_yscale("log")
        scatter.set_xlabel("power-of-two table: empty buckets above an ideal hash's, percentage points")
        scatter.set_ylabel("ns per insert (x: too slow to run, measured on part of the keys)")
        scatter.set_title("%s: cost against spread, one point per hash and table" % keys)
        scatter.grid(alpha=0.3)
        handles = [plt.Line2D([], [], marker="o", linestyle="", color=colours[t]) for t in tables]
        scatter.legend(handles, tables, title="table", fontsize=7, loc="best")

        figures = list(COST_FIGURES.items())
        width = 0.8 / len(figures)
        for k, (field, label) in enumerate(figures):
            per_table = [[estimate(c, field) for c in rows if c["table"] == t and not c["too_slow"]] for t in tables]
            medians = [statistics.median(v) if v else 0 for v in per_table]
            low = [m - min(v) if v else 0 for m, v in zip(medians, per_table)]
            high = [max(v) - m if v else 0 for m, v in zip(medians, per_table)]
            x = [i + (k - (len(figures) - 1) / 2) * width for i in range(len(tables))]
            bars.bar(x, medians, width, yerr=[low, high], capsize=2, label=label, color=PALETTE[k],
                     error_kw={"ecolor": "#333333", "elinewidth": 0.8})
        bars.set_xticks(range(len(tables)), [t.replace("::", "::\n").replace(":avalanching", "\n(avalanching)")
                                             for t in tables], fontsize=7)
        bars.set_yscale("log")
        bars.set_ylabel("ns per operation: median over the hashes (whiskers: best to worst hash)")
        bars.set_title("%s: the tables, %d keys" % (keys, rows[0]["key_count"]))
        bars.legend(title="operation", fontsize=7)
        bars.grid(axis="y", alpha=0.3)
    save(fig, path)


def short_number(x):
    for limit, suffix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if x >= limit:
            return "%.0f%s" % (x / limit, suffix)
    return "%.0f" % x if x >= 10 else "%.1f" % x


def render_check_chart(check, path):
    """hashlab check: hashes by families, each cell the worst -log2 p of the family's results
    (corrected), coloured by what it means for the hash's verdict."""
    plt = pyplot()
    verdicts = {v["hash"]: v for v in check["verdicts"]}
    hashes = list(verdicts)
    families = list(dict.fromkeys(t["family"] for t in check["tests"]))
    worst = {}
    for t in check["tests"]:
        key = (t["hash"], t["family"])
        worst[key] = max(worst.get(key, 0.0), -t["log2_p_corrected"])
    colours = {"PASS": "#cfe8cf", "WARN": "#f6d37a", "FAIL": "#e06c5c", None: "#eeeeee"}
    fig, ax = plt.subplots(figsize=(1.0 * len(families) + 4, 0.42 * len(hashes) + 2.2))
    for i, h in enumerate(hashes):
        v = verdicts[h]
        for j, f in enumerate(families):
            score = worst.get((h, f))
            state = None if score is None else ("FAIL" if -score < v["fail_below_log2_p"] else
                                                "WARN" if -score < v["warn_below_log2_p"] else "PASS")
            ax.add_patch(plt.Rectangle((j, i), 1, 1, facecolor=colours[state], edgecolor="white"))
            ax.text(j + 0.5, i + 0.5, "-" if score is None else short_number(score), ha="center", va="center",
                    fontsize=7)
    ax.set_xlim(0, len(families))
    ax.set_ylim(len(hashes), 0)
    ax.set_xticks([j + 0.5 for j in range(len(families))], families, rotation=45, ha="right", fontsize=8)
    ax.set_yticks([i + 0.5 for i in range(len(hashes))],
                  ["%s  %s %d/%d" % (h, verdicts[h]["verdict"], verdicts[h]["passed"], verdicts[h]["total"])
                   for h in hashes], fontsize=8)
    for label, h in zip(ax.get_yticklabels(), hashes):
        label.set_color({"PASS": "#1b6e1b", "WARN": "#9a6a00", "FAIL": "#b0281a"}[verdicts[h]["verdict"]])
    ax.set_title("hashlab check: worst -log2 p per family, corrected for the results looked at\n"
                 "green: what an ideal hash gives; amber: warn (p < 0.01/T); red: fail (p < 0.001/T)")
    handles = [plt.Rectangle((0, 0), 1, 1, color=colours[k]) for k in ("PASS", "WARN", "FAIL")]
    ax.legend(handles, ["pass", "warn", "fail"], loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=8)
    save(fig, path)


def render_speed_chart(speed, path):
    """hashlab speed: ns per hash against key length (log-log) in throughput and in latency, and
    GB/s over the long keys, one line per hash."""
    plt = pyplot()
    hashes = list(dict.fromkeys(p["hash"] for p in speed["points"]))
    fixed = [p for p in speed["points"] if p["shortest"] == p["longest"]]
    fig, axes = plt.subplots(1, 3, figsize=(19, 7.5))
    colours = plt.get_cmap("tab20")

    def panel(ax, mode, figure, shortest, ylabel, title):
        drawn = False
        for i, h in enumerate(hashes):
            points = sorted((p["shortest"], p[figure]) for p in fixed
                            if p["hash"] == h and p["mode"] == mode and p["shortest"] >= shortest and p[figure] > 0)
            drawn = drawn or bool(points)
            ax.plot([x for x, _ in points], [y for _, y in points], ["-", "--", ":"][i // 20 % 3],
                    color=colours(i % 20), linewidth=1, label=h)
        if not drawn:  # a run without such keys: an empty panel that says so, not a log axis of nothing
            ax.text(0.5, 0.5, "no fixed lengths of %d bytes or more in this run" % shortest, ha="center",
                    transform=ax.transAxes)
        else:
            ax.set_xscale("log", base=2)
            ax.set_yscale("log")
        ax.set_xlabel("key length, bytes")
        ax.set_ylabel(ylabel)
        ax.set_title(title)
        ax.grid(True, which="both", linewidth=0.3)

    for ax, mode in zip(axes[:2], ("throughput", "latency")):
        panel(ax, mode, "ns", 0, "ns per hash (fastest round)", mode)
    panel(axes[2], "throughput", "bytes_per_ns", 256, "GB/s (throughput)", "long keys")
    axes[2].legend(loc="upper left", bbox_to_anchor=(1.0, 1.0), fontsize=7)
    fig.suptitle("hashlab speed on %s; XXH3 long keys: %s" % (speed.get("machine", {}).get("cpu", "?"),
                                                            speed.get("xxh3_vector_path", "?")))
    fig.tight_layout()
    save(fig, path)


def render_collide_chart(collide, path):
    """hashlab collide: per hash, the colliding pairs in its top b bits against the ideal hash's
    expectation, b from where a handful are expected up to the full width."""
    plt = pyplot()
    fig, ax = plt.subplots(figsize=(11, 7))
    colours = plt.get_cmap("tab10")
    for i, r in enumerate(collide["results"]):
        top = sorted((t["bits"], t["collisions"], t["expected"]) for t in r.get("top_bits", []))
        top.append((r["width"], r["collisions"], r["expected"]))
        ax.plot([b for b, _, _ in top], [e for _, _, e in top], "x--", color=colours(i % 10), linewidth=1)
        ax.plot([b for b, _, _ in top], [c for _, c, _ in top], "o-", color=colours(i % 10), linewidth=1,
                label="%s: %s keys, %d collisions at %d bits (%.3g expected)" % (
                    r["hash"], short_number(r["count"]), r["collisions"], r["width"], r["expected"]))
    ax.set_yscale("symlog", linthresh=1)
    ax.set_xlabel("top bits of the value")
    ax.set_ylabel("colliding pairs (dashed: the ideal hash's expectation)")
    ax.set_title("hashlab collide on %s" % collide.get("machine", {}).get("cpu", "?"))
    ax.grid(True, which="both", linewidth=0.3)
    ax.legend(fontsize=8)
    fig.tight_layout()
    save(fig, path)


def estimate(c, figure):
    """A table figure's estimate: the lab's own (each part of the loop at its fastest round) where
    the file has one, else, in files of earlier versions, the median of its rounds."""
    return c[figure] if figure in c else c[figure + "_median"]


def paired_ratio(lab_rows, table, keys, figure, hash_, best):
    """The ratio of a hash's figure to another's of the same table in one run: from the lab's ratios
    to its table's best, each paired part by part with the best, where the file has them; else
    from the estimates."""
    a, b = lab_rows.get((table, keys, hash_)), lab_rows.get((table, keys, best))
    if a is None or b is None:
        return None
    name = figure[:-len("_ns")]
    if name + "_vs_best" in a and name + "_mark" in a:
        def to_best(c):
            return 1.0 if c[name + "_mark"] == "best" else c[name + "_vs_best"]
        if to_best(a) is None or to_best(b) is None:
            return None
        return to_best(a) / to_best(b)
    return estimate(a, figure) / estimate(b, figure)


def measured_rows(lab):
    return {(c["table"], c["keys"], c["hash"]): c for c in lab["table_results"] if not c["too_slow"]}


def compare_lab_runs(first, second):
    """How far apart two whole runs' estimates lie, per figure, over every table and hash measured in
    both: as measured; relative to the median hash of the same table and key set in its own run,
    which takes out a machine that was slower as a whole during one of the runs; and as each run's
    ratio to the first run's best hash of the table, which is what the marks and advice rest on."""
    def figures(lab, figure, relative):
        rows = [c for c in lab["table_results"] if not c["too_slow"]]
        values = {}
        for c in rows:
            peers = [estimate(p, figure) for p in rows if p["table"] == c["table"] and p["keys"] == c["keys"]]
            values[(c["table"], c["hash"], c["keys"])] = estimate(c, figure) / (statistics.median(peers) if relative else 1)
        return values

    def ratios(lab, figure):
        rows, values = measured_rows(lab), {}
        for (table, keys, fig), (best, _, _) in tied_sets(first).items():
            if fig != figure:
                continue
            for (t, k, h) in rows:
                if (t, k) == (table, keys) and h != best:
                    r = paired_ratio(rows, t, k, figure, h, best)
                    if r is not None:
                        values[(t, h, k)] = r
        return values

    lines = ["figure              as        pairs   median |diff|   90th pct   largest (where)"]
    for figure in COST_FIGURES:
        for mode in ("measured", "relative", "to best"):
            if mode == "to best":
                a, b = ratios(first, figure), ratios(second, figure)
            else:
                a, b = figures(first, figure, mode == "relative"), figures(second, figure, mode == "relative")
            diffs = sorted((abs(b[k] - a[k]) / a[k], k) for k in a if k in b)
            if mode == "relative":  # a table with one combination says nothing relative to itself
                diffs = [d for d in diffs if sum(1 for k in a if k[0] == d[1][0] and k[2] == d[1][2]) > 1]
            if not diffs:
                continue
            values = [d for d, _ in diffs]
            p90 = values[min(len(values) - 1, int(0.9 * len(values)))]
            lines.append("%-19s %-9s %5d   %12.1f %%   %6.1f %%   %.1f %% (%s, %s)" % (
                figure, mode, len(values), 100 * statistics.median(values),
                100 * p90, 100 * values[-1], diffs[-1][1][0], diffs[-1][1][1]))
    if len(lines) == 1:
        raise ReportError("%s and %s: no table, key set and hash was measured in both"
                          % (first.get("_name", "first"), second.get("_name", "second")))
    lines += agreement_of_marks(first, second)
    return "\n".join(lines) + "\n"


def tied_sets(lab):
    """Per (table, keys, figure): the best hash and the hashes tied with it (the best included), with
    every hash's estimate. The marks are the lab's own where the file has them; files of earlier
    versions get the rule those used: the best median, and ranges that overlap its range."""
    cells = {}
    rows = [c for c in lab["table_results"] if not c["too_slow"] and c["hash"] != "none"]
    for figure in COST_FIGURES:
        for key in {(c["table"], c["keys"]) for c in rows}:
            peers = [c for c in rows if (c["table"], c["keys"]) == key]
            if len(peers) < 2:
                continue
            mark = figure[:-len("_ns")] + "_mark"
            if mark in peers[0]:
                best = next((c for c in peers if c[mark] == "best"), None)
                if best is None:  # no hash stood out: nothing to compare the cell by
                    continue
                tied = {c["hash"] for c in peers if c[mark] in ("best", "tied")}
            else:
                best = min(peers, key=lambda c: c[figure + "_median"])
                tied = {c["hash"] for c in peers
                        if c[figure + "_min"] <= best[figure + "_max"] and best[figure + "_min"] <= c[figure + "_max"]}
            cells[key + (figure,)] = (best["hash"], tied, {c["hash"]: estimate(c, figure) for c in peers})
    return cells


def agreement_of_marks(first, second):
    """Whether two runs' marks agree: each run's best hash within the other's tied set, how many
    hashes a tied set holds, and tied pairs whose estimates differ by more than 5 %."""
    a, b = tied_sets(first), tied_sets(second)
    common = [k for k in a if k in b]
    if not common:
        return []
    agree = sum(1 for k in common if a[k][0] in b[k][1] and b[k][0] in a[k][1])
    same_best = sum(1 for k in common if a[k][0] == b[k][0])
    sizes = [len(run[k][1]) for run in (a, b) for k in common]
    wide = sum(1 for run in (a, b) for k in common for h in run[k][1]
               if run[k][2][h] > 1.05 * run[k][2][run[k][0]])
    marked = sum(len(run[k][1]) - 1 for run in (a, b) for k in common)
    held = [intervals_holding(first, second), intervals_holding(second, first)]
    return ["",
            "cells (table x figure)          %d" % len(common),
            "each best in the other's tied   %d of %d" % (agree, len(common)),
            "the same best hash              %d of %d" % (same_best, len(common)),
            "hashes tied with the best       %.1f on average (the best included)" % statistics.mean(sizes),
            "tied, yet over 5 %% slower       %d of %d marked" % (wide, marked)] + (
            ["intervals holding other's ratio %d of %d   other way: %d of %d   (were each exact: about 83 %%)"
             % (held[0] + held[1])] if held[0][1] and held[1][1] else [])


def intervals_holding(run, other):
    """Of one run's intervals of a hash's ratio to its table's best, how many hold the ratio of the
    same two hashes in the other run: (held, intervals). Two runs of an exact 95 % interval agree so
    in about 83 % (the difference of two estimates spreads sqrt(2) times as wide as one)."""
    mine, theirs = measured_rows(run), measured_rows(other)
    held = total = 0
    for (table, keys, figure), (best, _, _) in tied_sets(run).items():
        low, high = figure[:-len("_ns")] + "_vs_best_low", figure[:-len("_ns")] + "_vs_best_high"
        for (t, k, h), c in mine.items():
            if (t, k) != (table, keys) or h == best or c.get(low) is None:
                continue
            ratio = paired_ratio(theirs, t, k, figure, h, best)
            if ratio is None:
                continue
            total += 1
            held += c[low] <= ratio <= (c[high] if c.get(high) is not None else float("inf"))
    return held, total


def read_inputs(names):
    reports = []
    for name in names or ["-"]:
        try:
            if name == "-":
                text, name = sys.stdin.read(), "<stdin>"
            else:
                with open(name, newline="") as f:
                    text = f.read()
        except (OSError, UnicodeDecodeError) as e:
            raise ReportError("%s: line 1: cannot read: %s" % (name, e))
        reports.append((name, parse_report(name, text)))
    return reports


def write_text(path, text):
    with open(path, "w") as f:
        f.write(text)


class WriteError(Exception):
    pass


def own_descriptor(path):
    """The descriptor of this process a path names (/dev/stdout, /dev/fd/N, /proc/self/fd/N and the
    like), symbolic links followed, or None. Such an output is the stream where it stands: written
    through the descriptor after what is already there, never opened afresh over it."""
    streams = {"/dev/stdin": 0, "/dev/stdout": 1, "/dev/stderr": 2}
    prefixes = ("/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/", "/proc/%d/fd/" % os.getpid())
    path = os.path.abspath(path)
    for _ in range(40):
        if path in streams:
            return streams[path]
        for prefix in prefixes:
            number = path[len(prefix):]
            if path.startswith(prefix) and number.isdigit() and len(number) < 10:
                return int(number)
        if not os.path.islink(path):
            return None
        path = os.path.join(os.path.dirname(path), os.readlink(path))
    return None


def check_destinations(paths, inputs=()):
    """Checks every output before any work: the path and the cause of the first that cannot be
    written, as a ReportError. Returns, per path, how it is written: through this process's own
    descriptor (an int), directly (a device or a FIFO: True), or staged (a regular file, wherever it
    is: False), and the file a staged copy replaces (symbolic links followed, so the link stays)."""
    plans, seen = [], []
    for path in paths:
        if path == "":
            raise ReportError("an output has an empty file name")
        target = os.path.realpath(path)
        descriptor = own_descriptor(path)
        try:
            st = os.fstat(descriptor) if descriptor is not None else os.stat(path)
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise ReportError("%s: %s" % (path, e.strerror))
        if descriptor is not None:
            if fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_ACCMODE == os.O_RDONLY:
                raise ReportError("%s: descriptor %d is not open for writing" % (path, descriptor))
            direct = descriptor
        else:
            if st is not None and stat.S_ISDIR(st.st_mode):
                raise ReportError("%s: Is a directory" % path)
            direct = st is not None and not stat.S_ISREG(st.st_mode)
            if st is not None and not os.access(path, os.W_OK):
                raise ReportError("%s: Permission denied" % path)
        if direct is False:
            folder = os.path.dirname(target)
            if not os.path.isdir(folder):
                raise ReportError("%s: its folder %s: No such file or directory" % (path, folder))
            if not os.access(folder, os.W_OK | os.X_OK):
                raise ReportError("%s: its folder %s: Permission denied" % (path, folder))
        identity = (st.st_dev, st.st_ino) if st is not None else target
        for other, other_identity in seen:
            if identity == other_identity:
                raise ReportError("%s: the same file as the output %s" % (path, other))
        for name in inputs:
            try:
                if st is not None and name != "-" and os.path.samefile(name, path):
                    raise ReportError("%s: the same file as the input %s; the output would destroy it" % (path, name))
            except OSError:
                pass  # the input's own read names what is wrong with it
        seen.append((path, identity))
        plans.append((path, direct, target))
    return plans


def write_atomically(outputs, plans):
    """Writes every output, all or nothing: regular files to a temporary file beside them first,
    then the direct ones, then every temporary file renamed into place, keeping the mode of the file
    it replaces (a new one gets what the umask allows)."""
    staged = []
    umask = os.umask(0)
    os.umask(umask)
    try:
        for (path, produce), (_, direct, target) in zip(outputs, plans):
            if direct is not False:
                continue
            fd, tmp = tempfile.mkstemp(dir=os.path.dirname(target), suffix=os.path.splitext(path)[1])
            os.close(fd)
            staged.append((tmp, target))
            try:
                produce(tmp)
                mode = stat.S_IMODE(os.stat(target).st_mode) if os.path.exists(target) else 0o666 & ~umask
                os.chmod(tmp, mode)
            except OSError as e:
                raise WriteError("could not write %s: %s; no output was replaced" % (path, e.strerror or e))
        sys.stdout.flush()
        for (path, produce), (_, direct, _) in zip(outputs, plans):
            if direct is False:
                continue
            with tempfile.TemporaryDirectory() as d:  # rendered beside, then copied in
                tmp = os.path.join(d, "out" + os.path.splitext(path)[1])
                produce(tmp)
                try:
                    with open(tmp, "rb") as source:
                        data = source.read()
                    # A device or a FIFO in place, neither truncated nor appended; a descriptor as it stands.
                    sink = os.open(path, os.O_WRONLY | os.O_CREAT) if direct is True else direct
                    try:
                        while data:
                            data = data[os.write(sink, data):]
                    finally:
                        if direct is True:
                            os.close(sink)
                except OSError as e:
                    raise WriteError("could not write %s: %s; no output was replaced" % (path, e.strerror or e))
        for tmp, target in staged:
            os.replace(tmp, target)
    finally:
        for tmp, _ in staged:
            if os.path.exists(tmp):
                os.remove(tmp)


def unfit_number(node, path="", field=""):
    """Where a hashlab file holds a number it never writes: NaN or an infinity (JSON has neither; a
    number too large for a double reads as one), or a negative time (a field named ns, *_ns or
    *_ns_*, or a list of them). None when there is none."""
    if isinstance(node, dict):
        items = ((path + ("." if path else "") + k, k, v) for k, v in node.items())
    elif isinstance(node, list):
        items = (("%s[%d]" % (path, i), field, v) for i, v in enumerate(node))
    else:
        return None
    for where, key, value in items:
        if isinstance(value, float) and not math.isfinite(value):
            return "%s is %s" % (where, value)
        if isinstance(value, (int, float)) and not isinstance(value, bool) and value < 0 and \
                re.search(r"(^|_)ns($|_)", key):
            return "%s is a negative time, %s" % (where, value)
        found = unfit_number(value, where, key)
        if found is not None:
            return found
    return None


def complain(error):
    """One line on standard error whatever a file name in it holds: control characters escaped."""
    text = re.sub(r"[\x00-\x1f\x7f]", lambda m: {"\n": "\\n", "\t": "\\t", "\r": "\\r"}.get(
        m.group(), "\\x%02X" % ord(m.group())), str(error))
    print("hashreport: %s" % text, file=sys.stderr)


def lab_command(lab):
    """The hashlab command that wrote a file: its "command" field, or in files written before it
    had one (format 1), what the file holds."""
    if "command" in lab:
        return lab["command"]
    if "verdicts" in lab:
        return "check"
    if "points" in lab:
        return "speed"
    return "tables" if "table_results" in lab else "measure"


# Each hashlab command's documents and their chart: a command none draws says so.
LAB_CHARTS = {"measure": render_lab_chart, "tables": render_lab_chart, "check": render_check_chart,
              "speed": render_speed_chart, "collide": render_collide_chart, "choose": None}


def load_lab(name):
    """A hashlab JSON, or a ReportError naming the file and what is wrong with it."""
    try:
        with open(name) as f:
            lab = json.load(f)
    except OSError as e:
        raise ReportError("%s: cannot read: %s" % (name, e.strerror))
    except ValueError as e:
        raise ReportError("%s: not JSON: %s" % (name, e))
    except RecursionError:
        raise ReportError("%s: not a hashlab result: nested deeper than any hashlab file" % name)
    try:
        where = unfit_number(lab)
    except RecursionError:
        where = "nested deeper than any hashlab file"
    if where is not None:
        raise ReportError("%s: not a hashlab result: %s" % (name, where))
    try:
        if not isinstance(lab, dict) or not isinstance(lab.get("results", []), list):
            raise TypeError("not an object with a list of results")
        if not all(isinstance(r, dict) and isinstance(r.get("hash"), str) for r in lab.get("results", [])):
            raise TypeError("a result that is not an object with its hash")
        if not isinstance(lab.get("machine", {}), dict):
            raise TypeError("machine is not an object")
        if lab.get("command", "measure") not in LAB_CHARTS:
            raise TypeError("written by no hashlab command this tool knows: %r" % lab["command"])
        if lab.get("format_version", 1) not in (1, 2):
            raise TypeError("format_version %r, newer than this tool reads" % lab["format_version"])
        for v in lab.get("verdicts", []):
            if not isinstance(v["hash"], str) or v["verdict"] not in ("PASS", "WARN", "FAIL"):
                raise TypeError("a verdict that is not PASS, WARN or FAIL")
        for t in lab.get("tests", []):
            if not isinstance(t["family"], str) or not isinstance(t["log2_p_corrected"], (int, float)):
                raise TypeError("a test without its family or p-value")
        for p in lab.get("points", []):
            if not isinstance(p["hash"], str) or p["mode"] not in ("throughput", "latency"):
                raise TypeError("a speed point without its hash or mode")
            for field in ("shortest", "longest", "ns", "bytes_per_ns"):
                if not isinstance(p[field], (int, float)):
                    raise TypeError("%s is not a number" % field)
        for c in lab.get("table_results") or []:
            for field in ("table", "hash", "keys"):
                if not isinstance(c[field], str):
                    raise TypeError("%s is not text" % field)
            if not isinstance(c["too_slow"], bool):
                raise TypeError("too_slow is not true or false")
            for figure in COST_FIGURES:
                if not c["too_slow"] and not isinstance(c[figure + "_median"], (int, float)):
                    raise TypeError("%s_median is not a number" % figure)
    except (TypeError, KeyError, AttributeError) as e:
        raise ReportError("%s: not a hashlab result: %s" % (name, e))
    lab["_name"] = name
    return lab


def unreadable_as_report(labs, work):
    """Runs work(); a field missing from a hashlab file, or of the wrong kind, becomes a ReportError
    naming the file (of several, the first that lacks a missing field) and the field."""
    try:
        return work()
    except KeyError as e:
        field = e.args[0] if e.args else "?"
        lacking = next((lab["_name"] for lab in labs if lacks(lab, field)), labs[0]["_name"])
        raise ReportError("%s: not a hashlab result: no field %r where one is needed" % (lacking, field))
    except (TypeError, ValueError, IndexError, AttributeError, ZeroDivisionError, StopIteration):
        names = " or ".join(lab["_name"] for lab in labs)
        raise ReportError("%s: not a hashlab result: a field holds a value of the wrong kind" % names)


def lacks(lab, field):
    """Whether a hashlab file lacks a field: nowhere in it, or missing from some of a list's objects
    that others in the list have it in."""
    found, partial = [False], [False]

    def walk(node):
        if isinstance(node, dict):
            found[0] = found[0] or field in node
            for v in node.values():
                walk(v)
        elif isinstance(node, list):
            objects = [v for v in node if isinstance(v, dict)]
            if objects and any(field in v for v in objects) and not all(field in v for v in objects):
                partial[0] = True
            for v in node:
                walk(v)
    walk(lab)
    return partial[0] or not found[0]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--version", action="version",
                        version="hashreport " + (VERSION if "@" not in VERSION else "(source checkout)"))
    parser.add_argument("reports", nargs="*", help="report files; - or none for standard input")
    parser.add_argument("--csv", help="write the table as CSV to this file (- for standard output)")
    parser.add_argument("--json", help="write the table as JSON to this file (- for standard output)")
    parser.add_argument("--chart", action="append", default=[], help="render a chart (.png or .svg)")
    parser.add_argument("--lab", help="chart hashlab's JSON (from hashlab measure, tables, check, speed or collide) instead of reports")
    parser.add_argument("--compare", help="with --lab: how far this second run's medians lie from the first's")
    args = parser.parse_args(argv)
    # Ended by a signal, the run still leaves through write_atomically's clean-up of staged files.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    for chart in args.chart:
        if os.path.splitext(chart)[1].lower() not in (".png", ".svg"):
            parser.error("--chart takes a .png or .svg file: %s" % chart)
    if args.compare and not args.lab:
        parser.error("--compare takes --lab: hashreport.py --lab FIRST.json --compare SECOND.json")
    if args.lab:
        if args.reports or args.csv or args.json or not (args.chart or args.compare):
            parser.error("--lab takes --chart files or --compare")
        try:
            plans = check_destinations(args.chart, [args.lab] + ([args.compare] if args.compare else []))
            lab = load_lab(args.lab)
            other = load_lab(args.compare) if args.compare else None
            # Every input is checked, and the comparison made, before any chart is written.
            comparison = None
            if other is not None:
                for name, run in ((args.lab, lab), (args.compare, other)):
                    if lab_command(run) != "tables" or not run.get("table_results"):
                        raise ReportError("%s: not a cost study (hashlab tables): --compare compares two" % name)
                comparison = unreadable_as_report([lab, other], lambda: compare_lab_runs(lab, other))
            render = LAB_CHARTS[lab_command(lab)]
            if render is None and args.chart:
                raise ReportError("%s: hashlab %s gives its answer in words: no chart draws it" % (args.lab, lab_command(lab)))
            write_atomically([(chart, lambda tmp: unreadable_as_report([lab], lambda: render(lab, tmp)))
                              for chart in args.chart], plans)
            if comparison is not None:
                write_stdout(comparison)
        except ReportError as e:
            complain(e)
            return 1
        except WriteError as e:
            complain(e)
            return 4
        return 0
    if not (args.csv or args.json or args.chart):
        args.csv = "-"
    try:
        files = [path for path in (args.csv, args.json) if path is not None and path != "-"] + args.chart
        plans = check_destinations(files, args.reports)
        reports = read_inputs(args.reports)
        rows = summarise(reports)
        if not rows:
            raise ReportError("%s: line 1: no case in the report" % reports[0][0])
    except ReportError as e:
        complain(e)
        return 1
    missing = missing_cases(reports)
    texts = {"csv": to_csv(rows), "json": to_json(rows, missing)}
    outputs = []
    for kind in ("csv", "json"):
        path = getattr(args, kind)
        if path is not None and path != "-":
            outputs.append((path, lambda tmp, text=texts[kind]: write_text(tmp, text)))
    outputs += [(chart, lambda tmp: render_chart(rows, tmp)) for chart in args.chart]
    try:
        write_atomically(outputs, plans)
        for kind in ("csv", "json"):
            if getattr(args, kind) == "-":
                write_stdout(texts[kind])
    except WriteError as e:
        complain(e)
        return 4
    for name, cases in missing:
        print("hashreport: %s was cut short; missing cases: %s" % (name, ", ".join(cases)), file=sys.stderr)
    return 0


def write_stdout(text):
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError as e:
        # Python would report the failure again when it closes standard output at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        raise WriteError("could not write to standard output: %s" % (e.strerror or e))


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # Ctrl-C: staged files are already gone; no traceback
        sys.exit(128 + signal.SIGINT)
