#!/usr/bin/env python3
"""hashlab on the real binary, as a user runs it, a careless or hostile one included.

usage: lab_cli_test.py MODE HASHLAB [MPIRUN]: MODE is one of the functions named at the end.
"""
import csv
import json
import math
import os
import pathlib
import re
import resource
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time

from device_folder import device_folder

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
DATA = pathlib.Path(__file__).resolve().parent / "data"
# The entries hashbench prints for its cases, as distinct values of the lab's hashes.
FIXED_RUN = {"fletcher32s": 9005, "x31": 5000000, "ramakrishna": 5000000, "one_at_a_time": 4995149,
             "xxh32-index": 4995877, "xxh64-index": 5000000, "lookup2-chained": 4997074}
SMALL = ["--keys", "decimal:2000", "--hash", "xxh3"]
BINARY = None


def lab(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run([BINARY, *map(str, args)], text=True, **kwargs)


def check(condition, message):
    if not condition:
        sys.exit("FAIL: " + message)


def refused(run, status, words, what, quiet=True):
    """One line on standard error naming the fault, the status, and (quiet) nothing on standard output."""
    lines = run.stderr.splitlines()
    check(run.returncode == status and len(lines) == 1 and lines[0].startswith("hashlab: ") and words in lines[0]
          and (run.stdout == "" or not quiet),
          "%s: status %d (expected %d), stderr %r should be one line with %r, stdout %r"
          % (what, run.returncode, status, run.stderr, words, (run.stdout or "")[:200]))


def untouched(work, names, what):
    """The folder holds `names` and no more, its result and its device stand-ins as they were."""
    check(sorted(os.listdir(work)) == sorted(names), "%s: the folder holds %s" % (what, sorted(os.listdir(work))))
    check((work / "keep.json").read_text() == "old result\n", "%s: the previous result was replaced" % what)
    check(all(stat.S_ISCHR(os.stat(work / d).st_mode) for d in ("null", "full")), "%s: a device was replaced" % what)


def build_plugin(work, name="myhash", source=None):
    """The README's example plugin, built as the README says, or a plugin of the given source."""
    source = source or re.search(r"```c\n(.*?)```", README.read_text(), re.S).group(1)
    (work / (name + ".c")).write_text(source)
    subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", work / (name + ".so"), work / (name + ".c")], check=True)
    return str(work / (name + ".so"))


def cross_check(work):
    """The fixed run's counts, from hashlab's hashes on the five million decimal keys."""
    run = lab(*[a for name in FIXED_RUN for a in ("--hash", name)], "--json", work / "out.json")
    check(run.returncode == 0, "status %d: %s" % (run.returncode, run.stderr))
    got = {r["hash"]: r["distinct"] for r in json.loads((work / "out.json").read_text())["results"]}
    check(got == FIXED_RUN, "distinct values %s, expected %s" % (got, FIXED_RUN))


def outputs(work):
    """Words and a key file, the JSON and the CSV alike, the README's plugin, a CR-only file."""
    (work / "some.txt").write_bytes(b"alpha\r\nbeta\ngamma\nbeta\n\xc3\xa9t\xc3\xa9")
    build_plugin(work)
    run = lab("--keys", "words", "--keys", "file:" + str(work / "some.txt"), "--json", work / "out.json",
              "--csv", work / "out.csv", "--plugin", "%s:my_fnv64:64" % (work / "myhash.so"))
    check(run.returncode == 0 and "carriage return" not in run.stderr, "status %d: %s" % (run.returncode, run.stderr))
    check("Findings" in run.stdout and "my_fnv64" in run.stdout, "table or findings missing:\n" + run.stdout)
    doc = json.loads((work / "out.json").read_text())
    check({"command", "format_version", "settings", "machine", "compiler", "results"} <= doc.keys()
          and doc["command"] == "measure" and "table_results" not in doc, "top-level fields: %s" % list(doc))
    rows = list(csv.DictReader(open(work / "out.csv", newline="")))
    hashes = len(doc["settings"]["hashes"])
    check(hashes > 20 and len(rows) == len(doc["results"]) == 2 * hashes,
          "%d CSV rows, %d JSON results, %d hashes" % (len(rows), len(doc["results"]), hashes))
    for row, result in zip(rows, doc["results"]):
        check(None not in row and None not in row.values(), "CSV rows of different lengths")
        check(row["hash"] == result["hash"] and int(row["collisions"]) == result["collisions"], "CSV differs from JSON")
    some = [r for r in doc["results"] if r["keys"].startswith("file:")]
    check(all(r["key_count"] == 4 for r in some), "the key file has 4 distinct keys")
    plugin = [r for r in doc["results"] if r["hash"] == "my_fnv64"]
    check(plugin and plugin[0]["width"] == 64 and plugin[0]["collisions"] == 0, "plugin results: %s" % plugin)
    check(sorted(os.listdir(work)) == ["myhash.c", "myhash.so", "out.csv", "out.json", "some.txt"],
          "stray files: %s" % os.listdir(work))
    # Lines that end in CR alone are one key, and the run says so.
    (work / "old-mac.txt").write_bytes(b"alpha\rbeta\rgamma\r")
    run = lab("--keys", "file:" + str(work / "old-mac.txt"), "--hash", "xxh3")
    check(run.returncode == 0 and "warning: 1 of the 1 keys of file:" in run.stderr and "carriage return" in run.stderr
          and len(run.stderr.splitlines()) == 1, "a CR-only file: %d %r" % (run.returncode, run.stderr))


def commands(work):
    """The commands and the common options around them; --list and --help from the registries."""
    runs = {}
    for name, args in {"bare": [], "measure": ["measure"], "after": ["--hash", "xxh3", "measure"]}.items():
        common = ["--keys", "decimal:3000", "--hash", "xxh3", "--json", str(work / (name + ".json"))]
        run = lab(*(args + common if name != "after" else args + common[:2] + common[4:]))
        check(run.returncode == 0, "%s: status %d: %s" % (name, run.returncode, run.stderr))
        results = json.loads((work / (name + ".json")).read_text())["results"]
        runs[name] = [{k: v for k, v in r.items() if k != "ns_per_key"} for r in results]
    check(runs["bare"] == runs["measure"] == runs["after"], "hashlab, hashlab measure and options before it differ")
    listing = lab("--list").stdout
    for words in ("random:LEN[:N]", "file:PATH", "xxh3", "boost::unordered_flat_map:avalanching", "avalanche"):
        check(words in listing, "--list lacks %r" % words)
    usage = lab("--help").stdout
    check("measure" in usage and "tables" in usage and "random:LEN[:N]" in usage, "--help lacks the commands")
    # Every command in the registry has its manual page and a row in hashreport's table of documents.
    root = README.parent
    sys.path.insert(0, str(root / "scripts"))
    import hashreport
    listed = re.findall(r"^  (\S+) ", listing.split("\nCommands")[1], re.M)
    check(listed[:2] == ["measure", "tables"] and "collide" in listed, "--list's commands: %r" % listed)
    for name in listed:
        page = root / ("packaging/man/hashlab-%s.h2m" % name)  # the build makes a page of each
        check(page.exists() and page.read_text().startswith("[NAME]\nhashlab-%s \\- " % name),
              "hashlab %s has no manual page" % name)
        check(name in hashreport.LAB_CHARTS, "hashreport has no row for hashlab %s" % name)


def refusals(work):
    """Every bad input of every command: one line, status 2, before any work, nothing written."""
    device_folder(work, "keep.json", "old result\n")
    (work / "empty.txt").write_bytes(b"")
    (work / "keys.txt").write_bytes(b"a\nb\n")
    (work / "adir").mkdir()
    plugin = build_plugin(work)
    before = os.listdir(work)
    keep, keys = str(work / "keep.json"), str(work / "keys.txt")
    cases = [  # (arguments, words the message must hold); none names a key set it could start on
        (["--hash", "nope"], "unknown hash 'nope'; known: fnv1a"),
        (["--keys", "nope"], "unknown key set 'nope'; known: decimal"),
        (["--table", "nope"], "unknown table 'nope'; known: std::unordered_map"),
        (["nope"], "nope"),
        (["--keys", "file:" + str(work / "missing.txt")], "cannot open"),
        (["--keys", "file:" + str(work / "empty.txt")], "is empty"),
        (["--keys", "file:" + str(work / "adir")], "cannot read"),
        (["--seed", "abc"], "--seed abc: expected a whole number"),
        (["--seed", "-1"], "--seed -1: expected a whole number from 0"),
        (["--seed", "18446744073709551616"], "--seed 18446744073709551616: expected a whole number"),
        (["--sample", "0"], "--sample 0: expected a whole number from 1 to"),
        (["--budget", "nan"], "not a finite number"),
        (["--hash", "xxh3", "--hash", "xxh3"], "--hash xxh3 is given twice"),
        (["--keys", "decimal:5", "--keys", "decimal:5"], "--keys decimal:5 is given twice"),
        (["--table", "std::map", "--table", "std::map"], "--table std::map is given twice"),
        (["--plugin", str(work / "missing.so") + ":f:64"], "cannot load"),
        (["--plugin", plugin + ":no_such_symbol:64"], "no symbol 'no_such_symbol'"),
        (["--plugin", plugin + ":my_fnv64:16"], "width must be 32 or 64"),
        # Destinations, checked before any work: a result, a device or the input is never replaced.
        (["--json", str(work / "adir")], "adir: Is a directory"),
        (["--json", str(work / "no" / "out.json")], "no/out.json: its folder"),
        (["--json", str(work / "no\ndir" / "out.json")], "no\\ndir/out.json: its folder"),  # one line, escaped
        (["--json", ""], "--json: an empty file name"),
        (["--csv", ""], "--csv: an empty file name"),
        (["--json", keep, "--csv", str(work) + "/./keep.json"], "the same file as --json"),
        (["--json", str(work / "new.json"), "--csv", str(work / "new.json")], "the same file as --json"),
        (["--json", keys, "--keys", "file:" + keys], "the same file as the input"),
        (["--json", str(work / ("n" * 250 + ".json"))], "File name too long"),  # legal, but not with the staging suffix
        (["--json", "/dev/stdin"], "descriptor 0 is not open for writing"),
        # The studies' own.
        (["tables", "--hash", "xxh32-index", "--hash", "lookup2-chained"], "no table can use the chosen hashes"),
        (["tables", "--keys", "decimal:100000", "--memory", "1e6"], "holds fewer than two tables"),
        (["check", "--family", "nope"], "unknown family 'nope'"),
        (["check", "--family", "seed-grid", "--hash", "fnv1a"], "--family seed-grid: fnv1a takes no seed"),
        (["check", "--keys", "decimal:10"], "choose them with --family"),
        (["check", "--hash", "xxh32-index"], "xxh32-index seeds each key by its place"),
        (["speed", "--tables"], "not --keys, --table or --tables"),
        (["speed", "--length", "1-1073741824"], "random lengths go up to 65536"),
        (["speed", "--length", "0"], "--length 0: expected a length"),
        (["speed", "--length", "9-3"], "--length 9-3: a range"),
        (["speed", "--keys", "decimal:10"], "choose their lengths with --length"),
        (["speed", "--length", "8", "--length", "8"], "--length 8 is given twice"),
        (["collide"], "collide needs a hash"),
        (["collide", "--hash", "xxh64", "--count", "257", "--keys", "counter:1"], "counter:1 holds only 256 keys"),
        (["collide", "--hash", "xxh64", "--count", "1.5G"], "expected a whole number of keys"),
        (["collide", "--hash", "xxh64", "--memory", "8Qi"], "expected a whole number of bytes"),
        (["collide", "--hash", "xxh64", "--memory", "1e5"], "expected 1M to 1000T bytes"),
        (["tables", "--memory", ""], "expected a whole number of bytes"),
        (["collide", "--hash", "xxh64", "--count", "18446744073709551K"], "do not fit in"),
        (["collide", "--hash", "xxh64", "--keys", "decimal:10"], "its keys are not computed from their index"),
    ]
    for args, words in cases:
        outputs = [] if "--json" in args else ["--json", work / "out.json"]
        refused(lab(*args, *outputs), 2, words, str(args))
        untouched(work, before, str(args))


def files(work):
    """Devices and FIFOs written in place, all or nothing, signals while writing, links and modes."""
    device_folder(work, "keep.json", "old result\n")
    before = os.listdir(work)
    run = lab(*SMALL, "--json", work / "null", "--csv", work / "null2")
    check(run.returncode == 0, "devices: %s" % run.stderr)
    os.remove(work / "null2")  # the same device, under another name
    untouched(work, before, "written to devices")
    refused(lab(*SMALL, "--json", work / "full"), 4, "No space left on device", "a full device", quiet=False)
    # All or nothing: the CSV cannot be written, so the JSON is not renamed over the result.
    refused(lab(*SMALL, "--json", work / "keep.json", "--csv", work / "full"), 4, "could not write", "all or nothing",
            quiet=False)
    untouched(work, before, "a full device")
    # The process's own descriptors are written where they stand: after the console's report, after
    # what a log opened to append holds, never from the start of the file over them.
    log, kept = work / "log.txt", "".join("line %d\n" % i for i in range(3000))
    for name, stream, mode in (("/dev/stdout", "stdout", "a"), ("/proc/self/fd/1", "stdout", "a"),
                               ("/dev/stderr", "stderr", "a"), ("/dev/stdout", "stdout", "w")):
        log.write_text(kept)
        with open(log, mode) as f:
            streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, stream: f}
            run = subprocess.run([BINARY, *SMALL, "--csv", name], stdin=subprocess.DEVNULL, **streams)
        text = log.read_text()
        written = text[len(kept):] if mode == "a" else text
        check(run.returncode == 0 and text.startswith(kept if mode == "a" else "") and
              written.find("hash,keys,key_count") > (written.find("decimal:2000: 2000 keys") if stream == "stdout" else -1),
              "--csv %s into a log opened %r: %r" % (name, mode, text[len(kept) - 20:][:300]))
    log.unlink()

    fifo = work / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(fifo.read_text()))
    reader.start()
    run = lab(*SMALL, "--json", fifo)
    reader.join(10)
    check(run.returncode == 0 and stat.S_ISFIFO(os.stat(fifo).st_mode) and json.loads(got[0])["results"][0]["hash"] == "xxh3",
          "a FIFO is written, not replaced: %s" % run.stderr)
    # A FIFO nobody reads holds the run inside its write, after the JSON has been staged.
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        process = subprocess.Popen([BINARY, *SMALL, "--json", work / "keep.json", "--csv", fifo],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 30
        while not [n for n in os.listdir(work) if n.startswith("keep.json.")]:
            check(time.time() < deadline, "the JSON was never staged")
            time.sleep(0.01)
        process.send_signal(number)
        check(process.wait(30) == -number, "signal %d: status %d" % (number, process.returncode))
        untouched(work, before + ["fifo"], "signal %d while writing" % number)

    os.symlink("keep.json", work / "link.json")
    os.chmod(work / "keep.json", 0o604)
    umask = os.umask(0o027)
    run = lab(*SMALL, "--json", work / "link.json", "--csv", work / "new.csv")
    os.umask(umask)
    check(run.returncode == 0 and os.path.islink(work / "link.json")
          and json.loads((work / "keep.json").read_text())["results"][0]["hash"] == "xxh3", "through a link: %s" % run.stderr)
    check(stat.S_IMODE(os.stat(work / "keep.json").st_mode) == 0o604 and stat.S_IMODE(os.stat(work / "new.csv").st_mode) == 0o640,
          "modes: the result's kept, a new file's from the umask")

    name = os.path.join(os.fsencode(work), b"k\xffeys.txt")
    with open(name, "w") as f:
        f.write("a\nb\n")
    run = subprocess.run([BINARY.encode(), b"--keys", b"file:" + name, b"--hash", b"xxh3", b"--json",
                          os.fsencode(work / "out.json")], capture_output=True)
    check(run.returncode == 0 and json.loads((work / "out.json").read_text())["results"][0]["keys"]
          == "file:%s/k\\xFFeys.txt" % work, "a name that is not UTF-8: %s" % run.stderr)


def failures(work):
    """Out of memory (3), full disks and closed outputs (4), endless input, crashing plugins."""
    limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (100 << 20, 100 << 20))
    run = lab("--hash", "xxh64", "--json", work / "out.json", preexec_fn=limit)
    check(run.returncode == 3 and re.fullmatch(r"hashlab: out of memory while \w+ .+\n", run.stderr),
          "under a memory limit: status %d, %r" % (run.returncode, run.stderr))
    check(os.listdir(work) == [], "left %s" % os.listdir(work))
    run = lab("collide", "--hash", "xxh3", "--count", "2^26", "--memory", "1e9", preexec_fn=limit)
    check(run.returncode == 3 and re.fullmatch(r"hashlab: out of memory while collide xxh3: [\d,]+ bytes of buckets\n", run.stderr),
          "collide under a memory limit: status %d, %r" % (run.returncode, run.stderr))
    # Standard output full or closed: status 4, for reports and listings alike.
    read_end, write_end = os.pipe()
    os.close(read_end)
    run = lab(*SMALL, stdout=write_end, stderr=subprocess.PIPE, capture_output=False)
    os.close(write_end)
    refused(run, 4, "could not write the report to standard output: Broken pipe", "a closed standard output", quiet=False)
    for args in (SMALL, ["--list"], ["--help"], ["--version"]):
        with open("/dev/full", "w") as full:
            run = lab(*args, stdout=full, stderr=subprocess.PIPE, capture_output=False)
        refused(run, 4, "No space left on device", "%s into /dev/full" % args, quiet=False)
    # A staged file that cannot be written whole (a file size limit, the disk full for this file):
    # status 4, the previous result kept, no temporary left.
    (work / "keep.json").write_text("old\n")

    def small_files():
        resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    run = lab(*SMALL, "--json", work / "keep.json", preexec_fn=small_files)
    refused(run, 4, "File too large", "a failed staged write", quiet=False)
    check((work / "keep.json").read_text() == "old\n" and os.listdir(work) == ["keep.json"],
          "a failed staged write replaced the result or left %s" % os.listdir(work))
    refused(lab("--keys", "file:/dev/zero", "--hash", "xxh3"), 2, "holds more than 4 GiB", "an endless key file")

    plugin = build_plugin(work, "bad", "#include <stddef.h>\n#include <stdint.h>\n#include <stdlib.h>\n"
                          "uint64_t crashes(const void *d, size_t n, uint64_t s) {"
                          " if (n == 3) { volatile int *p = 0; *p = 1; } return n + s; }\n"
                          "uint64_t exits(const void *d, size_t n, uint64_t s) { if (n == 3) exit(0); return n + s; }\n"
                          "uint64_t fnv1a(const void *d, size_t n, uint64_t s) { return n + s; }\n")
    # A built-in's name, though that built-in is not in the run, would pass for it in every report.
    refused(lab(*SMALL, "--plugin", plugin + ":fnv1a:64"), 2, "the name 'fnv1a' is taken", "a plugin named fnv1a")
    for symbol, status, words in (("crashes", -signal.SIGSEGV, "Segmentation fault"), ("exits", 5, "exit() was called")):
        run = lab(*SMALL, "--plugin", "%s:%s:64" % (plugin, symbol), "--json", work / "keep.json")
        refused(run, status, words, symbol, quiet=False)
        check(" %s on decimal:2000" % symbol in run.stderr, "%s: the hash and keys unnamed: %r" % (symbol, run.stderr))
        run = lab("speed", "--quick", "--hash", "xxh3", "--length", "3", "--plugin", "%s:%s:64" % (plugin, symbol),
                  "--json", work / "keep.json")
        refused(run, status, words, "speed, " + symbol, quiet=False)
        check("timing %s on 3-byte keys" % symbol in run.stderr, "speed: %s unnamed: %r" % (symbol, run.stderr))
        run = lab("collide", "--hash", "xxh3", "--keys", "counter:3", "--count", "2Mi", "--plugin",
                  "%s:%s:64" % (plugin, symbol), "--json", work / "keep.json")
        refused(run, status, words, "collide, " + symbol, quiet=False)
        check("collide %s: hashing a sample" % symbol in run.stderr, "collide: %s unnamed: %r" % (symbol, run.stderr))
        check((work / "keep.json").read_text() == "old\n", "%s: the result was replaced" % symbol)


