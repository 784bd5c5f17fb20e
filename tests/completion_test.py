#!/usr/bin/env python3
"""Bash completion as a person uses it: an interactive bash on a terminal, the completion loaded,
a partial command typed and Tab pressed; the line bash then shows is checked.

usage: completion_test.py COMPLETION_FILE HASHLAB_DIRECTORY
"""
import os
import pty
import select
import sys
import time


def read_until(fd, marker, seconds=10):
    seen = b""
    deadline = time.time() + seconds
    while marker not in seen and time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.2)
        if ready:
            try:
                seen += os.read(fd, 4096)
            except OSError:
                break
    return seen


def main(completion, directory):
    pid, fd = pty.fork()
    if pid == 0:
        env = {"PATH": directory + ":/usr/bin:/bin", "TERM": "dumb", "PS1": "READY> ", "HOME": "/tmp",
               "INPUTRC": "/dev/null"}
        os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"], env)
    read_until(fd, b"READY> ")
    os.write(fd, b"source %s\n" % completion.encode())
    read_until(fd, b"READY> ")
    # (typed, what the line must read after Tab): a command, a hash name, a family after check, speed's
    # and collide's own options, a table.
    cases = [(b"hashlab che", b"hashlab check "), (b"hashlab cho", b"hashlab choose "), (b"hashlab --hash wyh", b"hashlab --hash wyhash "),
             (b"hashlab check --family seed-g", b"hashlab check --family seed-grid "),
             (b"hashlab sp", b"hashlab speed "), (b"hashlab speed --len", b"hashlab speed --length "),
             (b"hashlab --table absl", b"hashlab --table absl::flat_hash_map "),
             (b"hashlab collide --sh", b"hashlab collide --show ")]
    failures = []
    for typed, expected in cases:
        os.write(fd, typed + b"\t")
        shown = read_until(fd, expected, seconds=5)
        if expected not in shown:
            failures.append("%r + Tab showed %r, expected %r" % (typed, shown, expected))
        os.write(fd, b"\x15")  # Ctrl-U: clear the line
        time.sleep(0.2)
        read_until(fd, b"\xff", seconds=0.3)
    os.write(fd, b"exit\n")
    os.waitpid(pid, 0)
    if failures:
        sys.exit("FAIL: " + "\n".join(failures))
    print("ok")


if __name__ == "__main__":
    main(*sys.argv[1:3])
