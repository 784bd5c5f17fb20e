#!/usr/bin/env python3
"""Whether timing the tables side by side biases the cost study: for some tables and hashes, each
hash in each table alone in its own process (table_alone, RUNS times, in turns, the fastest kept), against the cost
study's paired ratios of the same hashes in the same tables, from its JSON (made with the same
hashes and tables). Prints, per table, each hash's ratio to the table's fastest both ways and
whether the two rankings agree.

usage: alone_vs_paired.py TABLE_ALONE STUDY.json RUNS [--warm]   (--warm: passed on to table_alone)"""
import json
import subprocess
import sys


def main():
    alone_binary, study_file, runs = sys.argv[1], sys.argv[2], int(sys.argv[3])
    warm = ["--warm"] if "--warm" in sys.argv[4:] else []
    study = json.load(open(study_file))
    rows = [r for r in study["table_results"] if not r["too_slow"] and r["hash"] != "none"]
    combos = [(r["table"], r["hash"]) for r in rows]
    times = {c: [] for c in combos}
    for _ in range(runs):
        for table, hash_ in combos:
            out = subprocess.run([alone_binary] + warm + [hash_, table], capture_output=True, text=True,
                                 check=True).stdout
            insert, hit = map(float, out.split())
            times[(table, hash_)].append(insert + hit)
    agree = 0
    tables = sorted({t for t, _ in combos})
    for table in tables:
        # Each at its fastest process, as the study takes each part at its fastest pass.
        mine = {h: min(times[(t, h)]) for t, h in combos if t == table}
        paired = {}
        for r in rows:
            if r["table"] != table:
                continue
            # The advice's workload: a shuffled insert and a hit, each as a ratio to its best.
            paired[r["hash"]] = sum((1 if r[f + "_mark"] == "best" else r[f + "_vs_best"]) * best_ns(rows, table, f)
                                    for f in ("insert_shuffled", "hit"))
        fastest_alone, fastest_paired = min(mine.values()), min(paired.values())
        order_alone = sorted(mine, key=mine.get)
        order_paired = sorted(paired, key=paired.get)
        agree += order_alone == order_paired
        print("%s\n  %-14s %10s %10s" % (table, "hash", "alone", "paired"))
        for h in order_paired:
            print("  %-14s %+9.1f%% %+9.1f%%" % (h, 100 * (mine[h] / fastest_alone - 1), 100 * (paired[h] / fastest_paired - 1)))
        print("  ranking alone: %s\n  ranking paired: %s" % (", ".join(order_alone), ", ".join(order_paired)))
    print("rankings that agree: %d of %d" % (agree, len(tables)))


def best_ns(rows, table, figure):
    return next(r[figure + "_ns"] for r in rows if r["table"] == table and r[figure + "_mark"] == "best")


if __name__ == "__main__":
    main()