def tables(work):
    """The quick cost study: every table with every hash that fits, marks, advice, CSV."""
    run = lab("tables", "--quick", "--json", work / "out.json", "--csv", work / "out.csv")
    check(run.returncode == 0, "status %d: %s" % (run.returncode, run.stderr))
    doc = json.loads((work / "out.json").read_text())
    hashes = doc["settings"]["hashes"]
    check(not {"x31/len", "xxh128-low", "blake2b", "xxh32-index"} & set(hashes) and "xxh3" in hashes,
          "the default hashes of the cost study: %s" % hashes)
    expected = {(t, "none" if t == "std::map" else h) for t in doc["settings"]["tables"] for h in hashes}
    got = {(r["table"], r["hash"]) for r in doc["table_results"]}
    check(doc["command"] == "tables" and len(doc["settings"]["tables"]) == 7 and got == expected,
          "table results: %s" % sorted(expected ^ got))
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
    # A check report whose x31 fails on its values and wyhash only on differences: the advice marks
    # both, tells them apart, and never leaves the reader with an unsound fastest alone.
    def tested(hash, family, of, log2_p):
        return {"hash": hash, "family": family, "set": family + ":20000", "test": "collisions", "of": of,
                "log2_p_corrected": log2_p}
    verdicts = {"command": "check", "verdicts": [
        {"hash": "x31", "verdict": "FAIL", "fail_below_log2_p": -15.0, "failed": ["zeroes:20000: 19,999 collisions"]},
        {"hash": "wyhash", "verdict": "FAIL", "fail_below_log2_p": -15.0, "failed": ["sparse:20000, differences: many"]},
        {"hash": "xxh3", "verdict": "PASS", "fail_below_log2_p": -15.0, "failed": []}],
        "tests": [tested("x31", "zeroes", "values", -900.0), tested("wyhash", "sparse", "differences", -40.0),
                  tested("wyhash", "seed-zeroes", "values", -40.0), tested("xxh3", "zeroes", "values", -2.0)]}
    (work / "verdicts.json").write_text(json.dumps(verdicts))
    marked = lab("tables", "--quick", "--keys", "decimal:20000", "--table", "absl::flat_hash_map", "--hash", "xxh3",
                 "--hash", "x31", "--hash", "wyhash", "--verdicts", work / "verdicts.json", "--json", work / "marked.json")
    a = json.loads((work / "marked.json").read_text())["table_advice"][0]
    check(a["fails_battery"] == {"x31": {"on_values": True, "where": "zeroes:20000, collisions"},
                                 "wyhash": {"on_values": False, "where": "sparse:20000, differences"}},
          "verdicts read: %s" % a["fails_battery"])
    check("x31 (fails the battery on its values: zeroes:20000, collisions)" in a["text"]
          and "wyhash (fails the battery, not on its values: sparse:20000, differences)" in a["text"]
          and "xxh3 (" not in a["text"] and (a["fastest"] != "x31" or "whose values pass the battery: " in a["text"]),
          "advice marked: %s" % a["text"])
    refused(lab("tables", "--quick", "--verdicts", work / "marked.json"), 2, "not a hashlab check report", "--verdicts")
    refused(lab("check", "--quick", "--verdicts", work / "verdicts.json"), 2, "which check does not give", "--verdicts")
    named = lab("tables", "--quick", "--keys", "decimal:20000", "--table", "absl::flat_hash_map",
                "--hash", "xxh32-index", "--hash", "xxh3")
    check(named.returncode == 0 and "left out, as they give one key different values: xxh32-index" in named.stdout,
          "no note on the left-out")
    rows = list(csv.reader(open(work / "out.csv", newline="")))
    check(len(rows) == len(doc["table_results"]) + 1 and "pow2_empty" in rows[0], "CSV: one row per table and hash")
    check(all(len(row) == len(rows[0]) for row in rows), "CSV rows of different lengths")

    # std::map first, then a hashed table: the header still has the quality columns.
    run = lab("--quick", "--keys", "decimal:20000", "--table", "std::map", "--table", "absl::flat_hash_map",
              "--hash", "xxh3", "--csv", work / "out.csv")
    rows = list(csv.reader(open(work / "out.csv", newline="")))
    check(run.returncode == 0 and len(rows) == 3 and len({len(row) for row in rows}) == 1 and "pow2_empty" in rows[0],
          "std::map first: %s" % [len(row) for row in rows])
    empty, table = rows[0].index("pow2_empty"), rows[0].index("table")
    check(rows[1][empty] == "" and rows[2][empty] != "" and rows[2][table] == "absl::flat_hash_map",
          "std::map has no quality, xxh3's joins its cost row: %s" % rows)


