#!/usr/bin/env python3
"""hashlab's outputs on the real binary, as a careless or hostile user would try them: what it
refuses before any work, devices and FIFOs it must never rename over, all-or-nothing writes,
signals, a closed standard output, bounded input, bad numbers, and plugins that crash or exit.

usage: lab_files_test.py HASHLAB [unittest options]
"""
import json
import os
import signal
import stat
import subprocess
import sys
import threading
import time
import unittest

from device_folder import device_folder

BINARY = None
SMALL = ["--keys", "decimal:2000", "--hash", "xxh3"]


def read(path):
    with open(path) as f:
        return f.read()


def lab(*args, **kwargs):
    kwargs.setdefault("capture_output", True)
    return subprocess.run([BINARY, *map(str, args)], text=True, **kwargs)


class Folder(unittest.TestCase):
    """Each test in a temporary folder holding stand-ins for /dev/null and /dev/full (made with
    mknod, so the machine's own /dev is never touched) and an existing result that must survive."""

    def setUp(self):
        self.folder, self.path = device_folder(self, "keep.json", "old result\n")
        self.before = sorted(os.listdir(self.folder))

    def assert_untouched(self, extra=()):
        self.assertEqual(sorted(os.listdir(self.folder)), sorted(self.before + list(extra)), "stray or lost files")
        self.assertEqual(read(self.path("keep.json")), "old result\n")
        for device in ("null", "full"):
            self.assertTrue(stat.S_ISCHR(os.stat(self.path(device)).st_mode), device + " is no longer a device")

    def assert_refused(self, run, status, words):
        lines = run.stderr.splitlines()
        self.assertEqual(run.returncode, status, run.stderr)
        self.assertEqual(len(lines), 1, run.stderr)
        self.assertTrue(lines[0].startswith("hashlab: ") and words in lines[0], "%r lacks %r" % (lines[0], words))


class Destinations(Folder):
    def test_refused_before_any_work(self):
        os.mkdir(self.path("adir"))
        self.before.append("adir")
        with open(self.path("keys.txt"), "w") as f:
            f.write("a\nb\n")
        self.before.append("keys.txt")
        cases = [
            (["--json", self.path("adir")], "adir: Is a directory"),
            (["--json", self.path("missing/out.json")], "missing/out.json: its folder"),
            (["--json", ""], "--json: an empty file name"),
            (["--csv", ""], "--csv: an empty file name"),
            (["--json", self.path("keep.json"), "--csv", self.folder + "/./keep.json"], "the same file as --json"),
            (["--json", self.path("new.json"), "--csv", self.path("new.json")], "the same file as --json"),
            (["--json", self.path("keys.txt"), "--keys", "file:" + self.path("keys.txt")], "the same file as the input"),
            (["--json", self.path("no\ndir/out.json")], "no\\ndir/out.json: its folder"),  # one line, escaped
        ]
        for args, words in cases:
            with self.subTest(args=args):
                run = lab(*args)  # the default run would take seconds: refusing must come first
                self.assert_refused(run, 2, words)
                self.assertEqual(run.stdout, "", "work started before the refusal")
                self.assert_untouched()

    def test_devices_are_written_in_place(self):
        run = lab(*SMALL, "--json", self.path("null"), "--csv", self.path("null2"))
        self.assertEqual(run.returncode, 0, run.stderr)
        os.remove(self.path("null2"))
        self.assert_untouched()
        run = lab(*SMALL, "--json", self.path("full"))
        self.assert_refused(run, 4, "No space left on device")
        self.assert_untouched()
        run = lab(*SMALL, "--csv", "/dev/stdout")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn("hash,keys,key_count", run.stdout)

    def test_a_fifo_is_written_not_replaced(self):
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        got = []
        reader = threading.Thread(target=lambda: got.append(read(fifo)))
        reader.start()
        run = lab(*SMALL, "--json", fifo)
        reader.join(10)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(stat.S_ISFIFO(os.stat(fifo).st_mode))
        self.assertEqual(json.loads(got[0])["results"][0]["hash"], "xxh3")

    def test_links_are_followed_and_modes_kept(self):
        os.symlink("keep.json", self.path("link.json"))
        os.chmod(self.path("keep.json"), 0o640)
        run = lab(*SMALL, "--json", self.path("link.json"), "--csv", self.path("new.csv"))
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertTrue(os.path.islink(self.path("link.json")))
        self.assertEqual(json.loads(read(self.path("keep.json")))["results"][0]["hash"], "xxh3")
        self.assertEqual(stat.S_IMODE(os.stat(self.path("keep.json")).st_mode), 0o640)
        umask = os.umask(0)
        os.umask(umask)
        self.assertEqual(stat.S_IMODE(os.stat(self.path("new.csv")).st_mode), 0o666 & ~umask)

    def test_all_or_nothing(self):
        run = lab(*SMALL, "--json", self.path("keep.json"), "--csv", self.path("full"))
        self.assert_refused(run, 4, "could not write")
        self.assert_untouched()


