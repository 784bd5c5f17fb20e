#!/usr/bin/python3
"""Tests of scripts/hashreport.py on reports captured from hashbench."""
import csv
import io
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(HERE, "..", "scripts", "hashreport.py")
DATA = os.path.join(HERE, "data")
RUNS = [os.path.join(DATA, "report-%d.txt" % k) for k in range(1, 6)]
TRUNCATED = os.path.join(DATA, "out-of-memory.txt")

sys.path.insert(0, os.path.join(HERE, "..", "scripts"))
import hashreport  # noqa: E402
from device_folder import device_folder  # noqa: E402


def tool(*args, stdin=""):
    return subprocess.run([sys.executable, TOOL, *args], input=stdin, capture_output=True, text=True)


def rows_of(csv_text):
    return {int(r["case"]): r for r in csv.DictReader(io.StringIO(csv_text))}


class OneReport(unittest.TestCase):
    def test_counts_collisions_and_ideal(self):
        result = tool(RUNS[0])
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = rows_of(result.stdout)
        self.assertEqual(sorted(rows), list(range(1, 13)))
        expected = {  # case: (entries, collisions)
            1: ("", ""), 2: ("", ""), 3: ("9005", "4990995"), 7: ("5000000", "0"),
            8: ("4995877", "4123"), 9: ("4995149", "4851"), 10: ("4997074", "2926"), 12: ("5000000", "0"),
        }
        for case, (entries, collisions) in expected.items():
            self.assertEqual((rows[case]["entries"], rows[case]["collisions"]), (entries, collisions), case)
        self.assertEqual(rows[3]["seconds_median"], "0.23")  # "0.2300s" in the report
        self.assertEqual(rows[8]["container"], "hashed, keyed by hash value")
        self.assertEqual(rows[6]["container"], "ordered, keyed by hash value")
        self.assertAlmostEqual(float(rows[8]["ideal_collisions"]), 2909.25, places=2)
        self.assertAlmostEqual(float(rows[8]["collision_ratio"]), 4123 / 2909.25, places=3)
        self.assertLess(float(rows[7]["ideal_collisions"]), 1e-6)
        self.assertEqual(rows[11]["ideal_collisions"], "")  # keyed by string: no hash collisions to count

    def test_reads_standard_input_and_json(self):
        with open(RUNS[0]) as f:
            result = tool("--json", "-", stdin=f.read())
        self.assertEqual(result.returncode, 0, result.stderr)
        data = json.loads(result.stdout)
        self.assertEqual([c["case"] for c in data["cases"]], list(range(1, 13)))
        self.assertEqual(data["missing"], [])


class SeveralRuns(unittest.TestCase):
    def test_median_min_max_per_case(self):
        result = tool(*RUNS)
        self.assertEqual(result.returncode, 0, result.stderr)
        rows = rows_of(result.stdout)
        for row in rows.values():
            self.assertEqual(row["runs"], "5")
            self.assertLessEqual(float(row["seconds_min"]), float(row["seconds_median"]))
            self.assertLessEqual(float(row["seconds_median"]), float(row["seconds_max"]))
        fletcher_lines = []
        for path in RUNS:
            with open(path) as f:
                fletcher_lines.append(f.read().split("\n")[2])
        times = sorted(float(line.rpartition(" ")[2][:-1]) for line in fletcher_lines)
        self.assertEqual([float(rows[3][k]) for k in ("seconds_min", "seconds_median", "seconds_max")],
                         [times[0], times[2], times[4]])


class CutShort(unittest.TestCase):
    def test_reports_present_cases_and_names_missing(self):
        result = tool(TRUNCATED)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(sorted(rows_of(result.stdout)), [1])
        self.assertIn("missing cases: std map..., fletcher32s hash func...", result.stderr)
        self.assertIn("X31_hash_string as func...", result.stderr)


