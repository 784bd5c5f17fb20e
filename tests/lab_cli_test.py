#!/usr/bin/env python3
"""Checks hashlab on the real binary.

  lab_cli_test.py cross-check BINARY   the fixed run's counts on the five million decimal keys
  lab_cli_test.py outputs BINARY       words and a key file, JSON and CSV, the README's plugin
  lab_cli_test.py bad-input BINARY     every bad input: one line, status 2, nothing written
  lab_cli_test.py failures BINARY      out of memory (status 3) and a full disk (status 4)
  lab_cli_test.py tables BINARY        the quick cost study: every table with every hash that fits
  lab_cli_test.py commands BINARY      the commands, the common options around them, --list and --help
  lab_cli_test.py check BINARY         hashlab check --quick: verdicts, exit status, JSON, a plugin, bad input
  lab_cli_test.py speed BINARY         hashlab speed: the lengths asked for, both modes, JSON and CSV, bad input
  lab_cli_test.py collide BINARY [MPIRUN]  hashlab collide: counts, Ctrl-C, bad input; under MPIRUN with 3 ranks
                                       the same counts as one process
"""
import csv
import json
import os
import pathlib
import re
import resource
import signal
import subprocess
import sys
import tempfile
import time

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
# The entries hashbench prints for its cases, as distinct values of the lab's hashes.
FIXED_RUN = {"fletcher32s": 9005, "x31": 5000000, "ramakrishna": 5000000, "one_at_a_time": 4995149,
             "xxh32-index": 4995877, "xxh64-index": 5000000, "lookup2-chained": 4997074}


def lab(binary, *args, **kwargs):
    return subprocess.run([binary, *args], capture_output=True, text=True, **kwargs)


def check(condition, message):
    if not condition:
        sys.exit("FAIL: " + message)


def cross_check(binary, work):
    args = [a for name in FIXED_RUN for a in ("--hash", name)]
    run = lab(binary, *args, "--json", work / "out.json")
    check(run.returncode == 0, "status %d: %s" % (run.returncode, run.stderr))
    got = {r["hash"]: r["distinct"] for r in json.loads((work / "out.json").read_text())["results"]}
    check(got == FIXED_RUN, "distinct values %s, expected %s" % (got, FIXED_RUN))


def build_plugin(work):
    """The README's example plugin, built as the README says."""
    (work / "myhash.c").write_text(re.search(r"```c\n(.*?)```", README.read_text(), re.S).group(1))
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", work / "myhash.so", work / "myhash.c"], check=True)
    return str(work / "myhash.so")


def outputs(binary, work):
    (work / "some.txt").write_bytes(b"alpha\r\nbeta\ngamma\nbeta\n\xc3\xa9t\xc3\xa9")
    build_plugin(work)
    run = lab(binary, "--keys", "words", "--keys", "file:" + str(work / "some.txt"), "--json", work / "out.json",
              "--csv", work / "out.csv", "--plugin", "%s:my_fnv64:64" % (work / "myhash.so"))
    check(run.returncode == 0 and "carriage return" not in run.stderr, "status %d: %s" % (run.returncode, run.stderr))
    check("Findings" in run.stdout and "my_fnv64" in run.stdout, "table or findings missing:\n" + run.stdout)
    doc = json.loads((work / "out.json").read_text())
    check({"settings", "machine", "compiler", "results"} <= doc.keys(), "top-level fields: %s" % list(doc))
    rows = list(csv.DictReader(open(work / "out.csv", newline="")))
    hashes = len(doc["settings"]["hashes"])
    check(hashes > 20 and len(rows) == len(doc["results"]) == 2 * hashes,
          "%d CSV rows, %d JSON results, %d hashes" % (len(rows), len(doc["results"]), hashes))
    for row, result in zip(rows, doc["results"]):
        check(row["hash"] == result["hash"] and int(row["collisions"]) == result["collisions"], "CSV differs from JSON")
    some = [r for r in doc["results"] if r["keys"].startswith("file:")]
    check(all(r["key_count"] == 4 for r in some), "the key file has 4 distinct keys")
    plugin = [r for r in doc["results"] if r["hash"] == "my_fnv64"]
    check(plugin and plugin[0]["width"] == 64 and plugin[0]["collisions"] == 0, "plugin results: %s" % plugin)
    check(sorted(os.listdir(work)) == ["myhash.c", "myhash.so", "out.csv", "out.json", "some.txt"],
          "stray files: %s" % os.listdir(work))
    # Lines that end in CR alone are one key, and the run says so.
    (work / "old-mac.txt").write_bytes(b"alpha\rbeta\rgamma\r")
    run = lab(binary, "--keys", "file:" + str(work / "old-mac.txt"), "--hash", "xxh3")
    check(run.returncode == 0 and "warning: 1 of the 1 keys of file:" in run.stderr and "carriage return" in run.stderr
          and len(run.stderr.splitlines()) == 1, "a CR-only file: %d %r" % (run.returncode, run.stderr))