class Endings(Folder):
    def test_a_signal_while_writing_leaves_no_staged_file(self):
        # A FIFO nobody reads holds the run inside its write, after the JSON has been staged.
        fifo = self.path("fifo")
        os.mkfifo(fifo)
        self.before.append("fifo")
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            with self.subTest(signal=number):
                process = subprocess.Popen([BINARY, *SMALL, "--json", self.path("keep.json"), "--csv", fifo],
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                deadline = time.time() + 30
                while not [n for n in os.listdir(self.folder) if n.startswith("keep.json.")]:
                    self.assertLess(time.time(), deadline, "the JSON was never staged")
                    time.sleep(0.01)
                process.send_signal(number)
                self.assertEqual(process.wait(30), -number)
                self.assert_untouched()

    def test_a_closed_standard_output_is_a_write_error(self):
        read_end, write_end = os.pipe()
        os.close(read_end)
        run = subprocess.run([BINARY, *SMALL], stdout=write_end, stderr=subprocess.PIPE, text=True)
        os.close(write_end)
        self.assert_refused(run, 4, "could not write the report to standard output: Broken pipe")
        for args in (["--list"], ["--help"], ["--version"]):
            with open(self.path("full"), "w") as full:
                run = subprocess.run([BINARY, *args], stdout=full, stderr=subprocess.PIPE, text=True)
            self.assert_refused(run, 4, "No space left on device")


class Input(Folder):
    def test_numbers_and_repeats(self):
        cases = [
            (["--seed", "-1"], "--seed -1: expected a whole number from 0"),
            (["--seed", "18446744073709551616"], "--seed 18446744073709551616: expected a whole number"),
            (["--seed", "9" * 30], "expected a whole number"),
            (["--sample", "0"], "--sample 0: expected a whole number from 1 to"),
            (["--keys", "random:5000000000:1"], "its keys hold 5000000000 bytes in all, more than a key set holds"),
            (["--hash", "xxh3", "--hash", "xxh3"], "--hash xxh3 is given twice"),
            (["--keys", "decimal:5", "--keys", "decimal:5"], "--keys decimal:5 is given twice"),
            (["--table", "std::map", "--table", "std::map"], "--table std::map is given twice"),
            (["tables", "--hash", "xxh32-index", "--hash", "lookup2-chained"], "no table can use the chosen hashes"),
        ]
        for args, words in cases:
            with self.subTest(args=args):
                self.assert_refused(lab(*args, "--json", self.path("out.json")), 2, words)
                self.assert_untouched()

    def test_an_endless_key_file_is_cut_at_the_limit(self):
        run = lab("--keys", "file:/dev/zero", "--hash", "xxh3", "--json", self.path("out.json"))
        self.assert_refused(run, 2, "holds more than 4 GiB")
        self.assert_untouched()

    def test_a_key_file_name_that_is_not_utf8(self):
        name = os.path.join(os.fsencode(self.folder), b"k\xffeys.txt")
        with open(name, "w") as f:
            f.write("a\nb\n")
        run = subprocess.run([BINARY.encode(), b"--keys", b"file:" + name, b"--hash", b"xxh3", b"--json",
                              self.path("out.json").encode()], capture_output=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        doc = json.loads(read(self.path("out.json")))
        self.assertEqual(doc["results"][0]["keys"], "file:" + self.folder + "/k\\xFFeys.txt")


class Plugins(Folder):
    def test_a_plugin_that_crashes_or_exits_is_named(self):
        source = self.path("bad.c")
        with open(source, "w") as f:
            f.write("#include <stddef.h>\n#include <stdint.h>\n#include <stdlib.h>\n"
                    "uint64_t crashes(const void *d, size_t n, uint64_t s) {"
                    " if (n == 3) { volatile int *p = 0; *p = 1; } return n + s; }\n"
                    "uint64_t exits(const void *d, size_t n, uint64_t s) { if (n == 3) exit(0); return n + s; }\n"
                    "uint64_t fnv1a(const void *d, size_t n, uint64_t s) { return n + s; }\n")
        subprocess.run(["cc", "-O2", "-shared", "-fPIC", "-o", self.path("bad.so"), source], check=True)
        self.before += ["bad.c", "bad.so"]
        # A built-in's name, though that built-in is not in the run, would pass for it in every report.
        self.assert_refused(lab(*SMALL, "--plugin", "%s:fnv1a:64" % self.path("bad.so")), 2, "the name 'fnv1a' is taken")
        for symbol, status, words in (("crashes", -signal.SIGSEGV, "Segmentation fault"),
                                      ("exits", 5, "exit() was called")):
            with self.subTest(symbol=symbol):
                run = lab(*SMALL, "--plugin", "%s:%s:64" % (self.path("bad.so"), symbol), "--json",
                          self.path("keep.json"))
                self.assert_refused(run, status, words)
                self.assertIn(" %s on decimal:2000" % symbol, run.stderr)
                self.assert_untouched()
                run = lab("speed", "--quick", "--hash", "xxh3", "--length", "3", "--plugin",
                          "%s:%s:64" % (self.path("bad.so"), symbol), "--json", self.path("keep.json"))
                self.assert_refused(run, status, words)
                self.assertIn("timing %s on 3-byte keys" % symbol, run.stderr)
                self.assert_untouched()


if __name__ == "__main__":
    BINARY = sys.argv.pop(1)
    unittest.main()