def check_command(work):
    """hashlab check --quick: the reference hashes pass, every weak one fails, in the console, the
    exit status and the JSON; a family chosen alone, a plugin alone."""
    strong = {"xxh64", "siphash", "blake2b", "highwayhash64"}
    weak = {"fnv1a", "x31", "ramakrishna", "fletcher32s", "one_at_a_time", "x31/len", "ramakrishna/len",
            "fletcher32s/len", "one_at_a_time/len", "lookup2"}
    run = lab("check", "--quick", *[a for h in sorted(strong | weak) for a in ("--hash", h)], "--json", work / "all.json")
    doc = json.loads((work / "all.json").read_text())
    verdicts = {v["hash"]: v for v in doc["verdicts"]}
    check(run.returncode == 1 and all(verdicts[h]["verdict"] == "PASS" for h in strong)
          and all(verdicts[h]["verdict"] == "FAIL" for h in weak), "quick battery: %s" % verdicts)
    check(re.search(r"^xxh64 +PASS +(\d+)/\1 ", run.stdout, re.M) and re.search(r"^fnv1a +FAIL ", run.stdout, re.M),
          "verdict lines:\n" + run.stdout)
    check(re.search(r"^    two-bytes:1:6, differences: output bits \d+\.\.\d+ unevenly spread: chi-square \d+ on \d+ "
                    r"degrees of freedom, p < 2\^-\d+", run.stdout, re.M), "the failure in words:\n" + run.stdout)
    fields = {"hash", "family", "set", "test", "of", "statistic", "expected", "log2_p", "looked_at", "log2_p_corrected"}
    check(fields <= doc["tests"][0].keys(), "test fields: %s" % list(doc["tests"][0]))
    check(len(doc["tests"]) == sum(v["total"] for v in verdicts.values()), "one test per result")
    # Five sparse sets and a seed sweep, each on its values and on its differences: 36 results.
    run = lab("check", "--quick", "--hash", "xxh3", "--family", "sparse", "--family", "seed-sweep")
    check(run.returncode == 0 and re.search(r"^xxh3 +PASS +36/36 ", run.stdout, re.M), "xxh3 alone:\n" + run.stdout)
    # The same results as the code the golden file was made with: counts exact, p-values to 1e-9.
    # On every core, and on one (a single worker: the same results whatever the threads).
    golden = json.loads((DATA / "check-golden.json").read_text())
    for cores in ([], ["taskset", "-c", "0"]):
        run = subprocess.run([*cores, BINARY, *golden["made_by"].split()[1:], "--json", work / "golden.json"],
                             capture_output=True, text=True)
        now = json.loads((work / "golden.json").read_text())["tests"]
        check(len(now) == len(golden["tests"]), "golden %s: %d results where %d were" % (cores, len(now), len(golden["tests"])))
        for was, new in zip(golden["tests"], now):
            for field, value in was.items():
                same = (math.isclose(value, new[field], rel_tol=1e-9, abs_tol=1e-300) if isinstance(value, float)
                        else value == new[field])
                check(same, "golden %s: %s %s %s: %s %r, now %r"
                      % (cores, was["hash"], was["set"], was["test"], field, value, new[field]))
    run = lab("check", "--quick", "--family", "words", "--plugin", build_plugin(work) + ":my_fnv64:64")
    check(run.returncode in (0, 1) and re.findall(r"^(\S+) +(PASS|WARN|FAIL) ", run.stdout, re.M)[0][0] == "my_fnv64"
          and len(re.findall(r"^\S+ +(?:PASS|WARN|FAIL) ", run.stdout, re.M)) == 1, "a plugin alone:\n" + run.stdout)