def bad_input(binary, work):
    (work / "empty.txt").write_bytes(b"")
    (work / "ok.txt").write_bytes(b"a\n")
    plugin = build_plugin(work)
    cases = [  # (arguments, words the message must hold)
        (["--hash", "nope"], "unknown hash 'nope'; known: fnv1a"),
        (["--keys", "nope"], "unknown key set 'nope'; known: decimal"),
        (["--keys", "file:" + str(work / "missing.txt")], "cannot open"),
        (["--keys", "file:" + str(work / "empty.txt")], "is empty"),
        (["--keys", "file:" + str(work)], "cannot read"),  # a directory
        (["--seed", "abc"], "seed"),
        (["--sample", "0"], "sample"),
        (["--plugin", str(work / "missing.so") + ":f:64"], "cannot load"),
        (["--plugin", plugin + ":no_such_symbol:64"], "no symbol 'no_such_symbol'"),
        (["--plugin", plugin + ":my_fnv64:16"], "width must be 32 or 64"),
        (["--json", str(work / "no" / "dir.json")], "its folder"),
        (["--table", "nope"], "unknown table 'nope'; known: std::unordered_map"),
        (["--budget", "nan"], "not a finite number"),
        (["speed", "--tables", "--json", str(work / "out.json")], "not --keys, --table or --tables"),
        (["speed", "--length", "1-1073741824", "--json", str(work / "out.json")], "random lengths go up to 65536"),
        (["tables", "--keys", "decimal:100000", "--memory", "1e6"], "holds fewer than two tables"),
    ]
    for args, words in cases:
        # A valid key set after the bad argument: the error must come before any work.
        run = lab(binary, *args, "--keys", "file:" + str(work / "ok.txt"), "--json", work / "out.json",
                  "--csv", work / "out.csv") if "--json" not in args else lab(binary, *args)
        lines = run.stderr.splitlines()
        check(run.returncode == 2, "%s: status %d, expected 2" % (args, run.returncode))
        check(len(lines) == 1 and lines[0].startswith("hashlab: ") and words in lines[0],
              "%s: stderr %r should be one line with %r" % (args, run.stderr, words))
        check(run.stdout == "", "%s: wrote to standard output: %r" % (args, run.stdout))
        check(sorted(os.listdir(work)) == ["empty.txt", "myhash.c", "myhash.so", "ok.txt"],
              "%s: left %s" % (args, os.listdir(work)))


