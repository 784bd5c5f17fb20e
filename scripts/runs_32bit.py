#!/usr/bin/env python3
"""Tells whether this kernel starts 32-bit x86 programs, by starting one.

Some 64-bit kernels are built or booted with their IA-32 emulation off; there every 32-bit process,
Wine's among them, fails in execve with ENOEXEC. The program tried is the smallest that can be: an
ELF32 header, one loadable segment and exit(0) through int 0x80, made here so that no 32-bit
package is needed to ask.
Exit status: 0 it ran; 1 the kernel refused it (ENOEXEC); 2 anything else, with the cause.
"""
import errno
import os
import struct
import subprocess
import sys
import tempfile

BASE = 0x08048000
CODE = bytes.fromhex("b801000000" "31db" "cd80")  # mov eax, 1 (exit); xor ebx, ebx; int 0x80
EHDR_SIZE, PHDR_SIZE = 52, 32


def program() -> bytes:
    size = EHDR_SIZE + PHDR_SIZE + len(CODE)
    ident = b"\x7fELF" + bytes([1, 1, 1]) + bytes(9)  # 32-bit, little-endian, version 1
    # executable, i386, version 1, entry, program headers at 52, no sections
    ehdr = ident + struct.pack("<HHIIIIIHHHHHH", 2, 3, 1, BASE + EHDR_SIZE + PHDR_SIZE, EHDR_SIZE, 0, 0,
                               EHDR_SIZE, PHDR_SIZE, 1, 0, 0, 0)
    phdr = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, size, size, 5, 0x1000)  # PT_LOAD, read + execute
    return ehdr + phdr + CODE


def main() -> int:
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "probe32")
        with open(path, "wb") as f:
            f.write(program())
        os.chmod(path, 0o700)
        try:
            status = subprocess.run([path], check=False).returncode
        except OSError as e:
            if e.errno == errno.ENOEXEC:
                return 1
            print(f"runs_32bit.py: could not start the 32-bit probe: {e}", file=sys.stderr)
            return 2
    if status != 0:
        print(f"runs_32bit.py: the 32-bit probe ended with status {status}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
