#!/usr/bin/env python3
# Accepts a number equal to the answer modulo the first argument after the feedback directory.
import sys

modulus = int(sys.argv[4])
expected = int(open(sys.argv[2]).read())
got = int(sys.stdin.read())
if got % modulus == expected % modulus:
    sys.exit(42)
open(sys.argv[3] + "judgemessage.txt", "w").write("%d is not %d modulo %d" % (got, expected, modulus))
sys.exit(43)