def failures(binary, work):
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (100 << 20, 100 << 20))
    run = lab(binary, "--hash", "xxh64", "--json", work / "out.json", preexec_fn=limit)
    check(run.returncode == 3, "status %d under a memory limit, expected 3: %s" % (run.returncode, run.stderr))
    check(re.fullmatch(r"hashlab: out of memory while \w+ .+\n", run.stderr), "message %r" % run.stderr)
    check(os.listdir(work) == [], "left %s" % os.listdir(work))
    with open("/dev/full", "w") as full:
        run = subprocess.run([binary, "--hash", "xxh64", "--keys", "decimal:1000"], stdout=full,
                             stderr=subprocess.PIPE, text=True)
    check(run.returncode == 4 and "could not write" in run.stderr, "status %d, %r" % (run.returncode, run.stderr))
    # A staged file that cannot be written whole (a file size limit, the disk full for this file):
    # status 4, the previous result kept, no temporary left.
    (work / "keep.json").write_text("old\n")

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    run = lab(binary, "--hash", "xxh64", "--keys", "decimal:1000", "--json", work / "keep.json", preexec_fn=small_files)
    check(run.returncode == 4 and "could not write" in run.stderr and "File too large" in run.stderr,
          "a failed staged write: status %d, %r" % (run.returncode, run.stderr))
    check((work / "keep.json").read_text() == "old\n" and os.listdir(work) == ["keep.json"],
          "a failed staged write replaced the result or left %s" % os.listdir(work))


def tables(binary, work):
    run = lab(binary, "tables", "--quick", "--json", work / "out.json", "--csv", work / "out.csv")
    check(run.returncode == 0, "status %d: %s" % (run.returncode, run.stderr))
    doc = json.loads((work / "out.json").read_text())
    hashes = doc["settings"]["hashes"]
    check(not {"x31/len", "xxh128-low", "blake2b", "xxh32-index"} & set(hashes) and "xxh3" in hashes,
          "the default hashes of the cost study: %s" % hashes)
    expected = {(t, "none" if t == "std::map" else h) for t in doc["settings"]["tables"] for h in hashes}
    got = {(r["table"], r["hash"]) for r in doc["table_results"]}
    check(len(doc["settings"]["tables"]) == 7 and got == expected, "table results: %s" % sorted(expected ^ got))
    measured = [r for r in doc["table_results"] if not r["too_slow"]]
    check(all(r["runs"] >= 3 for r in measured), "quick: at least three rounds")
    for t in doc["settings"]["tables"]:
        peers = [r for r in measured if r["table"] == t]
        if not peers:
            continue  # every hash cut as too slow in the first round: a busy machine can do that to std::map
        check(len({r["runs"] for r in peers}) == 1, "%s: its hashes took different rounds" % t)
        for f in ("insert", "insert_shuffled", "hit", "miss"):
            marks = [r[f + "_mark"] for r in peers]
            check(marks.count("best") == 1, "%s %s: %d best" % (t, f, marks.count("best")))
            check(all((r[f + "_mark"] == "tied") == (r[f + "_vs_best_low"] <= 1) for r in peers
                      if r[f + "_mark"] in ("tied", "")), "%s %s: tied, yet the interval of the ratio excludes 1, "
                                                          "or the reverse" % (t, f))
    advice = {a["table"]: a for a in doc["table_advice"]}
    check(set(advice) == set(doc["settings"]["tables"]) - {"std::map"}, "advice per hashed table: %s" % list(advice))
    for t, a in advice.items():
        check(a["text"].startswith(t + ": fastest " + a["fastest"]) and ("=> " + a["text"]) in run.stdout,
              "advice in the JSON and the console: %r" % a["text"])
    named = lab(binary, "tables", "--quick", "--keys", "decimal:20000", "--table", "absl::flat_hash_map",
                "--hash", "xxh32-index", "--hash", "xxh3")
    check(named.returncode == 0 and "left out, as they give one key different values: xxh32-index" in named.stdout,
          "no note on the left-out")
    rows = list(csv.reader(open(work / "out.csv", newline="")))
    check(len(rows) == len(doc["table_results"]) + 1 and "pow2_empty" in rows[0], "CSV: one row per table and hash")
    check(all(len(row) == len(rows[0]) for row in rows), "CSV rows of different lengths")

    # std::map first, then a hashed table: the header still has the quality columns.
    run = lab(binary, "--quick", "--keys", "decimal:20000", "--table", "std::map", "--table", "absl::flat_hash_map",
              "--hash", "xxh3", "--csv", work / "out.csv")
    rows = list(csv.reader(open(work / "out.csv", newline="")))
    check(run.returncode == 0 and len(rows) == 3 and len({len(row) for row in rows}) == 1 and "pow2_empty" in rows[0],
          "std::map first: %s" % [len(row) for row in rows])