def choose(work):
    """hashlab choose: a hash whose values fail the battery, or that spreads the keys badly, is never the
    answer and is named with its reason when faster; the same in the console, the JSON and the CSV."""
    verdicts = {"command": "check", "verdicts": [
        {"hash": "wyhash", "verdict": "FAIL", "fail_below_log2_p": -15.0, "failed": ["zeroes:20000: many"]},
        {"hash": "xxh3", "verdict": "FAIL", "fail_below_log2_p": -15.0, "failed": ["seed-zeroes:1280: many"]}],
        "tests": [{"hash": "wyhash", "family": "zeroes", "set": "zeroes:20000", "test": "collisions", "of": "values",
                   "log2_p_corrected": -900.0},
                  {"hash": "xxh3", "family": "seed-zeroes", "set": "seed-zeroes:1280", "test": "collisions",
                   "of": "values", "log2_p_corrected": -900.0}]}
    (work / "verdicts.json").write_text(json.dumps(verdicts))
    # On decimal keys x31 leaves bits of its values unevenly spread; wyhash fails on its values (as
    # the file says); xxh3 fails only a seeded family, which a table with one seed does not see.
    hashes = [a for h in ("x31", "wyhash", "xxh3", "murmur3") for a in ("--hash", h)]
    run = lab("choose", "--quick", "--keys", "decimal:100000", "--table", "absl::flat_hash_map", *hashes,
              "--verdicts", work / "verdicts.json", "--json", work / "choose.json", "--csv", work / "choose.csv")
    check(run.returncode == 0, "choose: status %d: %s" % (run.returncode, run.stderr))
    doc = json.loads((work / "choose.json").read_text())
    sound = {c["hash"]: c["sound"] for c in doc["candidates"]}
    faults = {c["hash"]: c["spread_fault"] or c["battery_fault"] for c in doc["candidates"]}
    check(sound == {"x31": False, "wyhash": False, "xxh3": True, "murmur3": True}, "choose: soundness %s" % faults)
    check(faults["x31"].startswith("spreads your keys worse than an ideal hash: ")
          and faults["wyhash"] == "fails the battery on its values: zeroes:20000, collisions", "choose: reasons %s" % faults)
    [a] = doc["answers"]
    check(a["use"] in ("xxh3", "murmur3") and ("=> " + a["text"]) in run.stdout, "choose: the answer %r" % a["text"])
    for r in a["faster_unsound"]:
        check(not sound[r["hash"]] and r["fault"] == faults[r["hash"]] and r["vs_use"] < 1.5
              and "%s (" % r["hash"] in a["text"], "choose: faster but unsound %s in %r" % (r, a["text"]))
    check(all(sound[r["hash"]] for r in a["tied"]), "choose: an unsound hash tied: %s" % a["tied"])
    rows = list(csv.DictReader(open(work / "choose.csv", newline="")))
    check(len(rows) == 1 and rows[0]["use"] == a["use"] and rows[0]["text"] == a["text"], "choose: CSV %s" % rows)
    # Under --hostile xxh3's seeded failure counts too.
    run = lab("choose", "--quick", "--hostile", "--keys", "decimal:100000", "--table", "absl::flat_hash_map", *hashes,
              "--verdicts", work / "verdicts.json", "--json", work / "hostile.json")
    a = json.loads((work / "hostile.json").read_text())["answers"][0]
    check(a["use"] == "murmur3" and "pass the whole battery" in a["text"], "choose --hostile: %r" % a["text"])
    # Without --verdicts, the quick battery of the families at one seed, run here: fnv1a fails it.
    run = lab("choose", "--quick", "--keys", "words", "--table", "absl::flat_hash_map", "--hash", "xxh3",
              "--hash", "fnv1a", "--json", work / "own.json")
    doc = json.loads((work / "own.json").read_text())
    battery = {c["hash"]: c["battery_fault"] for c in doc["candidates"]}
    check(doc["answers"][0]["use"] == "xxh3" and battery["xxh3"] == ""
          and battery["fnv1a"].startswith("fails the battery on its values: "), "choose, its own battery: %s" % battery)
    refused(lab("choose", "--verdicts", work / "choose.json"), 2, "not a hashlab check report", "choose --verdicts")
    refused(lab("choose", "--keys", "decimal:10", "--keys", "words"), 2, "one key set", "choose, two key sets")


