#!/usr/bin/env python3
"""Checks hashbench's report on the real binary.

  report_test.py run BINARY [WRAPPER...]   one complete run: 22 lines, exact counts, status 0
                                           (a Windows .exe, run under WRAPPER, ends lines in CR LF)
  report_test.py out-of-memory BINARY      a run under an address-space limit
  report_test.py write-error BINARY        a run with standard output on /dev/full
"""
import os
import re
import resource
import subprocess
import sys
import tempfile

CASES = [  # (title, entry count or None when the case prints no "sz=" line)
    ("std hash func... ", None),
    ("std map... ", None),
    ("fletcher32s hash func... ", 9005),
    ("X31_hash_string hash func... ", 5000000),
    ("HashRamakrishna hash func... ", 5000000),
    ("X31_hash_string hash func with map... ", 5000000),
    ("XXH64 hash func... ", 5000000),
    ("XXH32 hash func... ", 4995877),
    ("Jenkins' One-at-a-Time hash func... ", 4995149),
    ("hash func... ", 4997074),
    ("my hash func... ", 5000000),
    ("X31_hash_string as func... ", 5000000),
]
EXIT_OUT_OF_MEMORY = 3
EXIT_WRITE_FAILED = 4


def expected_lines():
    for title, size in CASES:
        yield re.compile(re.escape(title) + r"\d+\.\d{4}s")
        if size is not None:
            yield re.compile("sz=%d" % size)


def check_report(text, newline="\n", complete=True):
    """Every line has its exact shape, in order. A report cut short must stop at a title."""
    errors = []
    if complete and not text.endswith(newline):
        errors.append("report does not end with a newline")
    lines = text.split(newline)
    tail = lines.pop()  # after the last newline: empty, or a title still waiting for its time
    expected = list(expected_lines())
    if complete and len(lines) != len(expected):
        errors.append("%d lines, expected %d" % (len(lines), len(expected)))
    for n, (line, pattern) in enumerate(zip(lines, expected), 1):
        if not pattern.fullmatch(line):
            errors.append("line %d is %r, expected %s" % (n, line, pattern.pattern))
    if len(lines) > len(expected):
        errors.append("extra lines: %r" % lines[len(expected):])
    if tail and not (len(lines) < len(expected) and expected[len(lines)].pattern.startswith(re.escape(tail))):
        errors.append("unexpected text after the last line: %r" % tail)
    return errors


def test_complete_run(binary, wrapper):
    result = subprocess.run(wrapper + [binary], stdin=subprocess.DEVNULL, capture_output=True)
    report = result.stdout.decode("ascii", errors="replace")
    errors = check_report(report, "\r\n" if binary.endswith(".exe") else "\n")
    if result.returncode != 0:
        errors.append("exit status %d, stderr %r" % (result.returncode, result.stderr))
    return errors, report


def test_out_of_memory(binary):
    # The first case fits in this; the ordered map of the second does not.
    limit = 400 * 1024 * 1024
    with tempfile.TemporaryDirectory() as cwd:
        out_path = os.path.join(cwd, "report.txt")
        with open(out_path, "w") as out:
            def limit_memory():
                resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
                resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
            result = subprocess.run([binary], stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.PIPE,
                                    text=True, cwd=cwd, preexec_fn=limit_memory)
        with open(out_path) as f:
            report = f.read()
        cores = [name for name in os.listdir(cwd) if name.startswith("core")]
    errors = []
    if result.returncode != EXIT_OUT_OF_MEMORY:
        errors.append("exit status %d, expected %d" % (result.returncode, EXIT_OUT_OF_MEMORY))
    if cores:
        errors.append("core files left: %s" % cores)
    match = re.fullmatch(r'hashbench: out of memory in case "(.*)"\n', result.stderr)
    if not match:
        return errors + ["stderr is %r" % result.stderr], report
    failed = match.group(1)
    errors += check_report(report, complete=False)
    if not report.split("\n")[-1] == failed:
        errors.append("report %r should end with the failing case's title %r" % (report[-60:], failed))
    if failed == CASES[0][0]:
        errors.append("ran out of memory in the first case: the limit leaves no finished line to check")
    return errors, report


def test_write_error(binary):
    with open("/dev/full", "w") as full:
        result = subprocess.run([binary], stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.PIPE, text=True)
    errors = []
    if result.returncode != EXIT_WRITE_FAILED:
        errors.append("exit status %d, expected %d" % (result.returncode, EXIT_WRITE_FAILED))
    if result.stderr != "hashbench: could not write the report to standard output\n":
        errors.append("stderr is %r" % result.stderr)
    return errors, ""


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    mode, target = argv[1], os.path.abspath(argv[2])
    if mode == "run":
        errors, output = test_complete_run(target, argv[3:])
    elif mode == "out-of-memory":
        errors, output = test_out_of_memory(target)
    elif mode == "write-error":
        errors, output = test_write_error(target)
    else:
        sys.exit(__doc__)
    sys.stdout.write(output)
    for e in errors:
        print("FAIL: " + e, file=sys.stderr)
    sys.exit(1 if errors else 0)


if __name__ == "__main__":
    main(sys.argv)
