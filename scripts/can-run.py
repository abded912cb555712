#!/usr/bin/env python3
"""Tells whether this kernel runs programs of an architecture, by running one.

A kernel built without IA-32 emulation (some cloud and container kernels)
refuses every 32-bit program with ENOEXEC ("Exec format error"), 32-bit
wine included; a machine that is not x86-64 refuses x86-64 programs the
same way. Nothing in the project is wrong then, and the steps that need
such programs are skipped rather than failed. Any other outcome (the
program could not be written or started for another reason, or it ran and
exited wrongly) is not that case: the caller runs its step, which fails if
the platform is really broken.

The probe is the smallest static program of the architecture, written here
byte by byte (no compiler or C library of that architecture needed): it
calls exit(42) through the kernel's system call.

usage: scripts/can-run.py i386|x86_64
exit:  0 runs such programs, 77 the kernel refuses them (the reason is the
       last line printed), 1 cannot tell.

TAVO_CAN_RUN_MACHINE=N writes N as the probe's ELF machine instead, e.g.
0xBEEF, a machine no kernel runs: the kernel then refuses it as it refuses
32-bit programs without IA-32 emulation (a test uses it).
"""
import errno
import os
import struct
import subprocess
import sys
import tempfile

EXIT_CODE = 42
EM_386, EM_X86_64 = 3, 62


def probe_i386(machine):
    base = 0x08048000
    code = (b"\xb8\x01\x00\x00\x00"  # mov $1, %eax     (exit)
            b"\xbb" + struct.pack("<I", EXIT_CODE) +  # mov $42, %ebx
            b"\xcd\x80")  # int $0x80
    size = 52 + 32 + len(code)
    header = (b"\x7fELF\x01\x01\x01" + bytes(9) +  # 32-bit, little-endian
              struct.pack("<HHIIIIIHHHHHH", 2, machine, 1, base + 84, 52, 0, 0,
                          52, 32, 1, 0, 0, 0))
    segment = struct.pack("<IIIIIIII", 1, 0, base, base, size, size, 5, 0x1000)
    return header + segment + code


def probe_x86_64(machine):
    base = 0x400000
    code = (b"\xb8\x3c\x00\x00\x00"  # mov $60, %eax    (exit)
            b"\xbf" + struct.pack("<I", EXIT_CODE) +  # mov $42, %edi
            b"\x0f\x05")  # syscall
    size = 64 + 56 + len(code)
    header = (b"\x7fELF\x02\x01\x01" + bytes(9) +  # 64-bit, little-endian
              struct.pack("<HHIQQQIHHHHHH", 2, machine, 1, base + 120, 64, 0, 0,
                          64, 56, 1, 0, 0, 0))
    segment = struct.pack("<IIQQQQQQ", 1, 5, 0, base, base, size, size, 0x1000)
    return header + segment + code


ARCHES = {
    "i386": (probe_i386, EM_386, "32-bit programs"),
    "x86_64": (probe_x86_64, EM_X86_64, "x86-64 programs"),
}


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in ARCHES:
        sys.exit("usage: can-run.py " + "|".join(ARCHES))
    make, machine, what = ARCHES[sys.argv[1]]
    machine = int(os.environ.get("TAVO_CAN_RUN_MACHINE", str(machine)), 0)
    with tempfile.TemporaryDirectory(prefix="tavo-can-run.") as work:
        path = os.path.join(work, "probe")
        with open(path, "wb") as f:
            f.write(make(machine))
        os.chmod(path, 0o755)
        try:
            code = subprocess.run([path], timeout=30).returncode
        except OSError as e:
            if e.errno == errno.ENOEXEC:
                print(f"this kernel runs no {what}")
                return 77
            print(f"can-run: cannot tell whether this kernel runs {what}: {e}")
            return 1
        except subprocess.TimeoutExpired:
            print(f"can-run: the {sys.argv[1]} probe did not end")
            return 1
    if code != EXIT_CODE:
        print(f"can-run: the {sys.argv[1]} probe exited {code}, not {EXIT_CODE}")
        return 1
    print(f"this kernel runs {what}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