class BadInput(unittest.TestCase):
    def setUp(self):
        with open(RUNS[0]) as f:
            self.lines = f.read().split("\n")
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def check_rejected(self, text, line, message):
        path = os.path.join(self.dir.name, "bad.txt")
        with open(path, "w") as f:
            f.write(text)
        out = os.path.join(self.dir.name, "out.csv")
        chart = os.path.join(self.dir.name, "chart.png")
        result = tool("--csv", out, "--chart", chart, RUNS[1], path)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertIn("%s: line %d: %s" % (path, line, message), result.stderr)
        self.assertEqual(os.listdir(self.dir.name), ["bad.txt"], "nothing may be written")

    def replaced(self, index, line):
        lines = list(self.lines)
        lines[index] = line
        return "\n".join(lines)

    def test_each_bad_input_gets_one_error(self):
        cases = [
            (self.replaced(4, "X32_hash_string hash func... 0.8050s"), 5, "unknown case title"),
            (self.replaced(4, "X31_hash_string hash func... 0.805s"), 5, "malformed time"),
            (self.replaced(4, "X31_hash_string hash func... 1,2340s"), 5, "malformed time"),
            (self.replaced(3, "sz=90O5"), 4, "malformed \"sz=\" line"),
            (self.replaced(3, "X31_hash_string hash func... 0.8050s"), 4, "expected the \"sz=\" line"),
            ("", 1, "empty report"),
            ("\n".join(self.lines[:3]) + "\n", 3, "report ends before the \"sz=\" line"),
            ("\n".join(self.lines[:3]) + "\nX31_hash_string hash func... ", 4, "report ends before the \"sz=\" line"),
            ("\n".join(self.lines[:4]) + "\nX31_hash_str", 5, "report ends in the middle of a line"),
        ]
        for text, line, message in cases:
            with self.subTest(message=message, line=line):
                self.check_rejected(text, line, message)


LAB = os.path.join(DATA, "lab-tables.json")  # hashlab --tables --quick, a real run
CHECK = os.path.join(DATA, "check-quick.json")  # hashlab check --quick on three hashes, a real run
SPEED = os.path.join(DATA, "speed-quick.json")  # hashlab speed --quick on three hashes, a real run
COLLIDE = os.path.join(DATA, "collide-small.json")  # hashlab collide --hash xxh3 --hash xxh32 --count 2^20