def speed(work):
    """hashlab speed on chosen lengths: every hash at every length in both modes, the same figures in
    JSON and CSV, long keys faster per byte than short ones."""
    plugin = build_plugin(work)
    run = lab("speed", "--hash", "xxh3", "--hash", "fnv1a", "--plugin", plugin + ":my_fnv64:64",
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
    run = lab("speed", "--hash", "wyhash", "--length", "16", "--repeat", "3", "--json", work / "three.json")
    check(run.returncode == 0 and all(p["rounds"] == 3 for p in json.loads((work / "three.json").read_text())["points"]),
          "--repeat sets the rounds: %s" % run.stderr)
    # The quick study over every built-in, as CI runs it: every length in both modes for each.
    run = lab("speed", "--quick", "--json", work / "quick.json")
    doc = json.loads((work / "quick.json").read_text())
    hashes = doc["settings"]["hashes"]
    lengths = {(p["shortest"], p["longest"]) for p in doc["points"]}
    check(run.returncode == 0 and len(hashes) > 20 and len(lengths) > 10 and len(doc["points"]) == len(hashes) * len(lengths) * 2,
          "quick: status %d, %d points" % (run.returncode, len(doc["points"])))


def children(parent, name):
    """The pids of a process's children of that name, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                stat_line = f.read()
        except (OSError, ValueError):
            continue
        comm, rest = stat_line[stat_line.find("(") + 1:stat_line.rfind(")")], stat_line[stat_line.rfind(")") + 2:].split()
        if comm == name and int(rest[1]) == parent:
            found.append(int(entry))
    return sorted(found)


def collide(work, mpirun=None):
    """hashlab collide: a 32-bit hash's pairs at a few million keys, alike in 1 and in many passes
    (and across 3 ranks); Ctrl-C ends with what was counted."""
    runs = {}
    for name, memory in (("one", []), ("many", ["--memory", "2M"])):
        run = lab("collide", "--hash", "xxh32", "--hash", "murmur3", "--keys", "flips:16:4", "--count", "2Mi",
                  *memory, "--json", work / (name + ".json"))
        check(run.returncode in (0, 1), "%s: status %d: %s" % (name, run.returncode, run.stderr))
        runs[name] = json.loads((work / (name + ".json")).read_text())
    one, many = runs["one"]["results"], runs["many"]["results"]
    check(many[0]["passes"] > 3 and one[0]["passes"] == 1, "passes: %d and %d" % (one[0]["passes"], many[0]["passes"]))
    check([r["collisions"] for r in one] == [r["collisions"] for r in many] and one[0]["collisions"] > 0,
          "collisions in one pass and in %d: %s" % (many[0]["passes"], [(a["collisions"], b["collisions"]) for a, b in zip(one, many)]))
    # The memory bound held: 2^25 values need about 256 MB, so 64 MB takes several passes, and the
    # process's peak stays within what it was given and its own few megabytes.
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    run = lab("collide", "--hash", "xxh64", "--count", "2^25", "--memory", "64M", "--json", work / "bound.json")
    peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
    bound = json.loads((work / "bound.json").read_text())["results"][0]
    check(run.returncode == 0 and bound["passes"] > 2 and peak_kib > before and peak_kib * 1024 < 64e6 + 16 * 2**20,
          "--memory 64M: status %d, %d passes, peak %d KiB" % (run.returncode, bound["passes"], peak_kib))
    # The colliding keys named: the ten smallest values, each with two keys of its own, alike however counted.
    pairs = one[0]["pairs"]
    check(len(pairs) == 10 and [p["value"] for p in pairs] == sorted(p["value"] for p in pairs)
          and all(p["first"] < p["second"] and p["keys_sharing"] >= 2 and p["first_key"] != p["second_key"]
                  and re.fullmatch("0x[0-9a-f]{32}", p["first_key"]) for p in pairs)
          and [r["pairs"] for r in many] == [r["pairs"] for r in one], "pairs: %s" % pairs[:2])
    if mpirun:
        env = dict(os.environ, OMPI_ALLOW_RUN_AS_ROOT="1", OMPI_ALLOW_RUN_AS_ROOT_CONFIRM="1",
                   OMPI_MCA_btl_vader_single_copy_mechanism="none", OMPI_MCA_rmaps_base_oversubscribe="1")
        run = subprocess.run([mpirun, "--oversubscribe", "-np", "3", BINARY, "collide", "--hash", "xxh32", "--hash", "murmur3",
                              "--keys", "flips:16:4", "--count", "2Mi", "--memory", "2e6", "--json", work / "ranks.json"],
                             capture_output=True, text=True, env=env)
        check(run.returncode in (0, 1), "under mpirun: status %d: %s" % (run.returncode, run.stderr))
        ranks = json.loads((work / "ranks.json").read_text())["results"]
        check(ranks[0]["ranks"] == 3 and [r["collisions"] for r in ranks] == [r["collisions"] for r in one]
              and [r["pairs"] for r in ranks] == [r["pairs"] for r in one],
              "3 ranks against one process: %s" % [(a["collisions"], b["collisions"]) for a, b in zip(one, ranks)])
        # Ctrl-C reaching one rank only: every rank stops before its next pass, rank 0 reports, status 130.
        job = subprocess.Popen([mpirun, "--oversubscribe", "-np", "3", BINARY, "collide", "--hash", "xxh64", "--hash", "wyhash",
                                "--count", "2^25", "--memory", "2e6", "--json", work / "ranks-cut.json"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        deadline = time.time() + 30
        while len(ranks_of := children(job.pid, "hashlab")) < 3:
            check(time.time() < deadline and job.poll() is None, "the ranks never started")
            time.sleep(0.1)
        time.sleep(1)
        os.kill(ranks_of[-1], signal.SIGINT)
        out, err = job.communicate(timeout=60)
        cut = json.loads((work / "ranks-cut.json").read_text())["results"]
        check(job.returncode == 130 and "interrupted" in out and not cut[-1]["complete"],
              "one rank interrupted: status %d, %r %r" % (job.returncode, out[-300:], err[-300:]))
    # A run of many passes, interrupted: the passes done, marked incomplete.
    # A run of many passes, interrupted: the passes done, marked incomplete, the hash not yet started
    # listed with none, and the status of a run Ctrl-C ended.
    # (2^26 keys in passes of 2 MB: about 20 s for the first hash here, so that 2 s cut it short on a faster machine too)
    process = subprocess.Popen([BINARY, "collide", "--hash", "xxh64", "--hash", "wyhash", "--count", "2^26", "--memory",
                                "2e6", "--json", work / "cut.json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    time.sleep(2)
    process.send_signal(signal.SIGINT)
    out, err = process.communicate(timeout=60)
    cut, never = json.loads((work / "cut.json").read_text())["results"]
    check(process.returncode == 130 and "interrupted" in out and not cut["complete"] and 0 < cut["passes_done"] < cut["passes"]
          and never["hash"] == "wyhash" and never["passes_done"] == 0 and not never["complete"],
          "Ctrl-C: status %d, %r %r" % (process.returncode, out, err))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    mode, BINARY = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as directory:
        {"cross-check": cross_check, "outputs": outputs, "commands": commands, "refusals": refusals, "files": files,
         "failures": failures, "tables": tables, "check": check_command, "speed": speed,
         "collide": collide, "choose": choose}[mode](pathlib.Path(directory), *sys.argv[3:])
    print("ok")
