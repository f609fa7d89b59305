#!/usr/bin/python3
"""Runs a command with some system calls refused, as an old kernel or a
strict container profile would refuse them.

    deny_syscalls.py ERRNO NR[,NR...] -- COMMAND [ARG...]

Installs a seccomp filter (inherited by every descendant) under which each
listed x86-64 system call number fails with ERRNO, then execs COMMAND.
"""
import ctypes
import os
import struct
import sys


def main() -> int:
    if len(sys.argv) < 5 or sys.argv[3] != "--":
        print(__doc__, file=sys.stderr)
        return 2
    err = int(sys.argv[1])
    numbers = [int(n) for n in sys.argv[2].split(",") if n]
    command = sys.argv[4:]

    BPF_LD_W_ABS, BPF_JEQ_K, BPF_RET_K = 0x20, 0x15, 0x06
    RET_ALLOW, RET_ERRNO = 0x7FFF0000, 0x00050000
    insns = [(BPF_LD_W_ABS, 0, 0, 0)]  # the system call number
    for i, nr in enumerate(numbers):
        # Equal: jump over the remaining tests and the allow to the refusal.
        insns.append((BPF_JEQ_K, len(numbers) - i, 0, nr))
    insns.append((BPF_RET_K, 0, 0, RET_ALLOW))
    insns.append((BPF_RET_K, 0, 0, RET_ERRNO | (err & 0xFFFF)))
    blob = b"".join(struct.pack("HBBI", *insn) for insn in insns)

    buf = ctypes.create_string_buffer(blob, len(blob))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    prog = SockFprog(len(insns), ctypes.cast(buf, ctypes.c_void_p))
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 or \
            libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.byref(prog), 0, 0) != 0:
        print("deny_syscalls: seccomp refused: " + os.strerror(ctypes.get_errno()), file=sys.stderr)
        return 3
    os.execvp(command[0], command)
    return 127


if __name__ == "__main__":
    sys.exit(main())