def check_command(binary, work):
    """hashlab check --quick: the verdicts, the exit status, the JSON, a plugin alone, bad input."""
    run = lab(binary, "check", "--quick", "--hash", "xxh64", "--hash", "fnv1a", "--json", work / "check.json")
    check(run.returncode == 1, "a failing hash: status %d, %s" % (run.returncode, run.stderr))
    check(re.search(r"^xxh64 +PASS +(\d+)/\1 ", run.stdout, re.M) and re.search(r"^fnv1a +FAIL ", run.stdout, re.M),
          "verdict lines:\n" + run.stdout)
    check(re.search(r"^    two-bytes:1:6, differences: output bits \d+\.\.\d+ unevenly spread: chi-square \d+ on \d+ "
                    r"degrees of freedom, p < 2\^-\d+", run.stdout, re.M), "the failure in words:\n" + run.stdout)
    doc = json.loads((work / "check.json").read_text())
    verdicts = {v["hash"]: v for v in doc["verdicts"]}
    check(verdicts["xxh64"]["verdict"] == "PASS" and verdicts["fnv1a"]["verdict"] == "FAIL", "JSON verdicts")
    test = doc["tests"][0]
    check({"hash", "family", "set", "test", "of", "statistic", "expected", "log2_p", "looked_at", "log2_p_corrected"} <= test.keys(),
          "test fields: %s" % list(test))
    check(len(doc["tests"]) == verdicts["xxh64"]["total"] + verdicts["fnv1a"]["total"], "one test per result")
    # Five sparse sets and a seed sweep, each on its values and on its differences: 36 results.
    run = lab(binary, "check", "--quick", "--hash", "xxh3", "--family", "sparse", "--family", "seed-sweep")
    check(run.returncode == 0 and re.search(r"^xxh3 +PASS +36/36 ", run.stdout, re.M), "xxh3 alone:\n" + run.stdout)
    # The whole quick battery: the reference hashes pass, every weak one fails.
    strong = {"xxh64", "siphash", "blake2b", "highwayhash64"}
    weak = {"fnv1a", "x31", "ramakrishna", "fletcher32s", "one_at_a_time", "x31/len", "ramakrishna/len",
            "fletcher32s/len", "one_at_a_time/len", "lookup2"}
    run = lab(binary, "check", "--quick", *[a for h in sorted(strong | weak) for a in ("--hash", h)], "--json", work / "all.json")
    verdicts = {v["hash"]: v["verdict"] for v in json.loads((work / "all.json").read_text())["verdicts"]}
    check(run.returncode == 1 and all(verdicts[h] == "PASS" for h in strong) and all(verdicts[h] == "FAIL" for h in weak),
          "quick battery: %s" % verdicts)
    plugin = build_plugin(work)
    run = lab(binary, "check", "--quick", "--family", "words", "--plugin", plugin + ":my_fnv64:64")
    check(run.returncode in (0, 1) and re.findall(r"^(\S+) +(PASS|WARN|FAIL) ", run.stdout, re.M)[0][0] == "my_fnv64"
          and len(re.findall(r"^\S+ +(?:PASS|WARN|FAIL) ", run.stdout, re.M)) == 1, "a plugin alone:\n" + run.stdout)
    for args, words in ((["--family", "nope"], "unknown family 'nope'"),
                        (["--family", "seed-grid", "--hash", "fnv1a"], "--family seed-grid: fnv1a takes no seed"),
                        (["--keys", "decimal:10"], "choose them with --family"),
                        (["--hash", "xxh32-index"], "xxh32-index seeds each key by its place")):
        run = lab(binary, "check", "--quick", *args)
        check(run.returncode == 2 and words in run.stderr and run.stdout == "", "%s: %d %r" % (args, run.returncode, run.stderr))