class Chart(unittest.TestCase):
    def test_png_and_svg_are_valid_images(self):
        import matplotlib.image
        with open(SPEED) as f:  # a speed run without long keys: the long-key panel says so
            short = json.load(f)
        short["points"] = [p for p in short["points"] if p["longest"] < 256]
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, "short.json"), "w") as f:
            json.dump(short, f)
        charts = [(RUNS, "Jenkins"), (["--lab", LAB], "boost::unordered_flat_map"),
                  (["--lab", CHECK], "fnv1a  FAIL"), (["--lab", SPEED], "GB/s (throughput)"),
                  (["--lab", COLLIDE], "xxh32: 1M keys, 0 collisions at 32 bits (128 expected)"),
                  (["--lab", os.path.join(folder, "short.json")], "no fixed lengths of 256 bytes")]
        for inputs, text in charts:
            with self.subTest(inputs=inputs[0]), tempfile.TemporaryDirectory() as d:
                png, svg = os.path.join(d, "chart.png"), os.path.join(d, "chart.svg")
                result = tool("--chart", png, "--chart", svg, *inputs)
                self.assertEqual(result.returncode, 0, result.stderr)
                with open(png, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
                height, width = matplotlib.image.imread(png).shape[:2]
                self.assertGreater(width, 600)
                self.assertGreater(height, 300)
                root = ET.parse(svg).getroot()
                self.assertEqual(root.tag, "{http://www.w3.org/2000/svg}svg")
                self.assertIn(text, open(svg).read())

    def test_compares_two_runs_medians(self):
        with open(LAB) as f:
            first = json.load(f)
        second = json.loads(json.dumps(first))
        for c in second["table_results"]:
            if not c["too_slow"]:
                c["hit_ns"] *= 1.1
        lines = hashreport.compare_lab_runs(first, second).splitlines()
        table = lines[1:lines.index("")]
        rows = {tuple(line.split()[:2]): line.split()[3] for line in table}
        self.assertEqual(rows[("insert_ns", "measured")], "0.0")
        self.assertEqual(rows[("hit_ns", "measured")], "10.0")
        self.assertEqual(rows[("hit_ns", "relative")], "0.0", "the same 10 % everywhere is the machine")

    def test_compares_two_runs_marks(self):
        """Each run's best within the other's tied set, tied hashes more than 5 % slower, intervals
        holding the other run's ratio; the marks are the lab's own, and a file of an earlier version
        gets the rule it was made with."""
        with open(LAB) as f:
            first = json.load(f)
        cells = hashreport.tied_sets(first)
        (table, keys, figure), (best, tied, estimates) = next(iter(cells.items()))
        name = figure[:-len("_ns")]
        rows = {c["hash"]: c for c in first["table_results"] if (c["table"], c["keys"]) == (table, keys)}
        self.assertEqual(rows[best][name + "_mark"], "best")
        self.assertEqual(tied, {h for h, c in rows.items() if c[name + "_mark"] in ("best", "tied")})

        def edited(fields):  # a copy of the first run, the given fields of this cell's hashes changed
            doc = json.loads(json.dumps(first))
            for c in doc["table_results"]:
                c.update(fields.get(c["hash"], {}) if (c["table"], c["keys"]) == (table, keys) else {})
            return doc

        def counts(a, b):
            lines = hashreport.compare_lab_runs(a, b).splitlines()
            return {line[:31].strip(): line[32:].split() for line in lines[lines.index("") + 1:]}
        agree, wide, held = "each best in the other's tied", "tied, yet over 5 % slower", "intervals holding other's ratio"
        same = counts(first, first)
        self.assertEqual((same[agree][0], same[held][0], same[held][5]), (same[agree][2], same[held][2], same[held][7]))
        # In a second run another hash is best, and the first one's best far behind it.
        other = next(h for h in estimates if h != best)
        swapped = edited({other: {name + "_mark": "best", figure: estimates[best]},
                          best: {name + "_mark": "", figure: 10 * max(estimates.values())}})
        self.assertEqual(int(counts(first, swapped)[agree][0]), len(cells) - 1)
        # One more hash 10 % behind the best, marked tied: counted as over 5 % in both runs.
        behind = next(h for h in estimates if h != best and not (h in tied and estimates[h] > 1.05 * estimates[best]))
        wider = edited({behind: {name + "_mark": "tied", figure: 1.1 * estimates[best]}})
        self.assertEqual(int(counts(wider, wider)[wide][0]), int(same[wide][0]) + 2)
        # A hash moved past its interval in the second run: one interval fewer held, that way only.
        moved = counts(first, edited({other: {name + "_vs_best": rows[other][name + "_vs_best_high"] * 1.01}}))[held]
        self.assertEqual((int(moved[0]), moved[5]), (int(same[held][0]) - 1, same[held][5]))
        # A file without marks: ranges that overlap the best median's range are tied.
        old = edited({h: dict(zip((figure + "_median", figure + "_min", figure + "_max"),
                                  (10, 9, 11) if h == best else (12, 10.5, 13) if h == other else (30, 29, 31)))
                      for h in rows})
        for c in old["table_results"]:
            for f in hashreport.COST_FIGURES:
                c.pop(f[:-len("_ns")] + "_mark", None)
                c.pop(f, None)
        self.assertEqual(hashreport.tied_sets(old)[(table, keys, figure)][:2], (best, {best, other}))


class Outputs(unittest.TestCase):
    """Destinations checked before any work, devices written in place, all or nothing, and one
    line for every failure. /dev/null and /dev/full stand-ins are made with mknod in the folder."""

    def setUp(self):
        self.folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.folder)
        self.path = device_folder(self.folder, "keep.csv", "old\n")

    def assert_failed(self, result, status, words):
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertEqual(result.stderr.count("\n"), 1, result.stderr)
        self.assertTrue(result.stderr.startswith("hashreport: ") and words in result.stderr, result.stderr)
        with open(self.path("keep.csv")) as f:
            self.assertEqual(f.read(), "old\n")
        for device in ("null", "full"):
            self.assertTrue(stat.S_ISCHR(os.stat(self.path(device)).st_mode))
        self.assertEqual(sorted(n for n in os.listdir(self.folder) if n not in ("new.csv", "link.csv", "x.json", "adir")),
                         ["full", "keep.csv", "null"], "stray files")

    def test_refused_destinations(self):
        os.mkdir(self.path("adir"))
        self.addCleanup(os.rmdir, self.path("adir"))
        cases = [
            (["--json", self.path("adir")], "adir: Is a directory"),
            (["--json", self.path("missing/out.json")], "its folder"),
            (["--json", ""], "an empty file name"),
            (["--csv", self.path("keep.csv"), "--json", self.folder + "/./keep.csv"], "the same file as the output"),
            (["--csv", RUNS[1]], "the same file as the input"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                self.assert_failed(tool(*args, RUNS[0], RUNS[1]), 1, words)

    def test_devices_and_all_or_nothing(self):
        result = tool("--json", self.path("null"), RUNS[0])
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assert_failed(tool("--csv", self.path("keep.csv"), "--json", self.path("full"), RUNS[0]), 4,
                           "could not write %s: No space left on device" % self.path("full"))
        with open(self.path("full"), "w") as full:
            result = subprocess.run([sys.executable, TOOL, "--csv", "-", RUNS[0]], stdout=full, stderr=subprocess.PIPE,
                                    text=True)
        self.assert_failed(result, 4, "could not write to standard output")
        # Standard output named twice, into a log opened to append: both after the log, neither over the other.
        for name in ("/dev/stdout", "/proc/self/fd/1"):
            with open(self.path("keep.csv"), "a") as log:
                result = subprocess.run([sys.executable, TOOL, "--csv", "-", "--json", name, RUNS[0]], stdout=log,
                                        stderr=subprocess.PIPE, text=True)
            with open(self.path("keep.csv")) as f:
                text = f.read()
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertTrue(text.startswith("old\n{") and "\ncase," in text and text.endswith("\n"), text[:100])
            with open(self.path("keep.csv"), "w") as f:
                f.write("old\n")

    def test_modes_and_links(self):
        umask = os.umask(0o027)
        self.addCleanup(os.umask, umask)
        self.assertEqual(tool("--csv", self.path("new.csv"), RUNS[0]).returncode, 0)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.csv")).st_mode), 0o640)
        os.chmod(self.path("keep.csv"), 0o604)
        os.symlink("keep.csv", self.path("link.csv"))
        self.assertEqual(tool("--csv", self.path("link.csv"), RUNS[0]).returncode, 0)
        self.assertTrue(os.path.islink(self.path("link.csv")))
        self.assertEqual(stat.S_IMODE(os.stat(self.path("keep.csv")).st_mode), 0o604)
        with open(self.path("keep.csv")) as f:
            self.assertTrue(f.read().startswith("case,"))

    def test_bad_lab_files_get_one_line(self):
        with open(LAB) as f:
            good = json.load(f)

        def unfit(field, value, row=1):
            doc = json.loads(json.dumps(good))
            doc["table_results"][row][field] = value
            return json.dumps(doc)
        x, chart = self.path("x.json"), self.path("c.png")

        def edited(path, change):  # the text of a real file with one change
            with open(path) as f:
                doc = json.load(f)
            change(doc)
            return json.dumps(doc)
        shapes = ["[1, 2]", '{"results": 3}', unfit("hit_ns_median", "fast", 0), unfit("hit_ns", float("nan")),
                  unfit("insert_ns", float("inf")), unfit("miss_ns", -3.0)]
        cases = [(text, args, x + ": not a hashlab result")  # (the text of x.json, arguments, words)
                 for text in shapes for args in (["--lab", x, "--chart", chart], ["--lab", LAB, "--compare", x])] + [
            ("[" * 100000 + "]" * 100000, ["--lab", x, "--chart", chart], "nested deeper"),
            (json.dumps(good).replace('"hit_ns": ', '"hit_ns": 1e400, "x": ', 1), ["--lab", x, "--chart", chart], "hit_ns is inf"),
            ("", ["--lab", LAB, "--chart", self.path("missing/c.png")], "its folder"),
            ("", ["--lab", self.path("a\nb.json"), "--chart", chart], "a\\nb.json"),
            ("", ["--lab", SPEED, "--compare", LAB], SPEED + ": not a cost study"),
            # A field missing or of the wrong shape: named, with the file that lacks it.
            (edited(LAB, lambda d: d["results"][0].pop("pow2_empty")), ["--lab", x, "--chart", chart],
             x + ": not a hashlab result: no field 'pow2_empty'"),
            (edited(CHECK, lambda d: d["verdicts"][0].pop("fail_below_log2_p")), ["--lab", x, "--chart", chart],
             x + ": not a hashlab result: no field 'fail_below_log2_p'"),
            (edited(LAB, lambda d: d["table_results"][2].pop("hash")), ["--lab", LAB, "--compare", x], x + ": not a hashlab"),
            (edited(SPEED, lambda d: d.update(machine="x")), ["--lab", x, "--chart", chart], "machine is not an object"),
            (edited(COLLIDE, lambda d: d.update(command="choose")), ["--lab", x, "--chart", chart],
             "hashlab choose gives its answer in words"),
            (edited(COLLIDE, lambda d: d.update(command="nope")), ["--lab", x, "--chart", chart], "no hashlab command"),
            (edited(LAB, lambda d: d.update(results=[5])), ["--lab", x, "--chart", chart], "a result that is not an object"),
            (edited(LAB, lambda d: [c.update(hash=c["hash"] + "'") for c in d["table_results"]]), ["--lab", LAB, "--compare", x],
             "no table, key set and hash was measured in both"),
            ("", ["--lab", LAB, "--compare", SPEED, "--chart", chart], SPEED + ": not a cost study"),  # and no chart written
        ]
        for text, args, words in cases:
            with self.subTest(words=words, args=args):
                with open(x, "w") as f:
                    f.write(text)
                self.assert_failed(tool(*args), 1, words)
        # Two runs in which no hash of a table stood out as best: compared on what they have.
        with open(x, "w") as f:
            f.write(edited(LAB, lambda d: [c.update({k: "" for k in c if k.endswith("_mark")}) for c in d["table_results"]]))
        self.assertEqual(tool("--lab", LAB, "--compare", x).returncode, 0)
        alone = tool("--compare", LAB)
        self.assertEqual(alone.returncode, 2)
        self.assertIn("--compare takes --lab", alone.stderr)
        # A Python without matplotlib: one line naming the package, no traceback.
        with tempfile.TemporaryDirectory() as shadow:
            os.makedirs(os.path.join(shadow, "matplotlib"))
            with open(os.path.join(shadow, "matplotlib", "__init__.py"), "w") as f:
                f.write("raise ImportError('not here')\n")
            result = subprocess.run([sys.executable, TOOL, "--lab", LAB, "--chart", self.path("c.png")],
                                    capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=shadow))
        self.assert_failed(result, 1, "charts need matplotlib")


if __name__ == "__main__":
    unittest.main()