def speed(binary, work):
    """hashlab speed on chosen lengths: every hash at every length in both modes, the same figures in
    JSON and CSV, long keys faster per byte than short ones, and bad input refused."""
    plugin = build_plugin(work)
    run = lab(binary, "speed", "--hash", "xxh3", "--hash", "fnv1a", "--plugin", plugin + ":my_fnv64:64",
              "--length", "8", "--length", "1-16", "--length", "65536", "--json", work / "speed.json", "--csv", work / "speed.csv")
    check(run.returncode == 0, "status %d: %s" % (run.returncode, run.stderr))
    check(re.search(r"^throughput, ns per hash", run.stdout, re.M) and re.search(r"^my_fnv64 ", run.stdout, re.M)
          and "XXH3 long keys: libxxhash's dispatcher" in run.stdout, "the console report:\n" + run.stdout)
    doc = json.loads((work / "speed.json").read_text())
    points = {(p["hash"], p["mode"], p["shortest"], p["longest"]): p for p in doc["points"]}
    expected = {(h, m, a, b) for h in ("xxh3", "fnv1a", "my_fnv64") for m in ("throughput", "latency")
                for a, b in ((8, 8), (1, 16), (65536, 65536))}
    check(set(points) == expected, "points: %s" % sorted(points))
    check(all(0 < p["ns"] <= p["median_ns"] and p["rounds"] == 7 for p in points.values()), "fastest above the median")
    long, short = points[("xxh3", "throughput", 65536, 65536)], points[("xxh3", "throughput", 8, 8)]
    check(long["bytes_per_ns"] > 2 * short["bytes_per_ns"] and long["ns"] > 100 * short["ns"], "xxh3: %s %s" % (long, short))
    with open(work / "speed.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    check(len(rows) == len(doc["points"]) and all(float(r["ns"]) == p["ns"] for r, p in zip(rows, doc["points"])),
          "CSV and JSON differ")
    run = lab(binary, "speed", "--hash", "wyhash", "--length", "16", "--repeat", "3", "--json", work / "three.json")
    check(run.returncode == 0 and all(p["rounds"] == 3 for p in json.loads((work / "three.json").read_text())["points"]),
          "--repeat sets the rounds: %s" % run.stderr)
    # The quick study over every built-in, as CI runs it: every length in both modes for each.
    run = lab(binary, "speed", "--quick", "--json", work / "quick.json")
    doc = json.loads((work / "quick.json").read_text())
    hashes = doc["settings"]["hashes"]
    lengths = {(p["shortest"], p["longest"]) for p in doc["points"]}
    check(run.returncode == 0 and len(hashes) > 20 and len(lengths) > 10 and len(doc["points"]) == len(hashes) * len(lengths) * 2,
          "quick: status %d, %d points" % (run.returncode, len(doc["points"])))
    for args, words in ((["--length", "0"], "--length 0: expected a length"), (["--length", "9-3"], "--length 9-3: a range"),
                        (["--keys", "decimal:10"], "choose their lengths with --length"),
                        (["--length", "8", "--length", "8"], "--length 8 is given twice")):
        run = lab(binary, "speed", "--hash", "xxh3", *args)
        check(run.returncode == 2 and words in run.stderr and run.stdout == "", "%s: %d %r" % (args, run.returncode, run.stderr))


def collide(binary, work, mpirun=None):
    """hashlab collide: a 32-bit hash's pairs at a few million keys, alike in 1 and in many passes
    (and across 3 ranks); Ctrl-C ends with what was counted; bad input refused before any work."""
    runs = {}
    for name, memory in (("one", []), ("many", ["--memory", "4e6"])):
        run = lab(binary, "collide", "--hash", "xxh32", "--hash", "murmur3", "--keys", "sparse:16:4", "--count", "2Mi",
                  *memory, "--json", work / (name + ".json"))
        check(run.returncode in (0, 1), "%s: status %d: %s" % (name, run.returncode, run.stderr))
        runs[name] = json.loads((work / (name + ".json")).read_text())
    one, many = runs["one"]["results"], runs["many"]["results"]
    check(many[0]["passes"] > 3 and one[0]["passes"] == 1, "passes: %d and %d" % (one[0]["passes"], many[0]["passes"]))
    check([r["collisions"] for r in one] == [r["collisions"] for r in many] and one[0]["collisions"] > 0,
          "collisions in one pass and in %d: %s" % (many[0]["passes"], [(a["collisions"], b["collisions"]) for a, b in zip(one, many)]))
    if mpirun:
        env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMPI_MCA_btl_vader_single_copy_mechanism="none", OMPI_MCA_rmaps_base_oversubscribe="1")
        run = subprocess.run([mpirun, "--oversubscribe", "-np", "3", binary, "collide", "--hash", "xxh32", "--hash", "murmur3",
                              "--keys", "sparse:16:4", "--count", "2Mi", "--memory", "4e6", "--json", work / "ranks.json"],
                             capture_output=True, text=True, env=env)
        check(run.returncode in (0, 1), "under mpirun: status %d: %s" % (run.returncode, run.stderr))
        ranks = json.loads((work / "ranks.json").read_text())["results"]
        check(ranks[0]["ranks"] == 3 and [r["collisions"] for r in ranks] == [r["collisions"] for r in one],
              "3 ranks against one process: %s" % [(a["collisions"], b["collisions"]) for a, b in zip(one, ranks)])
    # A run of many passes, interrupted: the passes done, marked incomplete.
    process = subprocess.Popen([binary, "collide", "--hash", "xxh64", "--count", "2^24", "--memory", "2e6", "--json",
                                work / "cut.json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    cut = json.loads((work / "cut.json").read_text())["results"][0]
    check(process.returncode == 0 and "interrupted" in out and not cut["complete"] and 0 < cut["passes_done"] < cut["passes"],
          "Ctrl-C: status %d, %r %r" % (process.returncode, out, err))
    for args, words in ((["--count", "257", "--keys", "counter:1"], "counter:1 holds only 256 keys"),
                        (["--count", "1.5G"], "expected a whole number of keys"),
                        (["--keys", "decimal:10"], "collide takes counter:LEN"),
                        ([], "collide needs a hash")):
        run = lab(binary, "collide", *(["--hash", "xxh64"] if words != "collide needs a hash" else []), *args)
        check(run.returncode == 2 and words in run.stderr and run.stdout == "", "%s: %d %r" % (args, run.returncode, run.stderr))


def commands(binary, work):
    """The commands and the common options around them; --list and --help from the registries."""
    runs = {}
    for name, args in {"bare": [], "measure": ["measure"], "after": ["--hash", "xxh3", "measure"]}.items():
        common = ["--keys", "decimal:3000", "--hash", "xxh3", "--json", str(work / (name + ".json"))]
        run = lab(binary, *(args + common if name != "after" else args + common[:2] + common[4:]))
        check(run.returncode == 0, "%s: status %d: %s" % (name, run.returncode, run.stderr))
        results = json.loads((work / (name + ".json")).read_text())["results"]
        runs[name] = [{k: v for k, v in r.items() if k != "ns_per_key"} for r in results]
    check(runs["bare"] == runs["measure"] == runs["after"], "hashlab, hashlab measure and options before it differ")
    listing = lab(binary, "--list").stdout
    for words in ("random:LEN[:N]", "file:PATH", "xxh3", "boost::unordered_flat_map:avalanching", "avalanche"):
        check(words in listing, "--list lacks %r" % words)
    usage = lab(binary, "--help").stdout
    check("measure" in usage and "tables" in usage and "random:LEN[:N]" in usage, "--help lacks the commands")
    run = lab(binary, "nope")
    check(run.returncode == 2 and run.stderr.startswith("hashlab: "), "an unknown command: %d %r" % (run.returncode, run.stderr))


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as directory:
        {"cross-check": cross_check, "outputs": outputs, "bad-input": bad_input,
         "failures": failures, "tables": tables, "commands": commands, "check": check_command, "speed": speed, "collide": collide}[sys.argv[1]](sys.argv[2], pathlib.Path(directory), *sys.argv[3:])
    print("ok")
